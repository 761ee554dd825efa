#!/usr/bin/env python3
"""The packages people install: scripts/package.sh makes a lintian-clean .deb
and a Windows zip from the given build trees; the .deb unpacked into a
throw-away root gives a quarn that knows its version and makes and opens a
self-extractor with `--sfx auto`; the manual page and the bash completion
know every option that `quarn COMMAND --help` lists."""

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
NATIVE = WINDOWS = None
COMMANDS = ("create", "info", "list", "test", "extract")


def run(*cmd, **kwargs):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=600, **kwargs)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = pathlib.Path(cls.tmp.name)
        result = run(ROOT / "scripts" / "package.sh", "--build-dirs", NATIVE, WINDOWS, "--out", cls.dir / "out")
        if result.returncode != 0:
            raise AssertionError("package.sh failed:\n" + result.stdout + result.stderr)
        cls.lintian = result.stderr
        cls.deb, cls.zip = (pathlib.Path(line) for line in result.stdout.split())
        cls.version = run("dpkg-deb", "-f", cls.deb, "Version").stdout.strip()
        cls.root = cls.dir / "root"
        subprocess.run(["dpkg-deb", "-x", str(cls.deb), str(cls.root)], check=True)
        cls.quarn = cls.root / "usr" / "bin" / "quarn"

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_names_and_lintian(self):
        self.assertEqual(self.deb.name, f"quarn_{self.version}_amd64.deb")
        self.assertEqual(self.zip.name, f"quarn-{self.version}-windows-x64.zip")
        self.assertNotRegex(self.lintian, r"(?m)^E: ")

    def test_deb_holds_the_programs_and_their_notes(self):
        for path in ("usr/bin/quarn", "usr/share/quarn/quarn-sfx.exe", "usr/share/man/man1/quarn.1.gz",
                     "usr/share/bash-completion/completions/quarn", "usr/share/doc/quarn/copyright",
                     "usr/share/doc/quarn/changelog.gz", "usr/share/doc/quarn/README.md.gz"):
            self.assertTrue((self.root / path).is_file(), path)
        self.assertEqual((self.root / "usr/share/quarn/quarn-sfx.exe").read_bytes()[:2], b"MZ")

    def test_installed_quarn_makes_and_opens_a_self_extractor(self):
        result = run(self.quarn, "--version")
        self.assertEqual((result.returncode, result.stdout), (0, f"quarn {self.version}\n"))

        tree = self.dir / "dokumenty"
        (tree / "umowy").mkdir(parents=True)
        (tree / "umowy" / "umowa.txt").write_text("Zażółć gęślą jaźń\n", encoding="utf-8")
        (tree / "dane.bin").write_bytes(os.urandom(100_000))
        program = self.dir / "pakiet.exe"
        (self.dir / "haslo").write_text("hasło do paczki")
        result = run(self.quarn, "create", "--quiet", "--password-file", self.dir / "haslo", "--argon2-memory", "64",
                     "--argon2-passes", "1", "--sfx", "auto", "-o", program, tree)
        self.assertEqual(result.returncode, 0, result.stderr)
        sfx = (self.root / "usr/share/quarn/quarn-sfx.exe").read_bytes()
        self.assertEqual(program.read_bytes()[:len(sfx)], sfx)

        result = run(self.quarn, "info", program)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith("Archiwum: pakiet.exe"), result.stdout)

        out = self.dir / "wynik"
        result = run(self.quarn, "extract", "--quiet", "--password-file", self.dir / "haslo", "-o", out, program)
        self.assertEqual(result.returncode, 0, result.stderr)
        for name in ("umowy/umowa.txt", "dane.bin"):
            self.assertEqual((out / "dokumenty" / name).read_bytes(), (tree / name).read_bytes(), name)

    def test_windows_zip(self):
        with zipfile.ZipFile(self.zip) as z:
            names = sorted(z.namelist())
            folder = f"quarn-{self.version}/"
            self.assertEqual(names, sorted([folder] + [folder + n for n in
                                                       ("CZYTAJ.txt", "LICENCJE.txt", "quarn-sfx.exe", "quarn.exe")]))
            readme = z.read(folder + "CZYTAJ.txt").decode("utf-8")
            self.assertIn(f"Quarn {self.version} dla Windows", readme)
            self.assertNotIn("\n", readme.replace("\r\n", ""))  # Windows line ends throughout
            for exe in ("quarn.exe", "quarn-sfx.exe"):
                self.assertEqual(z.read(folder + exe)[:2], b"MZ")

    def options_of(self, command):
        result = run(self.quarn, command, "--help")
        self.assertEqual(result.returncode, 0, result.stderr)
        return set(re.findall(r"(?<![\w-])(--[a-z0-9-]+|-[a-zA-Z])\b", result.stdout)) | {"--help"}

    def test_manual_page_renders_and_names_every_option(self):
        page = self.root / "usr/share/man/man1/quarn.1.gz"
        result = run("man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page,
                     env={**os.environ, "LC_ALL": "C.UTF-8", "MANROFFSEQ": ""})
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        text = run("man", "-l", page, env={**os.environ, "LC_ALL": "C.UTF-8", "MANWIDTH": "200"}).stdout
        text = re.sub(".\b", "", text)
        self.assertIn(f"quarn {self.version}", text)
        for command in COMMANDS:
            for option in self.options_of(command):
                self.assertIn(option, text, f"{command} {option}")

    def test_bash_completion_offers_every_option_of_each_command(self):
        if not pathlib.Path("/usr/share/bash-completion/bash_completion").is_file():
            self.skipTest("bash-completion is not installed")
        completion = self.root / "usr/share/bash-completion/completions/quarn"

        def complete(*words):
            script = ("source /usr/share/bash-completion/bash_completion; source " + str(completion) + "\n"
                      "COMP_WORDS=(" + " ".join(f"'{w}'" for w in words) + "); COMP_CWORD=" + str(len(words) - 1) +
                      "; COMP_LINE='" + " ".join(words) + "'; COMP_POINT=${#COMP_LINE}; _quarn; "
                      "printf '%s\\n' \"${COMPREPLY[@]}\"")
            result = run("bash", "-c", script, cwd=self.dir)
            self.assertEqual(result.returncode, 0, result.stderr)
            return set(result.stdout.split())

        self.assertEqual(complete("quarn", ""), set(COMMANDS) | {"--help", "--version"})
        for command in COMMANDS:
            self.assertLessEqual(self.options_of(command), complete("quarn", command, "-"), command)
        self.assertEqual(complete("quarn", "create", "--mode", "s"), {"serpent", "serpent-twofish-aes"})


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", required=True)
    parser.add_argument("--windows", required=True)
    args, rest = parser.parse_known_args()
    NATIVE, WINDOWS = args.native, args.windows
    if not (pathlib.Path(WINDOWS) / "sfx" / "win32" / "quarn-sfx.exe").is_file() or not shutil.which("dpkg-deb"):
        print("no Windows build beside this tree, or no dpkg-deb: nothing to package")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
