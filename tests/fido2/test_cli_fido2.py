#!/usr/bin/env python3
"""`quarn create --fido2` and the extraction of what it makes, end to end,
with software keys in place of the system's (quarn_with_soft_key: the real
command line over our libfido2 code and libfido2 itself; QUARN_SOFT_KEYS
says which keys are connected and how they behave). Every failure ends with
the text extraction uses for it, exit status 1 and no archive left behind."""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "cli"))
import test_terminal  # noqa: E402
from test_terminal import Terminal  # noqa: E402

QUARN = None
FAST = ["--argon2-memory", "8", "--argon2-passes", "1", "--argon2-lanes", "1"]
FIRST_TOUCH = "Dotknij klucza FIDO2 (1 z 2): klucz utworzy poświadczenie dla tego archiwum."
SECOND_TOUCH = "Dotknij klucza FIDO2 jeszcze raz (2 z 2): klucz obliczy sekret tego archiwum."
EXTRACTION_TOUCH = "Archiwum wymaga klucza FIDO2: podłącz go i dotknij, gdy zacznie migać."
FACTOR = "Archiwum wymaga drugiego składnika: "
WRONG_FACTOR = FACTOR + "nieprawidłowe hasło albo inny plik-klucz / klucz FIDO2"
NO_HMAC_SECRET = FACTOR + "ten klucz FIDO2 nie obsluguje rozszerzenia hmac-secret"
NO_KEY = FACTOR + "klucz FIDO2: nie znaleziono podlaczonego klucza (0x8FD0FC18)"
UNKNOWN_CREDENTIAL = FACTOR + "klucz FIDO2: zaden podlaczony klucz nie zna poswiadczenia tego archiwum (0x8FD0002E)"
CANCELLED = "Przerwano."
PIN_WITHOUT_TERMINAL = FACTOR + "klucz FIDO2: klucz wymaga PIN-u, a nie ma terminala, by o niego zapytac (0x8FD0FC17)"
WRONG_PIN = FACTOR + "klucz FIDO2: bledny PIN (0x8FD00031)"
FOREIGN_SITE = "Naruszona integralność archiwum: klucz FIDO2 w naglowku jest przypisany do innej strony niz Quarn"


def run(keys, *args):
    env = dict(os.environ, QUARN_SOFT_KEYS=keys)
    done = subprocess.run([QUARN, *map(str, args)], capture_output=True, env=env, stdin=subprocess.DEVNULL,
                          timeout=120)
    return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")


def last_line(text):
    lines = text.rstrip("\n").splitlines()
    return lines[-1] if lines else ""


class Fido2CliTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)
        self.src = self.dir / "dane"
        self.src.mkdir()
        (self.src / "umowa.txt").write_bytes("Umowa o dzieło\n".encode() * 500)
        self.pw = self.dir / "haslo"
        self.pw.write_text("tajne")

    def tearDown(self):
        self.tmp.cleanup()

    def create(self, keys, name="a.qrn", *extra):
        archive = self.dir / name
        result = run(keys, "create", "-o", archive, "--fido2", "--password-file", self.pw, *FAST, *extra, self.src)
        return archive, result

    def extract(self, keys, archive, *extra, password=None):
        pw = self.pw
        if password is not None:
            pw = self.dir / "inne-haslo"
            pw.write_text(password)
        out = self.dir / ("out-" + str(len(list(self.dir.iterdir()))))
        return out, run(keys, "extract", "-q", "-o", out, "--password-file", pw, *extra, archive)

    def assert_failed_with(self, result, text):
        code, _, err = result
        self.assertEqual((code, last_line(err)), (1, text), err)

    def test_create_and_extract_round_trip(self):
        archive, (code, out, err) = self.create("")
        self.assertEqual(code, 0, err)
        self.assertEqual(err.splitlines(), [FIRST_TOUCH, SECOND_TOUCH])
        code, out, _ = run("", "info", archive)
        self.assertIn("Drugi składnik: klucz FIDO2 (quarn.invalid)\n", out)

        dest, (code, out, err) = self.extract("", archive)
        self.assertEqual(code, 0, err)
        self.assertEqual(err.splitlines(), [EXTRACTION_TOUCH])
        self.assertTrue(out.endswith("Integralność potwierdzona: SHA-256 zgodne dla 1 plików.\n"), out)
        self.assertEqual((dest / "dane" / "umowa.txt").read_bytes(), (self.src / "umowa.txt").read_bytes())
        # The same key through list and test, which open the archive otherwise.
        self.assertEqual(run("", "test", "-q", "--password-file", self.pw, archive)[0], 0)
        code, out, err = run("", "list", "--password-file", self.pw, archive)
        self.assertEqual(code, 0, err)
        self.assertIn("dane/umowa.txt", out)

    def test_any_other_key_or_password_is_refused(self):
        archive, (code, _, err) = self.create("secret=pierwszy")
        self.assertEqual(code, 0, err)
        # A key that takes the credential but holds another secret, and the
        # right key with a wrong password, read alike.
        dest, result = self.extract("secret=drugi", archive)
        self.assert_failed_with(result, WRONG_FACTOR)
        self.assertFalse(dest.exists())
        self.assert_failed_with(self.extract("secret=pierwszy", archive, password="zle")[1], WRONG_FACTOR)
        # A key that does not know the credential, and no key at all.
        self.assert_failed_with(self.extract("identity=obcy", archive)[1], UNKNOWN_CREDENTIAL)
        self.assert_failed_with(self.extract("absent", archive)[1], NO_KEY)
        # With a stranger connected first, the key that knows the credential answers.
        self.assertEqual(self.extract("identity=obcy;secret=pierwszy", archive)[1][0], 0)

    def test_refused_touch_and_key_without_hmac_secret(self):
        for keys, text in (("refuse", CANCELLED), ("no-hmac-secret", NO_HMAC_SECRET), ("absent", NO_KEY)):
            with self.subTest(keys=keys):
                archive, result = self.create(keys, f"{keys}.qrn")
                self.assert_failed_with(result, text)
                self.assertEqual(list(self.dir.glob(f"{keys}.qrn*")), [])
        archive, (code, _, err) = self.create("")
        self.assertEqual(code, 0, err)
        for keys, text in (("refuse", CANCELLED), ("no-hmac-secret", NO_HMAC_SECRET)):
            with self.subTest(extract=keys):
                self.assert_failed_with(self.extract(keys, archive)[1], text)

    def test_with_a_key_file_both_factors_are_needed(self):
        key_file = self.dir / "klucz.bin"
        key_file.write_bytes(os.urandom(100))
        archive, (code, _, err) = self.create("", "a.qrn", "--key-file", key_file)
        self.assertEqual(code, 0, err)
        self.assertIn("Drugi składnik: plik-klucz, klucz FIDO2 (quarn.invalid)\n", run("", "info", archive)[1])
        self.assertEqual(self.extract("", archive, "--key-file", key_file)[1][0], 0)
        # Without the key file nothing is asked of the key.
        _, result = self.extract("", archive)
        self.assert_failed_with(result, FACTOR + "plik-klucz")
        self.assertNotIn(EXTRACTION_TOUCH, result[2])
        other = self.dir / "inny.bin"
        other.write_bytes(b"inny")
        self.assert_failed_with(self.extract("", archive, "--key-file", other)[1], WRONG_FACTOR)

    def test_refused_before_the_key_is_touched(self):
        for extra, text in ((["--mode", "none"], "Drugi składnik wymaga szyfrowania."),
                            (["--format-version", "1"], "Drugi składnik wymaga formatu w wersji 2.")):
            with self.subTest(extra=extra):
                archive, (code, _, err) = self.create("", "x.qrn", *extra)
                self.assertEqual((code, err), (1, text + "\n"))
                self.assertFalse(archive.exists())

    def test_an_archive_naming_another_site_never_reaches_the_key(self):
        # The header names another relying party (the tag no longer matches,
        # which would only be found after the key had answered). A key that
        # refuses every touch would end it as cancelled: it is never asked,
        # nor is the user told to touch it.
        archive, (code, _, err) = self.create("")
        self.assertEqual(code, 0, err)
        data = archive.read_bytes()
        self.assertEqual(data.count(b"quarn.invalid"), 1)
        for site in (b"moj-bank.test", b"QUARN.INVALID"):
            with self.subTest(site=site):
                archive.write_bytes(data.replace(b"quarn.invalid", site))
                for command in ("extract", "test", "list"):
                    if command == "extract":
                        dest, result = self.extract("refuse", archive)
                        self.assertFalse(dest.exists())
                    else:
                        result = run("refuse", command, "--password-file", self.pw, archive)
                    self.assert_failed_with(result, FOREIGN_SITE)
                    self.assertNotIn(EXTRACTION_TOUCH, result[2])

    def test_pin_is_asked_on_the_terminal(self):
        os.environ["QUARN_SOFT_KEYS"] = "pin=4711"
        try:
            archive = self.dir / "pin.qrn"
            t = Terminal("create", "-o", archive, "--fido2", *FAST, self.src)
            for prompt, answer in (("Hasło: ", "tajne"), ("Powtórz hasło: ", "tajne"), (FIRST_TOUCH, None),
                                   ("PIN klucza FIDO2: ", "4711"), (SECOND_TOUCH, None),
                                   ("PIN klucza FIDO2: ", "4711")):
                t.read_until(prompt)
                t.output = t.output[t.output.index(prompt.encode()) + len(prompt.encode()):]
                if answer:
                    t.type(answer + "\n")
            self.assertEqual(t.wait(), 0, t.output)
            self.assertNotIn(b"4711", t.output)

            t = Terminal("extract", "-q", "-o", self.dir / "out", "--password-file", self.pw, archive)
            t.read_until("PIN klucza FIDO2: ")
            t.type("4711\n")
            self.assertEqual(t.wait(), 0, t.output)
            self.assertTrue((self.dir / "out" / "dane" / "umowa.txt").exists())

            # A wrong PIN, and one longer than any key takes: the whole line is
            # read, and none of it is left on the terminal for the shell.
            for pin in ("1234", "7" * 300):
                t = Terminal("extract", "-q", "-o", self.dir / "out2", "--password-file", self.pw, archive)
                t.read_until("PIN klucza FIDO2: ")
                t.type(pin + "\n")
                self.assertEqual(t.wait(), 1)
                self.assertEqual(last_line(t.output.decode("utf-8").replace("\r", "")), WRONG_PIN)
                self.assertEqual(t.unread(), 0)
                self.assertTrue(t.echo_is_on())
        finally:
            del os.environ["QUARN_SOFT_KEYS"]
        # Without a terminal there is no one to ask.
        self.assert_failed_with(self.extract("pin=4711", archive)[1], PIN_WITHOUT_TERMINAL)


def main():
    global QUARN
    parser = argparse.ArgumentParser()
    parser.add_argument("--quarn", required=True)
    args, rest = parser.parse_known_args()
    QUARN = os.path.abspath(args.quarn)
    test_terminal.QUARN = QUARN
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
