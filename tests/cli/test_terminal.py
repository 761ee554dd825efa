#!/usr/bin/env python3
"""quarn driven through a pseudo-terminal, as a person at a keyboard would:
the password prompt without echo, the progress bar, Ctrl-C."""

import argparse
import os
import pathlib
import pty
import select
import subprocess
import sys
import tempfile
import time
import unittest

QUARN = None
FAST = ["--argon2-memory", "8", "--argon2-passes", "1", "--argon2-lanes", "1"]


class Terminal:
    """A child process on a pseudo-terminal; everything it prints is collected."""

    def __init__(self, *args):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execv(QUARN, [QUARN, *map(str, args)])
        self.output = b""

    def read_until(self, needle, timeout=60):
        deadline = time.time() + timeout
        while needle.encode() not in self.output:
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError("no %r in %r" % (needle, self.output[-500:]))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise AssertionError("ended without %r: %r" % (needle, self.output[-500:]))
                self.output += chunk

    def type(self, text):
        os.write(self.fd, text.encode())

    def wait(self):
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            self.output += chunk
        _, status = os.waitpid(self.pid, 0)
        return os.waitstatus_to_exitcode(status)


class TerminalTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)
        self.src = self.dir / "dane"
        self.src.mkdir()
        (self.src / "a.txt").write_text("tekst\n" * 1000)

    def tearDown(self):
        self.tmp.cleanup()

    def test_passwords_are_asked_twice_without_echo(self):
        archive = self.dir / "a.qrn"
        t = Terminal("create", "-o", archive, *FAST, self.src)
        t.read_until("Hasło: ")
        t.type("sekret-123\n")
        t.read_until("Powtórz hasło: ")
        t.type("sekret-123\n")
        self.assertEqual(t.wait(), 0, t.output)
        self.assertNotIn(b"sekret-123", t.output)

        t = Terminal("extract", "-o", self.dir / "out", archive)
        t.read_until("Hasło: ")
        t.type("sekret-123\n")
        self.assertEqual(t.wait(), 0, t.output)
        self.assertNotIn(b"sekret-123", t.output)
        self.assertIn("Integralność potwierdzona: SHA-256 zgodne dla 1 plików.".encode(), t.output)

    def test_different_passwords_are_refused(self):
        t = Terminal("create", "-o", self.dir / "b.qrn", *FAST, self.src)
        t.read_until("Hasło: ")
        t.type("raz\n")
        t.read_until("Powtórz hasło: ")
        t.type("dwa\n")
        self.assertEqual(t.wait(), 1)
        self.assertIn("Hasła się różnią. Spróbuj jeszcze raz.".encode(), t.output)
        self.assertFalse((self.dir / "b.qrn").exists())

    def test_progress_bar_and_ctrl_c(self):
        big = self.dir / "duze"
        big.mkdir()
        (big / "los.bin").write_bytes(os.urandom(192 << 20))
        pw = self.dir / "haslo"
        pw.write_text("x")
        archive = self.dir / "duze.qrn"
        subprocess.run([QUARN, "create", "-q", "-o", archive, "--mode", "serpent-twofish-aes", "--level", "0",
                        "--block-size", "1M", "--password-file", pw, *FAST, big], check=True)
        t = Terminal("extract", "--password-file", pw, "-o", self.dir / "out", archive)
        t.read_until("%")  # the bar is drawn
        self.assertIn(b"\r[", t.output)
        t.type("\x03")
        self.assertEqual(t.wait(), 1, t.output[-300:])
        self.assertTrue(t.output.rstrip().endswith("Przerwano.".encode()), t.output[-300:])
        self.assertTrue((self.dir / "out" / "duze" / "los.bin").exists())  # what was written stays


def main():
    global QUARN
    parser = argparse.ArgumentParser()
    parser.add_argument("--quarn", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    QUARN = args.quarn
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
