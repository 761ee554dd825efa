#!/usr/bin/env python3
"""Writes an encrypted archive (mode 1 or 2) with the independent writer.

Usage: make_encrypted.py OUT MODE PASSWORD
Needs Debian's python3-cryptography and python3-argon2 (run it with the
system's /usr/bin/python3)."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import quarn_format  # noqa: E402

FILES = [
    ("folder", None),
    ("folder/umowa.txt", "Umowa o dzieło\n".encode() * 700),
    ("folder/pusty", b""),
    ("dane.bin", bytes(range(256)) * 64),
]


def main():
    out, mode, password = pathlib.Path(sys.argv[1]), int(sys.argv[2]), sys.argv[3].encode()
    out.write_bytes(quarn_format.encrypted_archive(FILES, password, mode=mode, block_size=4096))


if __name__ == "__main__":
    main()
