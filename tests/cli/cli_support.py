"""Running the quarn binary (natively, or a Windows build under a runner such
as Wine) from Python tests, and the deep paths that the self-extractor's
tests use too."""

import argparse
import os
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


def run(*args, stdin=None, preexec_fn=None):
    cmd = RUNNER + [QUARN] + [native_arg(a) if isinstance(a, pathlib.Path) else a for a in args]
    result = subprocess.run(cmd, capture_output=True, timeout=300, input=stdin,
                            stdin=None if stdin is not None else subprocess.DEVNULL, preexec_fn=preexec_fn)
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def last_line(text):
    lines = text.rstrip("\r\n").splitlines()
    return lines[-1] if lines else ""


# Folders of a company's papers, 67 characters each (72 UTF-8 bytes).
DEEP_FOLDER = "Sprawozdanie z działalności zarządu spółki za rok obrotowy, tom %03d"


def deep_entry(destination, total):
    """An entry path of folders named DEEP_FOLDER and a file that, below
    `destination` (as the program is given it), make a full path of exactly
    `total` characters."""
    left = total - len(destination) - 1
    parts = []
    while left - (len(DEEP_FOLDER % 0) + 1) >= 20:
        parts.append(DEEP_FOLDER % len(parts))
        left -= len(parts[-1]) + 1
    return "/".join(parts + ["umowa " + "ś" * (left - 10) + ".txt"])


def read_below(root, entry):
    """The file `entry` below `root`, opened one name at a time (the whole
    path may be longer than Linux's PATH_MAX)."""
    folder = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for name in entry.split("/")[:-1]:
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=folder)
            os.close(folder)
            folder = inner
        with os.fdopen(os.open(entry.split("/")[-1], os.O_RDONLY, dir_fd=folder), "rb") as file:
            return file.read()
    finally:
        os.close(folder)


def main():
    """The entry point of each CLI test script: --quarn PATH [--runner CMD]."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--quarn", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    configure(args.quarn, args.runner)
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)
