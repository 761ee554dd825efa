#!/usr/bin/env python3
"""`quarn create` in every mode and form, read back with `quarn list` and
`quarn info`; the independent writer's archives listed too."""

import os
import pathlib
import re
import resource
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import quarn_format as qf  # noqa: E402
import cli_support  # noqa: E402
from cli_support import main, last_line, native_arg, run  # noqa: E402

FAST = ["--argon2-memory", "8", "--argon2-passes", "1", "--argon2-lanes", "1"]
MODES = {
    "none": "bez szyfrowania",
    "aes": "AES-256-GCM",
    "chacha-aes": "kaskada ChaCha20-Poly1305 + AES-256-GCM (2x256 bit)",
    "twofish": "Twofish-256-GCM",
    "serpent": "Serpent-256-GCM",
    "serpent-twofish-aes": "kaskada Serpent + Twofish + AES-256 (3x256 bit)",
}


class CreateListTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)
        src = self.dir / "dokumenty"
        (src / "puste").mkdir(parents=True)
        (src / "umowa.txt").write_text("Umowa o dzieło\n" * 500, encoding="utf-8")
        (src / "dane.bin").write_bytes(bytes(range(256)) * 300)
        (src / "zero").write_bytes(b"")
        self.src = src
        self.pw = self.dir / "haslo.txt"
        self.pw.write_bytes("zażółć\r\n".encode())

    def tearDown(self):
        self.tmp.cleanup()

    def listing(self, archive, *extra):
        code, out, err = run("list", "--password-file", self.pw, *extra, archive)
        self.assertEqual(code, 0, err)
        return out.splitlines()

    def test_every_mode_round_trips(self):
        for mode, name in MODES.items():
            with self.subTest(mode):
                out = self.dir / (mode + ".qrn")
                code, _, err = run("create", "-o", out, "--mode", mode, "--password-file", self.pw,
                                   "--block-size", "16K", *FAST, self.src)
                self.assertEqual(code, 0, err)
                lines = self.listing(out)
                self.assertEqual(lines[-1], "Razem: 3 plików, 2 folderów, %d B" % (8000 + 76800))
                self.assertTrue(any(l.endswith("  dokumenty/umowa.txt") and l.startswith("plik ") for l in lines))
                self.assertTrue(any(l.endswith("  dokumenty/puste") and l.startswith("folder ") for l in lines))
                code, info, err = run("info", out)
                self.assertEqual(code, 0, err)
                self.assertEqual(info.splitlines()[0], "Archiwum: %s.qrn  \u00b7  %s" % (mode, name))

    def test_password_file_line_end_is_not_part_of_the_password(self):
        out = self.dir / "a.qrn"
        self.assertEqual(run("create", "-o", out, "--password-file", self.pw, *FAST, self.src)[0], 0)
        same = self.dir / "same.txt"
        same.write_bytes("zażółć".encode())
        self.assertEqual(run("list", "--password-file", same, out)[0], 0)
        wrong = self.dir / "wrong.txt"
        wrong.write_bytes("zażółć\n\n".encode())
        code, _, err = run("list", "--password-file", wrong, out)
        self.assertEqual(code, 1)
        self.assertEqual(last_line(err), "Nieprawidłowe hasło.")

    def test_key_file_is_required_to_list(self):
        key = self.dir / "klucz.bin"
        key.write_bytes(b"\x01\x02\x03")
        out = self.dir / "k.qrn"
        code, _, err = run("create", "-o", out, "--key-file", key, "--password-file", self.pw, *FAST, self.src)
        self.assertEqual(code, 0, err)
        self.assertEqual(self.listing(out, "--key-file", key)[-1][:7], "Razem: ")
        code, _, err = run("list", "--password-file", self.pw, out)
        self.assertEqual(last_line(err), "Archiwum wymaga drugiego składnika: plik-klucz")

    def test_split_and_self_extracting_forms(self):
        parts = self.dir / "czesci"
        code, out, err = run("create", "-o", parts, "--split", "20K", "--level", "0", "--mode", "twofish", "--password-file",
                             self.pw, *FAST, self.src)
        self.assertEqual(code, 0, err)
        self.assertTrue((self.dir / "czesci.003").exists())
        self.assertEqual(self.listing(self.dir / "czesci.002")[-1][:7], "Razem: ")

        stub = self.dir / "stub.exe"
        stub.write_bytes(qf.program_stub(3000))
        sfx = self.dir / "umowa.exe"
        code, out, err = run("create", "-o", sfx, "--sfx", stub, "--password-file", self.pw, *FAST, self.src)
        self.assertEqual(code, 0, err)
        code, info, err = run("info", sfx)
        # 0-7 zero bytes after the program end the file on a multiple of 8,
        # ready for a signing tool; the reader skips them.
        data = sfx.read_bytes()
        self.assertEqual(len(data) % 8, 0)
        start = 3000 + (-(3000 + int(re.search(r"Rozmiar archiwum: (\d+) B", info).group(1)))) % 8
        self.assertIn("Program samorozpakowujący: archiwum od bajtu %d" % start, info.splitlines())
        self.assertEqual(data[3000:start], bytes(start - 3000))
        self.assertEqual(self.listing(sfx)[-1][:7], "Razem: ")

    def test_refusals(self):
        existing = self.dir / "jest.qrn"
        existing.write_bytes(b"keep")
        code, _, err = run("create", "-o", existing, "--mode", "none", self.src)
        self.assertEqual(code, 1)
        self.assertTrue(last_line(err).startswith("Plik już istnieje: "), err)
        self.assertEqual(existing.read_bytes(), b"keep")
        self.assertEqual(run("create", "-o", existing, "--mode", "rot13", self.src)[0], 2)
        self.assertEqual(run("create", "--mode", "none", self.src)[0], 2)
        code, _, err = run("create", "-o", self.dir / "x.qrn", "--mode", "aes", self.src)
        self.assertEqual(code, 1)
        self.assertIn("--password-file", last_line(err))
        self.assertFalse((self.dir / "x.qrn").exists())

    def test_what_the_output_replaces_is_left_out_of_it(self):
        src = self.src
        (src / "z.qrn").write_bytes(b"an earlier archive")
        os.link(src / "z.qrn", src / "twardy.qrn")
        (src / "czesci.001").write_bytes(b"an earlier part")
        (src / "czesci.002").write_bytes(b"another one")
        cases = [
            # output, inputs, the inputs' files that the output is (by any name)
            (src / "z.qrn", [src], ["z.qrn", "twardy.qrn"]),
            (src / "czesci", [src], ["czesci.001", "czesci.002"]),
            (src / "z.qrn", [src / "z.qrn", src / "umowa.txt"], ["z.qrn"]),
        ]
        for output, inputs, left_out in cases:
            with self.subTest(output=output.name, inputs=len(inputs)):
                split = ["--split", "20K", "--level", "0"] if output.name == "czesci" else []
                code, _, err = run("create", "-o", output, "--overwrite", "--mode", "none", *split, *inputs)
                self.assertEqual(code, 0, err)
                for name in left_out:
                    self.assertIn("Pominięto (to plik wyjściowy): %s\n" % native_arg(src / name), err)
                first = output.with_name("czesci.001") if split else output
                listed = [line.rsplit("  ", 1)[-1] for line in self.listing(first)[:-1]]
                self.assertTrue(listed)
                for name in left_out:
                    self.assertNotIn("dokumenty/" + name, listed)
                    self.assertNotIn(name, listed)

    def test_a_deep_and_wide_tree_keeps_few_folders_open(self):
        """The walk and each reading thread hold a few folders open, however
        deep or wide the tree: 250 folders under a limit of 100 open files."""
        if cli_support.RUNNER:
            self.skipTest("open-file limits are a POSIX matter")
        tree = self.dir / "drzewo"
        for i in range(100):
            (tree / ("szeroki%03d" % i)).mkdir(parents=True)
            (tree / ("szeroki%03d" % i) / "plik.txt").write_text(str(i))
        deep = tree
        for i in range(150):
            deep = deep / "g"
            deep.mkdir()
            (deep / "plik.txt").write_text(str(i))
        code, _, err = run("create", "-o", self.dir / "d.qrn", "--mode", "none", "--threads", "4", tree,
                           preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (100, 100)))
        self.assertEqual(code, 0, err)
        self.assertEqual(self.listing(self.dir / "d.qrn")[-1], "Razem: 250 plików, 251 folderów, %d B" % (190 + 340))

    def test_independent_writer_archives_list(self):
        archive = self.dir / "python.qrn"
        archive.write_bytes(qf.plain_archive([("katalog", None), ("katalog/plik.txt", b"abc"), ("pusty", b"")],
                                             modified=133801632000000000))
        code, out, err = run("list", archive)
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[1], "plik                 3  2025-01-01 00:00  katalog/plik.txt")
        self.assertEqual(lines[-1], "Razem: 2 plików, 1 folderów, 3 B")


if __name__ == "__main__":
    main()
