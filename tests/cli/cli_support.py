"""Running the quarn binary (natively, or a Windows build under a runner such
as Wine) from Python tests."""

import argparse
import pathlib
import shlex
import subprocess
import sys
import unittest

QUARN = None
RUNNER = []


def configure(quarn, runner):
    global QUARN, RUNNER
    QUARN = quarn
    RUNNER = shlex.split(runner)


def native_arg(path):
    """Under Wine a Unix path is passed as its Z: drive form."""
    path = str(path)
    return "Z:" + path.replace("/", "\\") if RUNNER else path


def run(*args, stdin=None):
    cmd = RUNNER + [QUARN] + [native_arg(a) if isinstance(a, pathlib.Path) else a for a in args]
    result = subprocess.run(cmd, capture_output=True, timeout=300, input=stdin,
                            stdin=None if stdin is not None else subprocess.DEVNULL)
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def last_line(text):
    lines = text.rstrip("\r\n").splitlines()
    return lines[-1] if lines else ""


def main():
    """The entry point of each CLI test script: --quarn PATH [--runner CMD]."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--quarn", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    configure(args.quarn, args.runner)
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)
