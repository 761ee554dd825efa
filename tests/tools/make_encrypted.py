#!/usr/bin/env python3
"""Writes an encrypted archive (mode 1 to 5) with the independent writer.

Usage: make_encrypted.py OUT MODE PASSWORD [DAMAGED_LAYER]
With DAMAGED_LAYER (aes, chacha, twofish or serpent, one of the mode's
layers), the first byte of the first data frame is flipped right after that
layer sealed it: the layers outside it and the frame's CRC-32C are made over
the altered bytes, so only that layer's tag can tell.
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
    after_layer = None
    if len(sys.argv) > 4:
        damaged = sys.argv[4]
        if damaged not in quarn_format.LAYERS[mode]:
            sys.exit("mode %d has no %s layer" % (mode, damaged))

        def after_layer(kind, index, name, sealed):
            if (kind, index, name) != (1, 0, damaged):
                return sealed
            return bytes([sealed[0] ^ 0x01]) + sealed[1:]
    out.write_bytes(quarn_format.encrypted_archive(FILES, password, mode=mode, block_size=4096,
                                                   after_layer=after_layer))


if __name__ == "__main__":
    main()
