#!/usr/bin/env python3
"""quarn driven through a pseudo-terminal, as a person at a keyboard would:
the password prompt without echo, the progress bar, Ctrl-C and Ctrl-Z, and
what the terminal is left with afterwards."""

import argparse
import fcntl
import os
import pathlib
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

QUARN = None
FAST = ["--argon2-memory", "8", "--argon2-passes", "1", "--argon2-lanes", "1"]
TOO_LONG = "Błąd odczytu/zapisu: haslo jest za dlugie"


def take_terminal():
    """In the child, after setsid: the pseudo-terminal becomes its controlling terminal."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Terminal:
    """A child process on a pseudo-terminal, in the foreground as a shell
    starts it; everything it prints is collected. The test holds the
    terminal's own end too, to see its settings and what is left unread
    after the child ends."""

    def __init__(self, *args, program=None):
        self.fd, self.tty = os.openpty()
        command = program or [QUARN, *map(str, args)]
        self.process = subprocess.Popen(command, stdin=self.tty, stdout=self.tty, stderr=self.tty,
                                        start_new_session=True, preexec_fn=take_terminal)
        self.output = b""

    def __del__(self):
        for fd in (self.fd, self.tty):
            try:
                os.close(fd)
            except OSError:
                pass

    def _read(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            self.output += os.read(self.fd, 65536)
        except OSError:
            return False
        return True

    def read_until(self, needle, timeout=60):
        deadline = time.time() + timeout
        while needle.encode() not in self.output:
            if not self._read(0.2) and (self.process.poll() is not None or time.time() > deadline):
                raise AssertionError("no %r in %r" % (needle, self.output[-500:]))

    def forget_through(self, needle):
        """Drops what was printed up to the end of `needle`; what came with it stays."""
        at = self.output.index(needle.encode()) + len(needle.encode())
        self.output = self.output[at:]

    def type(self, text):
        os.write(self.fd, text.encode())

    def wait(self, timeout=120):
        """The exit status (minus the signal that ended it), once all output is read."""
        deadline = time.time() + timeout
        while True:
            ended = self.process.poll() is not None
            if self._read(0 if ended else 0.05):
                continue
            if ended:
                return self.process.returncode
            if time.time() > deadline:
                self.process.kill()
                raise AssertionError("still running: %r" % self.output[-500:])

    def echo_is_on(self):
        return bool(termios.tcgetattr(self.tty)[3] & termios.ECHO)

    def unread(self):
        """How many bytes typed are left for the next program on this terminal."""
        return struct.unpack("i", fcntl.ioctl(self.tty, termios.FIONREAD, b"\0" * 4))[0]


# A shell's job control in miniature, run as the terminal's session leader:
# the program runs in a process group of its own in the foreground; when it
# stops, the terminal comes back here and its echo is reported, then the
# program is continued in the foreground again.
JOB_SHELL = r"""
import os, signal, sys, termios
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    os.tcsetpgrp(0, os.getpid())
    for s in (signal.SIGTTOU, signal.SIGPIPE):
        signal.signal(s, signal.SIG_DFL)
    os.execv(sys.argv[1], sys.argv[1:])
_, status = os.waitpid(pid, os.WUNTRACED)
if not os.WIFSTOPPED(status):
    sys.exit("the program was not stopped: %d" % status)
os.tcsetpgrp(0, os.getpgrp())
print("\nZATRZYMANY echo=%d" % bool(termios.tcgetattr(0)[3] & termios.ECHO), flush=True)
os.tcsetpgrp(0, pid)
os.kill(pid, signal.SIGCONT)
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
"""


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

    def test_a_signal_at_a_password_prompt_leaves_the_terminal_with_echo(self):
        pw = self.dir / "haslo"
        pw.write_text("x")
        archive = self.dir / "a.qrn"
        subprocess.run([QUARN, "create", "-q", "-o", archive, "--password-file", pw, *FAST, self.src], check=True)
        create = ["create", "-o", self.dir / "b.qrn", *FAST, self.src]
        extract = ["extract", "-o", self.dir / "out", archive]
        ctrl_c = lambda t: t.type("taj\x03")
        cases = [
            ("create, Ctrl-C", create, ctrl_c, signal.SIGINT),
            ("create, kill", create, lambda t: t.process.send_signal(signal.SIGTERM), signal.SIGTERM),
            ("create, hang-up", create, lambda t: t.process.send_signal(signal.SIGHUP), signal.SIGHUP),
            ("extract, Ctrl-C", extract, ctrl_c, signal.SIGINT),
        ]
        for name, args, send, number in cases:
            with self.subTest(name):
                t = Terminal(*args)
                t.read_until("Hasło: ")
                self.assertFalse(t.echo_is_on())
                send(t)
                self.assertEqual(t.wait(timeout=30), -number, t.output)
                self.assertTrue(t.echo_is_on())
                self.assertEqual(t.unread(), 0)
        self.assertFalse((self.dir / "b.qrn").exists())
        self.assertFalse((self.dir / "out").exists())

    def test_ctrl_z_at_the_prompt_gives_the_terminal_back_until_continued(self):
        archive = self.dir / "z.qrn"
        t = Terminal(program=[sys.executable, "-c", JOB_SHELL, QUARN, "create", "-o", str(archive), *FAST,
                              str(self.src)])
        t.read_until("Hasło: ")
        t.type("taj\x1a")
        t.read_until("ZATRZYMANY echo=1")
        t.forget_through("ZATRZYMANY echo=1")
        t.read_until("Hasło: ")  # shown anew: what was typed before the stop is gone
        self.assertFalse(t.echo_is_on())
        t.type("tajne\n")
        t.read_until("Powtórz hasło: ")
        t.type("tajne\n")
        self.assertEqual(t.wait(timeout=60), 0, t.output)
        self.assertNotIn(b"tajne", t.output)
        self.assertTrue(t.echo_is_on())
        self.assertTrue(archive.exists())

    def test_an_over_long_password_is_refused_and_leaves_nothing_to_read(self):
        # The terminal keeps 4095 bytes of a line and drops the rest unseen:
        # a line that long is refused rather than taken cut short.
        t = Terminal("create", "-o", self.dir / "c.qrn", *FAST, self.src)
        t.read_until("Hasło: ")
        t.type("a" * 5000 + "\n")
        self.assertEqual(t.wait(timeout=30), 1, t.output[-300:])
        self.assertEqual(t.output.decode("utf-8").rstrip().splitlines()[-1], TOO_LONG)
        self.assertTrue(t.echo_is_on())
        self.assertEqual(t.unread(), 0)
        self.assertFalse((self.dir / "c.qrn").exists())


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
