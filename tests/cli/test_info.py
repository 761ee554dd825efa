#!/usr/bin/env python3
"""`quarn info` on plain, multi-part and self-extracting archives written by
the independent Python writer, and its exact texts on failure."""

import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import quarn_format as qf  # noqa: E402

from cli_support import main, run  # noqa: E402


class InfoTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, data):
        path = self.dir / name
        path.write_bytes(data)
        return path

    def assert_fails_with(self, path, text):
        code, out, err = run("info", path)
        self.assertEqual(code, 1, err)
        self.assertEqual(err.rstrip("\r\n").splitlines()[-1], text)

    def test_plain_archive(self):
        path = self.write("raport.2024.qrn", qf.plain_archive([("a.txt", b"hello")]))
        code, out, err = run("info", path)
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0], "Archiwum: raport.2024.qrn  \u00b7  bez szyfrowania")
        self.assertIn("Wersja formatu: 2", lines)
        self.assertIn("Rozmiar bloku: 4 MiB (4194304 B)", lines)

    def test_encrypted_header_with_factors(self):
        ext = qf.extension_record(1, b"") + qf.extension_record(2, qf.fido2_descriptor("quarn.example", b"\x01\x02"))
        head = qf.header(mode=5, argon2=(262144, 3, 4), extensions=ext, block_size=1 << 20)
        path = self.write("tajne.qrn", qf.header_only_archive(head))
        code, out, err = run("info", path)
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0], "Archiwum: tajne.qrn  \u00b7  kaskada Serpent + Twofish + AES-256 (3x256 bit)")
        self.assertIn("Argon2id: pamięć 262144 KiB, przebiegi 3, wątki 4", lines)
        self.assertIn("Drugi składnik: plik-klucz, klucz FIDO2 (quarn.example)", lines)
        self.assertIn("Rozmiar bloku: 1 MiB (1048576 B)", lines)
        # The key's name comes from the archive: its controls are spelled out.
        ext = qf.extension_record(2, qf.fido2_descriptor("quarn\x1b]0;x\x07.example", b"\x01"))
        path = self.write("wrogie.qrn", qf.header_only_archive(qf.header(mode=1, argon2=(8, 1, 1), extensions=ext)))
        code, out, err = run("info", path)
        self.assertEqual(code, 0, err)
        self.assertIn("Drugi składnik: klucz FIDO2 (quarn\\x1b]0;x\\x07.example)", out.splitlines())

    def test_multi_part_archive_named_by_a_middle_part(self):
        archive = qf.plain_archive([("a.bin", bytes(range(256)) * 40)], block_size=4096)
        parts = qf.split(archive, 3000)
        self.assertGreaterEqual(len(parts), 3)
        for i, part in enumerate(parts, 1):
            self.write("zestaw.%03d" % i, part)
        code, out, err = run("info", self.dir / "zestaw.002")
        self.assertEqual(code, 0, err)
        self.assertIn("Części: %d" % len(parts), out.splitlines())
        self.assertIn("Rozmiar archiwum: %d B" % len(archive), out.splitlines())

    def test_self_extracting_program(self):
        archive = qf.plain_archive([("a.txt", b"x")], version=1)
        stub = qf.program_stub()
        path = self.write("umowa.exe", stub + archive)
        code, out, err = run("info", path)
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0], "Archiwum: umowa.exe  \u00b7  bez szyfrowania")
        self.assertIn("Program samorozpakowujący: archiwum od bajtu %d" % len(stub), lines)
        self.assertIn("Wersja formatu: 1", lines)
        self.assertIn("Podpis cyfrowy programu: brak", lines)
        self.assertFalse(any(line.startswith("Windows ufa podpisowi") for line in lines), out)

    def test_failures_end_stderr_with_the_display_text(self):
        good = qf.plain_archive([("a.txt", b"x")])
        cases = [
            ("program_alone.exe", qf.program_stub(), "To nie jest archiwum Quarn."),
            ("version3.qrn", qf.header_only_archive(qf.header(version=3)),
             "Archiwum ma wersję formatu 3, nowszą niż obsługiwana. Zaktualizuj Quarn."),
            ("truncated.qrn", good[:-1], "Archiwum jest uszkodzone: brak lub uszkodzona stopka (plik uciety?)"),
            ("joined.qrn", good + qf.plain_archive([("b", b"")], version=1),
             "Archiwum jest uszkodzone: rozmiar pliku (%d B) nie zgadza sie z zapisanym (%d B) - plik uciety albo dopisany"
             % (len(good) + len(qf.plain_archive([("b", b"")], version=1)),
                len(qf.plain_archive([("b", b"")], version=1)))),
            ("flipped.qrn", good[:16] + bytes([good[16] ^ 1]) + good[17:],
             "Archiwum jest uszkodzone: naglowek archiwum jest uszkodzony"),
            ("newer_extension.qrn", qf.header_only_archive(qf.header(extensions=qf.extension_record(3, b""))),
             "Archiwum ma wersję formatu 2, nowszą niż obsługiwana. Zaktualizuj Quarn."),
        ]
        for name, data, text in cases:
            with self.subTest(name):
                self.assert_fails_with(self.write(name, data), text)

    def test_missing_first_part(self):
        self.write("brak.005", b"x")
        code, out, err = run("info", self.dir / "brak.005")
        self.assertEqual(code, 1)
        last = err.rstrip("\r\n").splitlines()[-1]
        self.assertTrue(last.startswith("Brak pierwszej czesci archiwum ("), last)
        self.assertTrue(last.endswith("brak.001)."), last)

    def test_usage_errors_exit_2(self):
        for args in [(), ("info",), ("info", "a", "b"), ("rozpakuj-wszystko",)]:
            with self.subTest(args):
                code, out, err = run(*args)
                self.assertEqual(code, 2, err)

    def test_version(self):
        for flag in ("--version", "-V"):
            code, out, err = run(flag)
            self.assertEqual(code, 0, err)
            self.assertRegex(out, r"^quarn \d+\.\d+\.\d+\r?\n$")


if __name__ == "__main__":
    main()
