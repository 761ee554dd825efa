#!/usr/bin/env python3
"""Writes the bundled sample archive (samples/sample.qrn) deterministically."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import quarn_format  # noqa: E402

FILES = [
    ("dokumenty", None),
    ("dokumenty/umowa.txt", "Umowa o dzieło\n\nZamawiający zleca, a Wykonawca przyjmuje do wykonania dzieło.\n".encode()),
    ("dokumenty/zażółć gęślą jaźń.txt", "Zażółć gęślą jaźń.\n".encode()),
    ("czytaj.txt", "To archiwum jest przykładem formatu Quarn.\n".encode()),
]


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path("samples/sample.qrn")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(quarn_format.plain_archive(FILES, modified=133801632000000000))
    print(out)


if __name__ == "__main__":
    main()
