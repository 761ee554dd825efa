#!/usr/bin/env python3
"""`quarn create` in every mode and form, read back with `quarn list` and
`quarn info`; the independent writer's archives listed too."""

import os
import pathlib
import re
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import cli_support  # noqa: E402
import quarn_format as qf  # noqa: E402
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

EXISTS = ". Wybierz inną nazwę albo dodaj --overwrite."


def signed_program():
    """A PE program as a signing tool leaves it: a certificate table at its end."""
    program = bytearray(qf.pe_program(1024))
    table = struct.pack("<IHH", 64, 0x0200, 0x0002) + bytes(56)
    e_lfanew = struct.unpack_from("<I", program, 0x3C)[0]
    struct.pack_into("<II", program, e_lfanew + 24 + 144, len(program), len(table))
    return bytes(program) + table


def full_disk_at_1m():
    """In the child: no file may grow past 1 MiB, and a write past it fails (EFBIG)."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))


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
        stub.write_bytes(qf.pe_program(3000))
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

    def test_a_listing_that_cannot_be_written_is_a_failure(self):
        if cli_support.RUNNER or not os.path.exists("/dev/full"):
            self.skipTest("needs /dev/full")
        archive = self.dir / "a.qrn"
        self.assertEqual(run("create", "-o", archive, "--mode", "none", self.src)[0], 0)
        for args in (["list", archive], ["info", archive], ["test", archive]):
            with self.subTest(args[0]), open("/dev/full", "w") as full:
                done = subprocess.run(cli_support.command(*args), stdout=full, stderr=subprocess.PIPE, timeout=60)
                self.assertEqual(done.returncode, 1)
                self.assertTrue(done.stderr.decode().startswith("Nie udało się zapisać na standardowe wyjście"))

    def test_links_left_out_are_named_with_their_controls_spelled_out(self):
        if cli_support.RUNNER:
            self.skipTest("Wine makes no links")
        os.symlink("umowa.txt", self.src / "a\u009b31mX\u202etxt.exe")
        code, _, err = run("create", "-o", self.dir / "l.qrn", "--mode", "none", self.src)
        self.assertEqual(code, 0, err)
        self.assertIn("Pominięto (dowiązanie lub plik specjalny): %s/a\\u009b31mX\\u202etxt.exe\n" % self.src, err)

    def test_refusals(self):
        existing = self.dir / "jest.qrn"
        existing.write_bytes(b"keep")
        code, _, err = run("create", "-o", existing, "--mode", "none", self.src)
        self.assertEqual(code, 1)
        self.assertTrue(last_line(err).startswith("Plik już istnieje: "), err)
        self.assertEqual(existing.read_bytes(), b"keep")
        code, _, err = run("create", "-o", self.src, "--overwrite", "--mode", "none", self.src)
        self.assertEqual(code, 1)
        self.assertTrue(last_line(err).startswith("W miejscu pliku archiwum jest folder: "), err)
        self.assertEqual(run("create", "-o", existing, "--mode", "rot13", self.src)[0], 2)
        self.assertEqual(run("create", "--mode", "none", self.src)[0], 2)
        code, _, err = run("create", "-o", self.dir / "x.qrn", "--mode", "aes", self.src)
        self.assertEqual(code, 1)
        self.assertIn("--password-file", last_line(err))
        self.assertFalse((self.dir / "x.qrn").exists())

    def interrupted_create(self, keep, *args):
        """Ctrl-C once create has begun to write (a new file in the folder, or
        `keep` changed): (exit status, stderr)."""
        folder = keep.parent
        before = sorted(os.listdir(folder))
        size = keep.stat().st_size
        proc = subprocess.Popen(cli_support.command("create", "-o", keep, "--overwrite", *args),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 60
        while proc.poll() is None and time.monotonic() < deadline:
            if sorted(os.listdir(folder)) != before or not keep.exists() or keep.stat().st_size != size:
                break
            time.sleep(0.005)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
        return proc.returncode, err.decode("utf-8")

    def test_failed_or_interrupted_create_keeps_the_old_archive(self):
        folder = self.dir / "wyjscie"
        folder.mkdir()
        keep = folder / "keep.qrn"
        self.assertEqual(run("create", "-o", keep, "--mode", "none", self.src)[0], 0)
        old = keep.read_bytes()
        big = self.dir / "duze"
        big.mkdir()
        (big / "losowe.bin").write_bytes(os.urandom(8 << 20))
        # (case, arguments, in the child before it starts, Ctrl-C)
        cases = [("no key file", ["--key-file", self.dir / "brak.bin", "--password-file", self.pw, *FAST, self.src],
                  None, False)]
        if not cli_support.RUNNER:  # resource limits and signals reach a native process only
            cases += [("full disk", ["--mode", "none", "--level", "0", big], full_disk_at_1m, False),
                      ("Ctrl-C", ["--mode", "none", "--level", "19", "--block-size", "1M", big], None, True)]
        for name, args, before_start, interrupt in cases:
            with self.subTest(name):
                keep.write_bytes(old)
                if interrupt:
                    code, err = self.interrupted_create(keep, *args)
                else:
                    code, _, err = run("create", "-o", keep, "--overwrite", *args, preexec_fn=before_start)
                self.assertEqual(code, 1, err)
                if interrupt:
                    self.assertEqual(last_line(err), "Przerwano: archiwum nie powstało, istniejące pliki pozostały bez zmian.")
                self.assertEqual(keep.read_bytes(), old)
                self.assertEqual(os.listdir(folder), ["keep.qrn"])

    def test_a_new_set_leaves_no_stale_part_after_its_last(self):
        common = ["--mode", "none", "--level", "0", self.src]
        parts = lambda stem: sorted(p.name for p in self.dir.glob(stem + ".*"))
        with self.subTest("4 parts made again as 2"):
            # About 85 KB: 4 parts of 22 KiB, 2 of 44 KiB.
            self.assertEqual(run("create", "-o", self.dir / "zestaw", "--split", "22K", *common)[0], 0)
            self.assertEqual(len(parts("zestaw")), 4)
            code, _, err = run("create", "-o", self.dir / "zestaw", "--split", "44K", "--overwrite", *common)
            self.assertEqual(code, 0, err)
            self.assertEqual(parts("zestaw"), ["zestaw.001", "zestaw.002"])
            self.assertEqual(run("test", self.dir / "zestaw.001")[0], 0)
        with self.subTest("a stray part"):
            # Refused without --overwrite, before anything is made; removed with it.
            (self.dir / "obcy.003").write_bytes(b"obca czesc")
            code, _, err = run("create", "-o", self.dir / "obcy", "--split", "44K", *common)
            self.assertEqual(code, 1)
            self.assertTrue(last_line(err).startswith("Plik już istnieje: ") and last_line(err).endswith("obcy.003" + EXISTS),
                            err)
            self.assertEqual(parts("obcy"), ["obcy.003"])
            code, _, err = run("create", "-o", self.dir / "obcy", "--split", "44K", "--overwrite", *common)
            self.assertEqual(code, 0, err)
            self.assertEqual(parts("obcy"), ["obcy.001", "obcy.002"])
            self.assertEqual(run("test", self.dir / "obcy.001")[0], 0)

    def test_self_extractor_program_is_checked_before_anything_is_made(self):
        text = self.dir / "notatka.txt"
        text.write_text("to nie jest program", encoding="utf-8")
        signed = self.dir / "podpisany.exe"
        signed.write_bytes(signed_program())
        damaged = self.dir / "uszkodzony.exe"  # its table no longer ends the file
        damaged.write_bytes(signed_program() + bytes(8))
        out = self.dir / "umowa.exe"
        already_signed = (" jest już podpisany cyfrowo, a podpis nie obejmie dołączonego archiwum. Użyj "
                          "niepodpisanego quarn-sfx.exe i podpisz dopiero gotowy plik.")
        cases = [(text, "To nie jest program Windows: ", "notatka.txt"),
                 (signed, "Program ", "podpisany.exe" + already_signed),
                 (damaged, "Program ", "uszkodzony.exe" + already_signed)]
        for program, start, end in cases:
            out.unlink(missing_ok=True)
            for attempt in (1, 2):  # the second meets nothing left by the first
                with self.subTest(program=program.name, attempt=attempt):
                    code, _, err = run("create", "-o", out, "--sfx", program, "--mode", "none", self.src)
                    self.assertEqual(code, 1, err)
                    self.assertTrue(last_line(err).startswith(start) and last_line(err).endswith(end), err)
                    self.assertFalse(out.exists())

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

    def test_names_from_the_archive_are_spelled_out_not_obeyed(self):
        # name as stored -> as listed: C0 (line ends and tabs too), DEL, C1 and
        # the bidirectional controls spelled out, a backslash doubled, Polish kept.
        names = {
            "a\x1b[2Jb": "a\\x1b[2Jb",
            "wiersz\ndrugi\tkolumna\r": "wiersz\\x0adrugi\\x09kolumna\\x0d",
            "del\x7f c1\u0085\u009b": "del\\x7f c1\\u0085\\u009b",
            "fak\u202eexe.txt \u2066\u2069\u200e\u200f\u061c": "fak\\u202eexe.txt \\u2066\\u2069\\u200e\\u200f\\u061c",
            "kat\\plik": "kat\\\\plik",
            "zażółć gęślą jaźń": "zażółć gęślą jaźń",
        }
        archive = self.dir / "nazwy.qrn"
        archive.write_bytes(qf.plain_archive([(name, b"") for name in names]))
        code, out, err = run("list", archive)
        self.assertEqual(code, 0, err)
        self.assertEqual([line[42:] for line in out.splitlines()[:-1]], list(names.values()))

        # Bytes that are not UTF-8, quoted by the file list's parser in an error.
        good = qf.plain_archive([("NAZWA", b"x")])
        start = good.index(b'{"format"')
        manifest = good[start:len(good) - 32].replace(b"NAZWA", b"ab\xff\x1b")
        stream = bytearray(good[:len(qf.header())]) + qf.frame(1, 0, b"x")
        offset = len(stream)
        stream += qf.frame(2, 1, manifest)
        stream += qf.footer(offset, len(stream) + 32)
        broken = self.dir / "zly-spis.qrn"
        broken.write_bytes(bytes(stream))
        code, _, err = run("list", broken)
        self.assertEqual(code, 1)
        self.assertTrue(last_line(err).endswith("ill-formed UTF-8 byte; last read: '\"ab\\xff'"), err)


if __name__ == "__main__":
    main()
