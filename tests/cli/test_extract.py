#!/usr/bin/env python3
"""`quarn extract` and `quarn test`: the contract outside tooling relies on
(exit status, summary as the end of stdout, the error text as the last line
of stderr), on archives of every mode and on the independent writer's."""

import hashlib
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import quarn_format as qf  # noqa: E402
import cli_support  # noqa: E402
from cli_support import deep_entry, main, last_line, native_arg, read_below, run  # noqa: E402

FAST = ["--argon2-memory", "8", "--argon2-passes", "1", "--argon2-lanes", "1"]
MODES = ["none", "aes", "chacha-aes", "twofish", "serpent", "serpent-twofish-aes"]
MAKE_ENCRYPTED = pathlib.Path(__file__).resolve().parents[1] / "tools" / "make_encrypted.py"
NOT_AUTHENTIC = "Naruszona integralność archiwum: ramka nie przeszla uwierzytelnienia (zmieniona zawartosc)"
LINK_REFUSED = ("Rozpakowywanie przerwane: w folderze docelowym w miejscu folderu %s jest dowiazanie (link symboliczny,"
                " punkt polaczenia lub inny punkt ponownej analizy), przez ktore zapis wpisu %s moglby trafic poza"
                " folder docelowy.")


CERTIFICATE_DIR = None


def certificate():
    """A throw-away code-signing certificate and its key, made once per run
    and removed with it."""
    global CERTIFICATE_DIR
    if CERTIFICATE_DIR is None:
        CERTIFICATE_DIR = tempfile.TemporaryDirectory()
        folder = pathlib.Path(CERTIFICATE_DIR.name)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=Quarn Test Signer", "-keyout", str(folder / "k.pem"), "-out", str(folder / "c.pem")],
                       check=True, capture_output=True)
    folder = pathlib.Path(CERTIFICATE_DIR.name)
    return folder / "c.pem", folder / "k.pem"


def sign(program, cert, key):
    signed = program.with_name("podpisany-" + program.name)
    subprocess.run(["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-n", "Pakiet",
                    "-in", str(program), "-out", str(signed)], check=True, capture_output=True)
    return signed


def verifies(program, cert):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(cert), "-in", str(program)],
                          capture_output=True).returncode == 0


def trust_lines(lines):
    return [line for line in lines if line.startswith("Windows ufa podpisowi: ")]


def summary(count, destination, verified):
    return ("Rozpakowano %d plików do:\n%s\n\nIntegralność potwierdzona: SHA-256 zgodne dla %d plików.\n"
            % (count, destination, verified))


class ExtractTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)
        self.src = self.dir / "dane"
        (self.src / "pod").mkdir(parents=True)
        self.files = {
            "dane/a.txt": "Zażółć gęślą jaźń\n".encode() * 1000,
            "dane/pod/b.bin": bytes(range(256)) * 100,
            "dane/pusty": b"",
        }
        for rel, data in self.files.items():
            (self.dir / rel).write_bytes(data)
        self.pw = self.dir / "haslo"
        self.pw.write_bytes(b"tajne\n")

    def tearDown(self):
        self.tmp.cleanup()

    def create(self, name, mode):
        out = self.dir / name
        code, _, err = run("create", "-o", out, "--mode", mode, "--password-file", self.pw, "--block-size", "4K",
                           *FAST, self.src)
        self.assertEqual(code, 0, err)
        return out

    def assert_tree(self, root):
        for rel, data in self.files.items():
            self.assertEqual((root / rel).read_bytes(), data, rel)

    def test_every_mode_extracts_with_the_exact_summary(self):
        for mode in MODES:
            with self.subTest(mode):
                archive = self.create(mode + ".qrn", mode)
                dest = self.dir / ("wynik-" + mode)
                code, out, err = run("extract", "--password-file", self.pw, "-o", dest, archive)
                self.assertEqual(code, 0, err)
                self.assertTrue(out.endswith(summary(3, native_arg(dest), 3)), out)
                self.assert_tree(dest)
                code, out, err = run("test", "--password-file", self.pw, archive)
                self.assertEqual(code, 0, err)
                self.assertEqual(last_line(out), "Archiwum jest w porządku: 3 plików, SHA-256 zgodne.")

    def test_default_destination_is_beside_the_archive(self):
        archive = self.create("paczka.qrn", "aes")
        code, out, err = run("extract", "--password-file", self.pw, archive)
        self.assertEqual(code, 0, err)
        self.assert_tree(self.dir / "paczka")

    def test_a_destination_whose_name_is_not_utf8_is_the_folder_named(self):
        if cli_support.RUNNER:
            self.skipTest("Linux names are bytes; Windows names are UTF-16")
        archive = self.create("paczka.qrn", "none")
        named = os.fsencode(self.dir) + b"/wynik\xff"
        beside = os.fsencode(self.dir) + b"/folder\xff"
        os.mkdir(beside)
        shutil.copy(archive, beside + b"/paczka.qrn")
        for args, root in ((["-o", os.fsdecode(named), archive], named),
                           ([os.fsdecode(beside + b"/paczka.qrn")], beside + b"/paczka")):
            with self.subTest(root=root):
                code, _, err = run("extract", *args)
                self.assertEqual(code, 0, err)
                self.assert_tree(pathlib.Path(os.fsdecode(root)))
        self.assertEqual(sorted(os.listdir(os.fsencode(self.dir))),
                         [b"dane", b"folder\xff", b"haslo", b"paczka.qrn", b"wynik\xff"])

    def test_failures_end_stderr_with_the_display_text(self):
        archive = self.create("a.qrn", "aes")
        wrong = self.dir / "zle"
        wrong.write_bytes(b"zle")
        code, _, err = run("extract", "--password-file", wrong, "-o", self.dir / "x", archive)
        self.assertEqual((code, last_line(err)), (1, "Nieprawidłowe hasło."))
        code, _, err = run("extract", "-o", self.dir / "x", archive)
        self.assertEqual((code, last_line(err)), (1, "Archiwum jest zaszyfrowane. Podaj hasło."))
        data = bytearray(archive.read_bytes())
        data[400] ^= 1
        damaged = self.dir / "uszkodzone.qrn"
        damaged.write_bytes(bytes(data))
        code, _, err = run("test", "--password-file", self.pw, damaged)
        self.assertEqual(code, 1)
        self.assertRegex(last_line(err), r"^Archiwum jest uszkodzone: suma CRC32C ramki \d+ sie nie zgadza \(uszkodzony nosnik\?\)$")
        self.assertEqual(run("extract")[0], 2)
        # A path from the archive reaches the terminal spelled out, never as
        # the escape sequence (here: retitle the window) it carries.
        hostile = self.dir / "wrogie.qrn"
        hostile.write_bytes(qf.plain_archive([("a\x1b]0;x\x07b.txt", b"x")]))
        code, _, err = run("extract", "-o", self.dir / "w", hostile)
        self.assertEqual((code, last_line(err)), (1, "Niebezpieczna ścieżka w archiwum: a\\x1b]0;x\\x07b.txt"))

    def test_independent_writer_archive_and_listed_details(self):
        archive = self.dir / "python.qrn"
        archive.write_bytes(qf.plain_archive([("k", None), ("k/Plik.txt", b"jeden"), ("k/plik.TXT", b"dwa"),
                                              ("k/\u202eexe.txt", b"trzy"), ("k/a\u009b.txt", b"cztery"),
                                              ("k/A\u009b.txt", b"piec")], block_size=4))
        dest = self.dir / "wynik"
        code, out, err = run("extract", "-o", dest, archive)
        self.assertEqual(code, 0, err)
        self.assertIn("Zmieniono nazwę: k/plik.TXT -> ", out)
        # Names from the archive with their controls spelled out, on both sides of a rename.
        sep = "\\" if cli_support.RUNNER else "/"
        self.assertIn("Zmieniono nazwę: k/A\\u009b.txt -> %s%sk%sA\\u009b (2).txt\n" % (native_arg(dest), sep, sep),
                      out)
        self.assertIn("Podejrzana nazwa (niewidoczne lub odwracające znaki): k/\\u202eexe.txt\n", out)
        self.assertTrue(out.endswith(summary(5, native_arg(dest), 5)), out)
        self.assertEqual((dest / "k" / "Plik.txt").read_bytes(), b"jeden")

    def make_independent(self, name, mode, damaged_layer=None):
        """An archive of make_encrypted.py's files, made by the Python writer
        (with Debian's python3, which has python3-cryptography and -argon2)."""
        archive = self.dir / name
        subprocess.run(["/usr/bin/python3", str(MAKE_ENCRYPTED), str(archive), str(mode), "tajne"]
                       + ([damaged_layer] if damaged_layer else []), check=True)
        return archive

    def test_independent_writer_encrypted_archives(self):
        # Every encrypted mode: AES-256-GCM; ChaCha20-Poly1305 then AES;
        # Twofish-256-GCM; Serpent-256-GCM; Serpent, Twofish then AES.
        for mode in (1, 2, 3, 4, 5):
            with self.subTest(mode):
                archive = self.make_independent("niezalezne%d.qrn" % mode, mode)
                dest = self.dir / ("n%d" % mode)
                code, out, err = run("extract", "--password-file", self.pw, "-o", dest, archive)
                self.assertEqual(code, 0, err)
                self.assertTrue(out.endswith(summary(3, native_arg(dest), 3)), out)
                self.assertEqual((dest / "folder" / "umowa.txt").read_bytes(), "Umowa o dzieło\n".encode() * 700)
                self.assertEqual((dest / "folder" / "pusty").read_bytes(), b"")
                self.assertEqual((dest / "dane.bin").read_bytes(), bytes(range(256)) * 64)
                code, out, err = run("test", "--password-file", self.pw, archive)
                self.assertEqual(code, 0, err)
                self.assertEqual(last_line(out), "Archiwum jest w porządku: 3 plików, SHA-256 zgodne.")
                wrong = self.dir / "zle"
                wrong.write_bytes(b"inne")
                code, _, err = run("test", "--password-file", wrong, archive)
                self.assertEqual((code, last_line(err)), (1, "Nieprawidłowe hasło."))

    def test_independent_writer_changed_byte_fails_authentication(self):
        # A byte of the first data frame flipped right after one layer sealed
        # it: the layers outside it, and the frame's CRC-32C, are made over
        # the changed bytes, so only that layer's tag can notice; for the
        # outermost layer this is a changed payload byte with a matching CRC.
        for mode, layers in ((3, ["twofish"]), (4, ["serpent"]), (5, ["serpent", "twofish", "aes"])):
            for layer in layers:
                with self.subTest(mode=mode, layer=layer):
                    archive = self.make_independent("zmienione%d-%s.qrn" % (mode, layer), mode, layer)
                    code, out, err = run("test", "--password-file", self.pw, archive)
                    self.assertEqual((code, last_line(err)), (1, NOT_AUTHENTIC), out)
                    dest = self.dir / ("z%d-%s" % (mode, layer))
                    code, out, err = run("extract", "--password-file", self.pw, "-o", dest, archive)
                    self.assertEqual((code, last_line(err)), (1, NOT_AUTHENTIC), out)
                    self.assertNotIn("Rozpakowano", out)

    def test_independent_writer_flipped_stored_byte_fails_the_crc(self):
        for mode in (3, 4, 5):
            with self.subTest(mode):
                data = bytearray(self.make_independent("n%d.qrn" % mode, mode).read_bytes())
                # The first data frame follows the header; its payload, its 24-byte head.
                data[len(qf.header(mode=mode, argon2=(8, 1, 1))) + 24 + 10] ^= 0x10
                damaged = self.dir / ("crc%d.qrn" % mode)
                damaged.write_bytes(bytes(data))
                code, _, err = run("test", "--password-file", self.pw, damaged)
                self.assertEqual((code, last_line(err)),
                                 (1, "Archiwum jest uszkodzone: suma CRC32C ramki 0 sie nie zgadza (uszkodzony nosnik?)"))

    def signed_program(self, name, mode, version, aligned, cert, key):
        """A program made by `create --sfx` (aligned) or joined by hand so that
        the signing tool has to pad it, then signed."""
        stub = self.dir / "stub.exe"
        stub.write_bytes(qf.pe_program())
        program = self.dir / name
        common = ["--mode", mode, "--format-version", str(version), "--password-file", self.pw, *FAST, self.src]
        if aligned:
            code, _, err = run("create", "-o", program, "--sfx", stub, *common)
            self.assertEqual(code, 0, err)
            self.assertEqual(program.stat().st_size % 8, 0)
        else:
            archive = self.dir / (name + ".qrn")
            code, _, err = run("create", "-o", archive, *common)
            self.assertEqual(code, 0, err)
            program_bytes, data = stub.read_bytes(), archive.read_bytes()
            # Zero bytes after the program are harmless; they make the file
            # end 1 to 7 bytes (varying with the case) past a multiple of 8.
            remainder = (version * 3 + len(mode)) % 7 + 1
            gap = (remainder - len(program_bytes) - len(data)) % 8
            program.write_bytes(program_bytes + bytes(gap) + data)
        return sign(program, cert, key)

    def test_signed_programs_verify_open_test_and_extract(self):
        cert, key = certificate()
        # Every mode family in both format versions; each mode and each
        # version both with the alignment `create --sfx` makes and without.
        cases = [("none", 1, True), ("none", 2, False), ("aes", 1, False), ("aes", 2, True),
                 ("serpent-twofish-aes", 1, True), ("serpent-twofish-aes", 2, False)]
        for mode, version, aligned in cases:
            with self.subTest(mode=mode, version=version, aligned=aligned):
                name = "%s-v%d-%s.exe" % (mode, version, "rowny" if aligned else "reczny")
                signed = self.signed_program(name, mode, version, aligned, cert, key)
                self.assertTrue(verifies(signed, cert))
                table_at, table_size = qf.certificate_table(signed.read_bytes())
                self.assertEqual(table_at + table_size, signed.stat().st_size)
                padding = table_at - (self.dir / name).stat().st_size
                self.assertEqual(padding, 0 if aligned else (8 - (self.dir / name).stat().st_size % 8))

                code, out, err = run("info", signed)
                self.assertEqual(code, 0, err)
                lines = out.splitlines()
                self.assertIn("Wersja formatu: %d" % version, lines)
                self.assertIn("Podpis cyfrowy programu: jest (%d B)" % table_size, lines)
                # Wine accepts a self-signed certificate that Windows, which
                # asks for a trusted root, would not.
                self.assertEqual(trust_lines(lines),
                                 ["Windows ufa podpisowi: tak (podpisał: Quarn Test Signer)"] if cli_support.RUNNER
                                 else [])

                code, out, err = run("test", "--password-file", self.pw, signed)
                self.assertEqual(code, 0, err)
                if mode != "serpent-twofish-aes":
                    continue  # extraction itself once with and once without the alignment
                dest = self.dir / ("cel-" + name)
                code, out, err = run("extract", "--password-file", self.pw, "-o", dest, signed)
                self.assertEqual(code, 0, err)
                self.assert_tree(dest)

    def test_changed_byte_in_a_signed_program_fails_both_checks(self):
        cert, key = certificate()
        signed = self.signed_program("umowa.exe", "aes", 2, True, cert, key)
        data = bytearray(signed.read_bytes())
        # The first data frame's payload, past the header and its 24-byte head.
        data[data.index(b"QUARN\x1a\r\n") + len(qf.header(mode=1, argon2=(8, 1, 1))) + 24 + 10] ^= 0x10
        damaged = self.dir / "zmieniony.exe"
        damaged.write_bytes(bytes(data))
        self.assertFalse(verifies(damaged, cert))
        code, out, err = run("info", damaged)
        self.assertEqual(code, 0, err)
        trust = trust_lines(out.splitlines())
        if cli_support.RUNNER:  # TRUST_E_BAD_DIGEST
            self.assertEqual(len(trust), 1, out)
            self.assertTrue(trust[0].startswith("Windows ufa podpisowi: nie (0x80096010"), trust[0])
        else:
            self.assertEqual(trust, [])
        code, out, err = run("test", "--password-file", self.pw, damaged)
        self.assertEqual((code, last_line(err)),
                         (1, "Archiwum jest uszkodzone: suma CRC32C ramki 0 sie nie zgadza (uszkodzony nosnik?)"))

    def test_an_archive_hidden_in_the_certificate_table_is_never_read(self):
        # A signed program whose certificate table grew after signing: 16
        # small entries more, the last holding another archive that ends the
        # file; the signature hashes neither. The first table is well formed
        # but far longer than any signing tool makes one, the second one's
        # entries do not fill it.
        cert, key = certificate()
        signed = bytearray(self.signed_program("vendor.exe", "none", 2, True, cert, key).read_bytes())
        (self.dir / "zle").mkdir()
        (self.dir / "zle" / "evil.txt").write_bytes(b"evil\n")
        hidden = self.dir / "ukryte.qrn"
        code, _, err = run("create", "-o", hidden, "--mode", "none", self.dir / "zle")
        self.assertEqual(code, 0, err)
        hidden = hidden.read_bytes()
        e_lfanew = int.from_bytes(signed[0x3C:0x40], "little")
        directory = e_lfanew + 24 + 144
        table_at, _ = qf.certificate_table(signed)
        for name, count, skew in (("17-wpisow.exe", 17, 0), ("niepelne.exe", 2, 8)):
            with self.subTest(name):
                data = bytearray(signed)
                for _ in range(count - 2):
                    data += struct.pack("<IHH", 8, 0x0200, 0x0002)
                # The last entry may stop short of its padding: the hidden
                # archive ends the file. `skew` leaves 8 bytes of the table
                # that no entry claims.
                data += struct.pack("<IHH", 8 + len(hidden) - skew, 0x0200, 0x0002) + hidden
                struct.pack_into("<I", data, directory + 4, len(data) - table_at)
                program = self.dir / name
                program.write_bytes(bytes(data))
                for command in (["list"], ["info"], ["test"]):
                    code, out, err = run(*command, program)
                    self.assertNotIn("evil.txt", out)
                    self.assertEqual((code, last_line(err)),
                                     (1, "Archiwum jest uszkodzone: obszar podpisu programu jest uszkodzony"),
                                     command)

    def test_a_signed_program_named_as_a_first_part_is_read_alone(self):
        # Whatever lies beside it as vendor.002 is no part of what was signed.
        cert, key = certificate()
        first = self.dir / "vendor.001"
        first.write_bytes(self.signed_program("vendor.exe", "none", 2, True, cert, key).read_bytes())
        (self.dir / "vendor.002").write_bytes(b"planted" * 1000)
        code, out, err = run("info", first)
        self.assertEqual(code, 0, err)
        self.assertIn("Części: 1\n", out)
        code, out, err = run("test", "--password-file", self.pw, first)
        self.assertEqual((code, last_line(out)), (0, "Archiwum jest w porządku: 3 plików, SHA-256 zgodne."), err)

    def test_full_paths_beyond_260_characters_extract_and_show_plainly(self):
        # A second extraction into the same folder finds the deep file there
        # and renames the new one: the whole path is asked about, not only
        # written one name at a time. Linux answers such a question only up
        # to PATH_MAX (4,096 bytes; these names reach it at about 3,740
        # characters): the Linux program walks a longer path a folder at a
        # time, but Wine does not, so under Wine the deepest row is only written.
        for total, asked in ((300, True), (1000, True), (4000, not cli_support.RUNNER)):
            with self.subTest(total):
                dest = self.dir / ("d%d" % total)
                entry = deep_entry(native_arg(dest), total)
                self.assertEqual(len(native_arg(dest)) + 1 + len(entry), total)
                archive = self.dir / ("gleboko%d.qrn" % total)
                archive.write_bytes(qf.plain_archive([(entry, b"tresc")]))
                code, out, err = run("extract", "-o", dest, archive)
                self.assertEqual(code, 0, err)
                self.assertTrue(out.endswith(summary(1, native_arg(dest), 1)), out)
                self.assertEqual(read_below(dest, entry), b"tresc")
                if asked:
                    code, out, err = run("extract", "-o", dest, archive)
                    self.assertEqual(code, 0, err)
                    renamed = entry[:-len(".txt")] + " (2).txt"
                    sep = "\\" if cli_support.RUNNER else "/"
                    self.assertIn("Zmieniono nazwę: %s -> %s%s%s\n" % (entry, native_arg(dest), sep,
                                                                      renamed.replace("/", sep)), out)
                    self.assertEqual(read_below(dest, renamed), b"tresc")
                self.assertNotIn("\\\\?\\", out + err)

    def test_mismatching_digest_is_listed_and_fails(self):
        good = qf.plain_archive([("a.txt", b"alfa")])
        bad = good.replace(hashlib.sha256(b"alfa").hexdigest().encode(), hashlib.sha256(b"beta").hexdigest().encode())
        # The file list's CRC must be recomputed: rebuild it through the writer's pieces instead.
        archive = self.dir / "niezgodne.qrn"
        head_len = len(qf.header())
        manifest_at = good.index(b'{"format"')
        manifest = bad[manifest_at:len(bad) - 32]
        stream = bytearray(good[:head_len])
        stream += qf.frame(1, 0, b"alfa")
        offset = len(stream)
        stream += qf.frame(2, 1, manifest)
        stream += qf.footer(offset, len(stream) + 32)
        archive.write_bytes(bytes(stream))
        dest = self.dir / "w"
        for command in ("extract", "test"):
            with self.subTest(command):
                code, out, err = run(command, *(["-o", dest] if command == "extract" else []), archive)
                self.assertEqual((code, err), (1, ""))
                self.assertIn("Niezgodna suma SHA-256: a.txt\n", out)
                self.assertTrue(out.endswith("UWAGA: sumy kontrolne części plików się nie zgadzają - nie ufaj tym plikom.\n"))
        self.assertEqual((dest / "a.txt").read_bytes(), b"alfa")  # written all the same

    def test_read_only_applies_to_files_but_not_to_folders(self):
        # Windows marks customised folders read-only and ignores the mark
        # there; a Linux folder without write permission would take no second
        # extraction and stop `rm -rf` (for anyone but root).
        if cli_support.RUNNER:
            self.skipTest("permissions are the Linux stand-in's")
        archive = self.dir / "ro.qrn"
        archive.write_bytes(qf.plain_archive([("k", None, 0x11), ("k/a.txt", b"alfa", 0x21)]))
        dest = self.dir / "ro"
        for _ in range(2):
            code, _, err = run("extract", "-o", dest, archive)
            self.assertEqual(code, 0, err)
        self.assertTrue(os.stat(dest / "k").st_mode & 0o200)
        self.assertFalse(os.stat(dest / "k" / "a.txt").st_mode & 0o222)
        self.assertEqual((dest / "k" / "a (2).txt").read_bytes(), b"alfa")
        shutil.rmtree(dest)
        self.assertFalse(dest.exists())


def snapshot(root):
    """Everything below root, links not followed: path -> bytes, "dir" or the link's target."""
    out = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = pathlib.Path(folder) / name
            rel = str(path.relative_to(root))
            out[rel] = ("link", os.readlink(path)) if path.is_symlink() else \
                "dir" if path.is_dir() else path.read_bytes()
    return out


# Wine reports a dangling link as nothing there (a real Windows sees the
# reparse point), so planning lets it pass; making the folder or the file
# through it then fails, and the extraction stops with an I/O error, still
# writing nothing outside.
WINE_DANGLING = {
    "dangling folder link": "Błąd odczytu/zapisu: File not found (os error 2)",
    "dangling link as the file": "Błąd odczytu/zapisu: File already exists (os error 183)",
}


class LinkTest(unittest.TestCase):
    """Links planted below the destination by someone else (Linux links; the
    Windows build under Wine sees them as reparse points when it asks about a
    path, though its handles then reach the target: what a real Windows does
    with junctions and symbolic links at write time only it can show)."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)
        self.archive = self.dir / "a.qrn"
        self.archive.write_bytes(qf.plain_archive([
            ("a", None), ("a/x.txt", b"X"), ("dir", None), ("dir/f.txt", b"F"), ("dir/sub", None),
            ("dir/sub/g.txt", b"G"), ("top.txt", b"T")]))
        self.outside = self.dir / "outside"
        (self.outside / "dir").mkdir(parents=True)
        (self.outside / "secret.txt").write_bytes(b"secret")
        self.dest = self.dir / "dest"

    def tearDown(self):
        self.tmp.cleanup()

    def test_no_link_below_the_destination_leads_a_write_out_of_it(self):
        # name, links to plant (relative to dest -> target), refused folder and entry or None
        cases = [
            ("folder link out", {"dir": self.outside}, ("dir", "dir")),
            ("folder link out, deeper", {"dir/sub": self.outside / "dir"}, ("dir/sub", "dir/sub")),
            ("folder link inside", {"dir": self.dest / "inner"}, ("dir", "dir")),
            ("dangling folder link", {"dir": self.outside / "brak"}, ("dir", "dir")),
            ("dangling link as the file", {"top.txt": self.outside / "nowy.txt"}, None),
            ("link to a file outside as the file", {"top.txt": self.outside / "secret.txt"}, None),
        ]
        for name, links, refused in cases:
            with self.subTest(name):
                shutil.rmtree(self.dest, ignore_errors=True)
                self.dest.mkdir()
                (self.dest / "inner").mkdir()
                for rel, target in links.items():
                    (self.dest / rel).parent.mkdir(parents=True, exist_ok=True)
                    os.symlink(target, self.dest / rel)
                outside, dest = snapshot(self.outside), snapshot(self.dest)
                code, out, err = run("extract", "-o", self.dest, self.archive)
                self.assertEqual(snapshot(self.outside), outside)
                if cli_support.RUNNER and name in WINE_DANGLING:
                    self.assertEqual((code, last_line(err)), (1, WINE_DANGLING[name]))
                elif refused:
                    self.assertEqual((code, last_line(err)), (1, LINK_REFUSED % refused), out)
                    self.assertEqual(snapshot(self.dest), dest)
                else:
                    self.assertEqual(code, 0, err)
                    self.assertIn("Zmieniono nazwę: top.txt -> ", out)
                    self.assertEqual((self.dest / "top (2).txt").read_bytes(), b"T")
                    self.assertEqual((self.dest / "dir" / "sub" / "g.txt").read_bytes(), b"G")

    def test_the_destination_may_be_a_link_and_test_makes_nothing(self):
        (self.dir / "real").mkdir()
        os.symlink(self.dir / "real", self.dest)
        code, out, err = run("extract", "-o", self.dest, self.archive)
        self.assertEqual(code, 0, err)
        self.assertEqual((self.dir / "real" / "dir" / "f.txt").read_bytes(), b"F")
        before = snapshot(self.dir)
        code, out, err = run("test", self.archive)
        self.assertEqual(code, 0, err)
        self.assertEqual(snapshot(self.dir), before)


if __name__ == "__main__":
    main()
