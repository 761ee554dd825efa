#!/usr/bin/env python3
"""The self-extractor driven as a person would drive it, under Wine on Xvfb.

xdotool clicks and types on the X display; the texts, sizes, focus and
enabled states are read from the Wine side by quarn_sfx_probe (WM_GETTEXT
crosses processes), so every assertion is exact. The disk shows what was
extracted. Screenshots of every step land in the artifacts folder.

Usage: test_sfx.py --sfx quarn-sfx.exe --quarn quarn.exe --probe probe.exe
                   --runner scripts/wine-run.sh --artifacts DIR [unittest args]
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "cli"))
import quarn_format as qf  # noqa: E402
from cli_support import deep_entry, read_below  # noqa: E402
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fido2_cases  # noqa: E402

ARGS = None

TITLE = "Quarn - archiwum samorozpakowujące się"
INITIAL_STATUS = "Każdy plik zostanie sprawdzony (SHA-256) po rozpakowaniu."
WRONG_PASSWORD = "Nieprawidłowe hasło. Poproś nadawcę o nie ponownie."
NO_ARCHIVE = "Ten program nie zawiera archiwum Quarn."
NO_DESTINATION = "Podaj folder docelowy."
NO_PASSWORD = "Wpisz hasło otrzymane od nadawcy."
WORKING = "Sprawdzanie hasła i rozpakowywanie\u2026"
PASSWORD = "tajne-haslo-7"

# Libraries a program or the system libraries it uses may look for beside
# the program: none of them is a Known DLL.
PLANTED = ["bcrypt", "version", "uxtheme", "dwmapi", "cryptbase", "propsys", "profapi", "winmm", "dbghelp",
           "userenv", "wtsapi32", "oleacc", "cryptsp", "secur32", "wininet", "winhttp", "iphlpapi", "ntmarta",
           "windowscodecs", "comctl32", "webauthn", "shcore", "crypt32", "wintrust"]

IDC_DEST, IDC_BROWSE, IDC_PASSWORD, IDC_STATUS, IDC_EXTRACT, IDC_CANCEL = 101, 102, 103, 104, 105, 106
IDC_PROGRESS = 107
PROGRESS_RANGE = 10000
STOPPING = "Przerywanie\u2026"
STOP_GRACE = 5  # seconds after "Anuluj" before the program ends without waiting for the job

# (class, id, text or None for "checked apart", x, y, width, height) at 96 DPI.
def expected_children(encrypted, description, destination):
    s = 158 if encrypted else 102
    rows = [
        ("Static", 0, description, 16, 16, 520, 20),
        ("Static", 0, "Rozpakuj do folderu:", 16, 46, 520, 18),
        ("Edit", IDC_DEST, destination, 16, 66, 470, 24),
        ("Button", IDC_BROWSE, "\u2026", 492, 66, 36, 24),
    ]
    if encrypted:
        rows += [
            ("Static", 0, "Hasło (otrzymane od nadawcy innym kanałem):", 16, 102, 520, 18),
            ("Edit", IDC_PASSWORD, "", 16, 122, 512, 24),
        ]
    rows += [
        ("Static", IDC_STATUS, INITIAL_STATUS, 16, s, 520, 20),
        ("Button", IDC_CANCEL, "Anuluj", 16, s + 32, 110, 30),
        ("Button", IDC_EXTRACT, "Rozpakuj", 418, s + 32, 110, 30),
    ]
    return rows


# The progress bar, hidden until a job runs: between the buttons, centred on their row.
def expected_progress_bar(encrypted):
    return ("msctls_progress32", IDC_PROGRESS, "", 142, (158 if encrypted else 102) + 32 + 7, 260, 16)


def scale(value, dpi):
    """A 96-DPI coordinate at `dpi`, rounded to the nearest pixel."""
    return (value * dpi + 48) // 96


def free_display(first=93):
    for n in range(first, first + 50):
        if not Path(f"/tmp/.X{n}-lock").exists() and not Path(f"/tmp/.X11-unix/X{n}").exists():
            return n
    raise RuntimeError("no free X display number")


class Session:
    """One Xvfb display and one Wine prefix for the whole suite."""

    def __init__(self):
        for tool in ("Xvfb", "xdotool", "import", "wine", "wineserver"):
            if not shutil.which(tool):
                raise RuntimeError(f"{tool} is missing: run scripts/install-deps.sh")
        self.work = Path(tempfile.mkdtemp(prefix="quarn-sfx-e2e."))
        self.prefix = Path(os.environ.get("QUARN_SFX_E2E_PREFIX") or (self.work / "prefix"))
        number = os.environ.get("QUARN_SFX_E2E_DISPLAY") or str(free_display())
        self.display = ":" + number.lstrip(":")
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env = dict(os.environ, QUARN_WINEPREFIX=str(self.prefix), QUARN_WINE_DISPLAY=self.display,
                        DISPLAY=self.display)
        deadline = time.time() + 20
        while subprocess.run(["xdotool", "getmouselocation"], env=self.env, capture_output=True).returncode:
            if time.time() > deadline:
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.2)
        self.artifacts = Path(ARGS.artifacts)
        if self.artifacts.exists():
            shutil.rmtree(self.artifacts)
        self.artifacts.mkdir(parents=True)
        # The prefix is made here once (wineboot); a persistent wineserver
        # spares every later program its start-up.
        self.wine([ARGS.probe], check=True)
        subprocess.run(["wineserver", "-p"], env=dict(self.env, WINEPREFIX=str(self.prefix)))

    def close(self):
        subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=str(self.prefix)),
                       capture_output=True)
        self.xvfb.terminate()
        self.xvfb.wait(timeout=10)
        shutil.rmtree(self.work, ignore_errors=True)

    def wine(self, args, cwd=None, check=False, env=None, during=None):
        """`during` is called once while the program runs."""
        # Output goes through files, not pipes: Wine's helper processes
        # (wineserver, the desktop) may inherit the handles and would keep a
        # pipe open long after the program ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            command = [ARGS.runner, *map(str, args)]
            with subprocess.Popen(command, cwd=cwd, env=dict(self.env, **(env or {})), stdout=out, stderr=err) as running:
                if during:
                    during()
                try:
                    running.wait(timeout=120)
                except subprocess.TimeoutExpired:
                    running.kill()
                    raise
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(command, running.returncode, out.read(), err.read())
        if check and result.returncode:
            raise RuntimeError(f"{args[0]} failed ({result.returncode:#x}): {result.stderr.decode('utf-8', 'replace')}")
        return result

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=self.env, check=True, capture_output=True)

    def screenshot(self, name, rect=None):
        path = self.artifacts / f"{name}.png"
        command = ["import", "-window", "root"]
        if rect:
            left, top, right, bottom = rect
            command += ["-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage"]
        subprocess.run(command + [str(path)], env=self.env, check=True, capture_output=True)
        return path

    def windows(self, measure=False):
        """With `measure`, every child of the main window has "text_size"."""
        # Looking changes nothing, so a look that Wine failed to run (exit 1,
        # nothing said, seen once under load) is simply taken again.
        for attempt in range(3):
            result = self.wine([ARGS.probe, *(["--measure"] if measure else [])], check=attempt == 2)
            if result.returncode == 0:
                return json.loads(result.stdout.decode("utf-8"))
            time.sleep(0.2)

    def watch_job(self, during=None):
        """[(seconds, what windows() with `measure` returns)] every 50 ms while a
        job runs, consecutive equal looks once; the last one shows its end."""
        out = self.wine([ARGS.probe, "--measure", "--watch"], check=True, during=during).stdout
        return [(look["ms"] / 1000, look["windows"]) for look in json.loads(out.decode("utf-8"))]

    def set_dpi(self, dpi):
        """The display scaling for programs started from now on."""
        self.wine(["reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                   "/d", str(dpi), "/f"], check=True)


SESSION = None
BIG_PROGRAM = None  # (program, {name: sha256}) made once by make_big_program
BIG_BLOCK = None
# The big program must take seconds to extract even on a fast machine: a look
# at the window is a program of its own under Wine and comes late under load.
BIG_FILE_SIZE = 50_000_000


def setUpModule():
    global SESSION
    SESSION = Session()


def tearDownModule():
    if SESSION:
        SESSION.close()


def signed_program_extracts_through_its_window(test):
    """Signed after `quarn create --sfx` (osslsigncode, a certificate made
    here and thrown away with the test's folder), the program still finds its
    archive and extracts it through its window."""
    program, files = test.make_program()
    cert, key = test.dir / "c.pem", test.dir / "k.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Quarn Test Signer", "-keyout", key, "-out", cert], check=True, capture_output=True)
    signed = test.dir / "umowa-podpisana.exe"
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Umowa", "-in", program,
                    "-out", signed], check=True, capture_output=True)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed], capture_output=True)
    test.assertEqual(verified.returncode, 0, verified.stdout.decode("utf-8", "replace"))
    info = SESSION.wine([ARGS.quarn, "info", signed.name], cwd=test.dir)
    test.assertEqual(info.returncode, 0, info.stderr.decode("utf-8", "replace"))
    test.assertIn("Podpis cyfrowy programu: jest (", info.stdout.decode("utf-8"))

    test.explorer_names.append("umowa-podpisana")
    test.start(signed)
    window = test.wait_main()
    destination = test.windows_path(test.dir / "umowa-podpisana")
    test.assertEqual(test.child(window, IDC_DEST)["text"], destination)
    test.click(test.child(window, IDC_PASSWORD)["rect"])
    test.type_text(PASSWORD)
    test.click(test.child(window, IDC_EXTRACT)["rect"])
    box = test.wait_box()
    test.assertEqual(test.box_text(box),
                     f"Rozpakowano 3 plików do:\n{destination}\n\n"
                     "Integralność potwierdzona: SHA-256 zgodne dla 3 plików.")
    test.close_box(box)
    test.assertEqual(test.wait_exit(), 0)
    test.assert_extracted(test.dir / "umowa-podpisana", files)


class SelfExtractorTest(unittest.TestCase):
    def setUp(self):
        self.dir = SESSION.work / self.id().split(".")[-1]
        self.dir.mkdir()
        self.process = None
        self.explorer_names = ["umowa", r"raport\.2024"]

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        # An Explorer window opened after a success goes with the test, so
        # that it cannot cover the next test's window.
        for name in self.explorer_names:
            subprocess.run(["xdotool", "search", "--name", f"^{name}$", "windowkill"], env=SESSION.env,
                           capture_output=True)

    # --- making the program -------------------------------------------------

    def make_inputs(self):
        files = {
            "umowa.txt": "Umowa o dzieło.\n".encode("utf-8"),
            "załączniki/zażółć gęślą jaźń.txt": "treść\n".encode("utf-8"),
            "załączniki/dane.bin": bytes((i * 7919) % 251 for i in range(300_000)),
        }
        root = self.dir / "wejscie"
        for name, data in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_bytes(data)
        return root, files

    def make_program(self, name="umowa.exe", encrypted=True, program=None):
        root, files = self.make_inputs()
        (self.dir / "haslo.txt").write_text(PASSWORD, encoding="utf-8")
        args = [ARGS.quarn, "create", "-o", name, "--quiet", "--sfx", program or ARGS.sfx,
                "--mode", "aes" if encrypted else "none",
                "--argon2-memory", "8", "--argon2-passes", "1", "--argon2-lanes", "1"]
        if encrypted:
            args += ["--password-file", "haslo.txt"]
        made = SESSION.wine(args + [root.name], cwd=self.dir)
        self.assertEqual(made.returncode, 0, made.stderr.decode("utf-8", "replace"))
        return self.dir / name, files

    # --- driving it ---------------------------------------------------------

    def start(self, program, env=None, stderr=subprocess.DEVNULL):
        self.process = subprocess.Popen([ARGS.runner, program.name], cwd=program.parent,
                                        env=dict(SESSION.env, **(env or {})),
                                        stdout=subprocess.DEVNULL, stderr=stderr)

    def wait_for(self, what, condition, timeout=60):
        deadline = time.time() + timeout
        while True:
            windows = SESSION.windows()
            found = condition(windows)
            if found:
                return found
            if self.process and self.process.poll() is not None:
                self.fail(f"the program ended (exit {self.process.returncode}) before {what}")
            if time.time() > deadline:
                SESSION.screenshot(f"{self.id().split('.')[-1]}-timeout")
                self.fail(f"timed out waiting for {what}; windows: {json.dumps(windows, ensure_ascii=False)}")
            time.sleep(0.3)

    @staticmethod
    def main_window(windows):
        return next((w for w in windows if w["class"] == "QuarnSfx"), None)

    @staticmethod
    def message_box(windows):
        return next((w for w in windows if w["class"] == "#32770" and w["title"] == "Quarn"), None)

    def wait_main(self):
        return self.wait_for("the main window", self.main_window)

    def wait_box(self):
        return self.wait_for("a message box", self.message_box)

    @staticmethod
    def box_text(box):
        texts = [c["text"] for c in box["children"] if c["class"] == "Static" and c["text"]]
        return "\n".join(texts)

    @staticmethod
    def child(window, control_id):
        return next((c for c in window["children"] if c["id"] == control_id), None)

    def click(self, rect):
        left, top, right, bottom = rect
        SESSION.xdotool("mousemove", (left + right) // 2, (top + bottom) // 2, "click", "1")
        time.sleep(0.2)

    def type_text(self, text):
        SESSION.xdotool("type", "--delay", "25", text)
        time.sleep(0.2)

    def key(self, *keys):
        SESSION.xdotool("key", "--delay", "40", *keys)
        time.sleep(0.2)

    def close_box(self, box):
        ok = next(c for c in box["children"] if c["class"] == "Button")
        self.assertEqual(ok["text"], "OK")
        self.click(ok["rect"])
        self.wait_for("the message box to close", lambda ws: self.message_box(ws) is None)

    def wait_exit(self):
        try:
            return self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.fail("the program did not end")

    def assert_extracted(self, folder, files):
        self.assertTrue(folder.is_dir(), f"{folder} was not created")
        # The archive holds the input folder itself.
        found = sorted(str(p.relative_to(folder / "wejscie")) for p in folder.rglob("*") if p.is_file())
        self.assertEqual(found, sorted(files))
        for name, data in files.items():
            self.assertEqual(hashlib.sha256((folder / "wejscie" / name).read_bytes()).hexdigest(),
                             hashlib.sha256(data).hexdigest(), name)

    def assert_layout(self, window, encrypted, description, destination, dpi=96):
        left, top, right, bottom = window["rect"]
        if dpi == 96:
            self.assertEqual((right - left, bottom - top), (560, 300 if encrypted else 250))
        self.assertEqual(window["title"], TITLE)
        self.assertEqual(window["style"] & 0x00CF0000, 0x00CA0000)
        self.assertTrue(window["ex_style"] & 0x00010000, "WS_EX_CONTROLPARENT")
        children = window["children"]
        rows = expected_children(encrypted, description, destination) + [expected_progress_bar(encrypted)]
        self.assertEqual(len(children), len(rows))
        ox, oy = window["client"][:2]
        for got, (cls, cid, text, x, y, w, h) in zip(children, rows):
            with self.subTest(control=text, dpi=dpi):
                l, t, r, b = got["rect"]
                self.assertEqual((got["class"], got["id"], got["text"]), (cls, cid, text))
                # Edges are scaled, so that what lines up at 96 DPI lines up at every DPI.
                self.assertEqual((l - ox, t - oy, r - ox, b - oy),
                                 (scale(x, dpi), scale(y, dpi), scale(x + w, dpi), scale(y + h, dpi)))
                self.assertEqual(got["visible"], cid != IDC_PROGRESS)
                self.assertTrue(got["enabled"])

    def assert_texts_fit(self, window):
        """Every child's text, measured in the child's own font, fits inside it."""
        for child in window["children"]:
            if child["class"] == "msctls_progress32":
                continue
            with self.subTest(control=child["text"]):
                size = child["text_size"]
                self.assertIsNotNone(size, "the probe could not measure the text")
                left, top, right, bottom = child["rect"]
                width, height = right - left, bottom - top
                # A button has edges; an edit box a border, and it scrolls a
                # longer text, so only its height counts.
                room = {"Static": (0, 0), "Edit": (None, 2), "Button": (8, 4)}[child["class"]]
                if room[0] is not None:
                    self.assertLessEqual(size["width"] + room[0], width)
                self.assertLessEqual(size["height"] + room[1], height)

    def windows_path(self, path):
        return "Z:" + str(path).replace("/", "\\")

    # --- the cases ----------------------------------------------------------

    def test_right_password_extracts_verifies_reports_and_ends(self):
        program, files = self.make_program()
        self.start(program)
        window = self.wait_main()
        destination = self.windows_path(self.dir / "umowa")
        self.assert_layout(window, True, "Archiwum: umowa.exe  \u00b7  AES-256-GCM", destination)
        self.assertEqual(window["focus_id"], IDC_PASSWORD)
        # The window put its focus in the password box; the click gives the
        # X display's keyboard to the window too (there is no window manager).
        self.click(self.child(window, IDC_PASSWORD)["rect"])
        self.type_text(PASSWORD)
        SESSION.screenshot("dialog", window["rect"])
        self.click(self.child(window, IDC_EXTRACT)["rect"])
        box = self.wait_box()
        self.assertEqual(self.box_text(box),
                         f"Rozpakowano 3 plików do:\n{destination}\n\n"
                         "Integralność potwierdzona: SHA-256 zgodne dla 3 plików.")
        window = self.main_window(SESSION.windows())
        self.assertEqual(self.child(window, IDC_STATUS)["text"], "Gotowe.")
        left = min(window["rect"][0], box["rect"][0])
        top = min(window["rect"][1], box["rect"][1])
        SESSION.screenshot("success", (left, top, max(window["rect"][2], box["rect"][2]),
                                       max(window["rect"][3], box["rect"][3])))
        self.close_box(box)
        self.assertEqual(self.wait_exit(), 0)
        self.assert_extracted(self.dir / "umowa", files)
        # Explorer was opened on the folder: its window is named after it.
        found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^umowa$"],
                               env=SESSION.env, capture_output=True, timeout=30)
        self.assertEqual(found.returncode, 0, "no Explorer window on the destination")

    def test_wrong_password_keeps_the_window_then_the_right_one_succeeds(self):
        program, files = self.make_program()
        self.start(program)
        window = self.wait_main()
        self.click(self.child(window, IDC_PASSWORD)["rect"])
        self.type_text("zle-haslo")
        self.click(self.child(window, IDC_EXTRACT)["rect"])
        box = self.wait_box()
        self.assertEqual(self.box_text(box), WRONG_PASSWORD)
        SESSION.screenshot("wrong-password")
        window = self.main_window(SESSION.windows())
        self.assertEqual(self.child(window, IDC_STATUS)["text"], WRONG_PASSWORD)
        self.assertEqual(self.child(window, IDC_PASSWORD)["text"], "")
        self.assertTrue(self.child(window, IDC_EXTRACT)["enabled"])
        self.close_box(box)
        self.assertIsNone(self.process.poll(), "the program ended after a wrong password")

        self.click(self.child(window, IDC_PASSWORD)["rect"])
        self.type_text(PASSWORD)
        self.click(self.child(window, IDC_EXTRACT)["rect"])
        box = self.wait_box()
        self.assertTrue(self.box_text(box).startswith("Rozpakowano 3 plików do:\n"), self.box_text(box))
        self.close_box(box)
        self.assertEqual(self.wait_exit(), 0)
        self.assert_extracted(self.dir / "umowa", files)

    def test_enter_in_the_password_box_presses_rozpakuj(self):
        program, files = self.make_program(name="raport.2024.exe")
        self.start(program)
        window = self.wait_main()
        self.assertEqual(self.child(window, IDC_DEST)["text"], self.windows_path(self.dir / "raport.2024"))
        self.click(self.child(window, IDC_PASSWORD)["rect"])
        self.type_text(PASSWORD)
        self.key("Return")
        box = self.wait_box()
        self.assertEqual(self.box_text(box),
                         f"Rozpakowano 3 plików do:\n{self.windows_path(self.dir / 'raport.2024')}\n\n"
                         "Integralność potwierdzona: SHA-256 zgodne dla 3 plików.")
        self.close_box(box)
        self.assertEqual(self.wait_exit(), 0)
        self.assert_extracted(self.dir / "raport.2024", files)

    def test_unencrypted_archive_has_no_password_controls(self):
        program, files = self.make_program(encrypted=False)
        self.start(program)
        window = self.wait_main()
        self.assert_layout(window, False, "Archiwum: umowa.exe  \u00b7  bez szyfrowania",
                           self.windows_path(self.dir / "umowa"))
        self.assertEqual(window["focus_id"], IDC_EXTRACT)
        SESSION.screenshot("unencrypted", window["rect"])
        # "Anuluj" ends the program without extracting anything.
        self.click(self.child(window, IDC_CANCEL)["rect"])
        self.assertEqual(self.wait_exit(), 0)
        self.assertFalse((self.dir / "umowa").exists())

    def test_program_with_nothing_attached_shows_only_its_message(self):
        bare = self.dir / "pusty.exe"
        shutil.copyfile(ARGS.sfx, bare)
        self.start(bare)
        box = self.wait_box()
        windows = SESSION.windows()
        self.assertEqual(len(windows), 1, windows)
        self.assertEqual(self.box_text(box), NO_ARCHIVE)
        SESSION.screenshot("nothing-attached", box["rect"])
        self.close_box(box)
        self.assertEqual(self.wait_exit(), 0)
        self.assertEqual(SESSION.windows(), [])

    def test_empty_destination_and_empty_password_warn_and_start_nothing(self):
        program, _ = self.make_program()
        self.start(program)
        window = self.wait_main()
        dest = self.child(window, IDC_DEST)
        # Replace the destination with spaces and a tab only.
        self.click(dest["rect"])
        self.key("End", "shift+Home", "BackSpace")
        self.type_text("   ")
        self.key("Tab")  # to the picker; back to the box keeps its text
        self.click(self.child(window, IDC_PASSWORD)["rect"])
        self.type_text("cokolwiek")
        self.click(self.child(window, IDC_EXTRACT)["rect"])
        box = self.wait_box()
        self.assertEqual(self.box_text(box), NO_DESTINATION)
        window = self.main_window(SESSION.windows())
        self.assertEqual(self.child(window, IDC_DEST)["text"], "   ")  # the box is not trimmed
        self.assertEqual(self.child(window, IDC_STATUS)["text"], INITIAL_STATUS)
        self.assertTrue(self.child(window, IDC_EXTRACT)["enabled"])
        self.close_box(box)

        # A destination again, and the password box emptied.
        self.click(dest["rect"])
        self.key("End", "shift+Home", "BackSpace")
        self.type_text("C:\\cel")
        self.click(self.child(window, IDC_PASSWORD)["rect"])
        self.key("End", "shift+Home", "BackSpace")
        self.click(self.child(window, IDC_EXTRACT)["rect"])
        box = self.wait_box()
        self.assertEqual(self.box_text(box), NO_PASSWORD)
        window = self.main_window(SESSION.windows())
        self.assertEqual(self.child(window, IDC_STATUS)["text"], INITIAL_STATUS)
        self.close_box(box)
        self.assertIsNone(self.process.poll())
        self.assertFalse((SESSION.prefix / "drive_c" / "cel").exists())
        self.assertFalse((self.dir / "umowa").exists())
        self.click(self.child(window, IDC_CANCEL)["rect"])
        self.assertEqual(self.wait_exit(), 0)

    def test_libraries_planted_beside_the_program_are_not_loaded(self):
        program, files = self.make_program()
        for name in PLANTED:
            shutil.copyfile(ARGS.marker, self.dir / f"{name}.dll")
        # Wine prefers its own libraries; this makes it look beside the
        # program first, as Windows does for names that are not Known DLLs.
        native_first = {"QUARN_WINEDLLOVERRIDES": ";".join(f"{name}=n,b" for name in PLANTED)}

        def loaded():
            return sorted(p.name[:-len(".dll.loaded")] for p in self.dir.glob("*.dll.loaded"))

        # The control, unprotected, loads the markers: they work.
        shutil.copyfile(ARGS.control, self.dir / "control.exe")
        SESSION.wine([self.dir / "control.exe", "version.dll", "bcrypt.dll"], cwd=self.dir, env=native_first)
        self.assertEqual(loaded(), ["bcrypt", "version"])
        for mark in self.dir.glob("*.loaded"):
            mark.unlink()

        trace = self.dir / "loader-trace.txt"
        with open(trace, "wb") as trace_file:
            self.start(program, env=dict(native_first, QUARN_WINEDEBUG="+loaddll"), stderr=trace_file)
        try:
            window = self.wait_main()
        except AssertionError as failure:
            self.fail(f"{failure}; planted libraries loaded: {loaded()}\n{self.planted_lines(trace)}")
        self.click(self.child(window, IDC_PASSWORD)["rect"])
        self.type_text(PASSWORD)
        self.click(self.child(window, IDC_EXTRACT)["rect"])
        box = self.wait_box()
        self.assertTrue(self.box_text(box).startswith("Rozpakowano 3 plików do:\n"), self.box_text(box))
        self.close_box(box)
        self.assertEqual(self.wait_exit(), 0)
        self.assert_extracted(self.dir / "umowa", files)
        self.assertEqual(loaded(), [], self.planted_lines(trace))

        # The command-line tool beside the same libraries.
        shutil.copyfile(ARGS.quarn, self.dir / "quarn.exe")
        tested = SESSION.wine([self.dir / "quarn.exe", "test", "--password-file", "haslo.txt", program.name],
                              cwd=self.dir, env=native_first)
        self.assertEqual(tested.returncode, 0, tested.stderr.decode("utf-8", "replace"))
        self.assertEqual(loaded(), [])

    @staticmethod
    def planted_lines(trace):
        """The loader's lines about the planted names: where Wine took each from."""
        lines = trace.read_text("utf-8", "replace").splitlines()
        return "Wine's loader:\n" + "\n".join(
            line for line in lines if any(f"{name}.dll" in line.lower() for name in PLANTED))
    test_signed_program_extracts_through_its_window = signed_program_extracts_through_its_window

    def test_quarn_create_sfx_auto_uses_the_built_program(self):
        program, _ = self.make_program(program="auto")
        self.assertEqual(program.read_bytes()[:len(Path(ARGS.sfx).read_bytes())], Path(ARGS.sfx).read_bytes())
        info = SESSION.wine([ARGS.quarn, "info", program.name], cwd=self.dir)
        self.assertEqual(info.returncode, 0)
        # 0-7 zero bytes after the program end the file on a multiple of 8.
        sfx_size = Path(ARGS.sfx).stat().st_size
        self.assertEqual(program.stat().st_size % 8, 0)
        start = int(re.search(r"Program samorozpakowujący: archiwum od bajtu (\d+)\n",
                              info.stdout.decode("utf-8")).group(1))
        self.assertTrue(sfx_size <= start < sfx_size + 8, start)

    def test_full_paths_beyond_260_characters_extract_and_show_plainly(self):
        # Written one name at a time below the destination, so Linux's
        # PATH_MAX does not bound these under Wine (see the CLI's case).
        for total in (300, 4000):
            with self.subTest(total):
                name = f"gleboko-{total}"
                self.explorer_names.append(name)
                destination = self.windows_path(self.dir / name)
                entry = deep_entry(destination, total)
                program = self.dir / f"{name}.exe"
                program.write_bytes(Path(ARGS.sfx).read_bytes() + qf.plain_archive([(entry, b"tresc")]))
                self.start(program)
                window = self.wait_main()
                self.assertEqual(self.child(window, IDC_DEST)["text"], destination)
                self.click(self.child(window, IDC_EXTRACT)["rect"])
                box = self.wait_box()
                self.assertEqual(self.box_text(box),
                                 f"Rozpakowano 1 plików do:\n{destination}\n\n"
                                 "Integralność potwierdzona: SHA-256 zgodne dla 1 plików.")
                texts = [c["text"] for c in self.main_window(SESSION.windows())["children"]]
                self.assertFalse([t for t in texts if "\\\\?\\" in t], texts)
                self.close_box(box)
                self.assertEqual(self.wait_exit(), 0)
                self.assertEqual(read_below(self.dir / name, entry), b"tresc")

    # --- display scaling, progress and stopping ---------------------------

    def test_window_follows_the_display_scaling_and_every_text_fits(self):
        program, _ = self.make_program()
        description = "Archiwum: umowa.exe  \u00b7  AES-256-GCM"
        destination = self.windows_path(self.dir / "umowa")
        client_at_96 = None
        try:
            for dpi in (96, 144, 192):
                SESSION.set_dpi(dpi)
                self.start(program)
                self.wait_main()
                window = self.main_window(SESSION.windows(measure=True))
                self.assert_layout(window, True, description, destination, dpi)
                self.assert_texts_fit(window)
                cl, ct, cr, cb = window["client"]
                if dpi == 96:
                    client_at_96 = (cr - cl, cb - ct)
                # The client area scales with the children; the frame is the system's.
                self.assertEqual((cr - cl, cb - ct), tuple(scale(v, dpi) for v in client_at_96), f"{dpi} DPI")
                self.click(self.child(window, IDC_PASSWORD)["rect"])
                self.type_text(PASSWORD)
                SESSION.screenshot(f"dialog-{dpi}dpi", window["rect"])
                self.click(self.child(window, IDC_CANCEL)["rect"])
                self.assertEqual(self.wait_exit(), 0)
        finally:
            SESSION.set_dpi(96)
        self.assertFalse((self.dir / "umowa").exists())

    @staticmethod
    def big_file(i):
        """The bytes of file i of the big program: its number, then random bytes
        shared by all, made again at will."""
        global BIG_BLOCK
        if BIG_BLOCK is None:
            BIG_BLOCK = random.Random(0).randbytes(BIG_FILE_SIZE)
        head = f"plik {i:02d}\n".encode()
        return head + BIG_BLOCK[:BIG_FILE_SIZE - len(head)]

    def make_big_program(self):
        """24 files of 50 MB of random bytes in the slowest mode, stored, with a
        fast key derivation: long enough to watch. Made once; each test gets a link."""
        global BIG_PROGRAM
        if BIG_PROGRAM is None:
            folder = SESSION.work / "duze"
            root = folder / "duze"
            root.mkdir(parents=True)
            digests = {}
            for i in range(24):
                data = self.big_file(i)
                (root / f"plik-{i:02d}.bin").write_bytes(data)
                digests[f"plik-{i:02d}.bin"] = hashlib.sha256(data).hexdigest()
            (folder / "haslo.txt").write_text(PASSWORD, encoding="utf-8")
            made = SESSION.wine([ARGS.quarn, "create", "-o", "duze.exe", "--quiet", "--sfx", ARGS.sfx,
                                 "--mode", "serpent-twofish-aes", "--level", "0", "--password-file", "haslo.txt",
                                 "--argon2-memory", "8", "--argon2-passes", "1", "--argon2-lanes", "1", "duze"],
                                cwd=folder)
            self.assertEqual(made.returncode, 0, made.stderr.decode("utf-8", "replace"))
            shutil.rmtree(root)
            BIG_PROGRAM = (folder / "duze.exe", digests)
        program = self.dir / "duze.exe"
        os.link(BIG_PROGRAM[0], program)
        return program, BIG_PROGRAM[1]

    def start_big_job(self):
        program, digests = self.make_big_program()
        self.start(program)
        window = self.wait_main()
        self.assertFalse(self.child(window, IDC_PROGRESS)["visible"])
        self.click(self.child(window, IDC_PASSWORD)["rect"])
        self.type_text(PASSWORD)
        self.click(self.child(window, IDC_EXTRACT)["rect"])
        return window, digests

    def test_long_job_shows_a_progress_bar_that_reaches_the_end(self):
        self.explorer_names.append("duze")
        window, digests = self.start_big_job()
        total = "1,2 GB"
        line = re.compile(r"Rozpakowywanie: (\d+) % \((.+) z " + total + r"\)(, zostało ok\. .+)?")
        seen = []  # (time, bar position, percent, with the time left)
        # A look at the window a moment into the job, for people to check.
        looks = SESSION.watch_job(during=lambda: (time.sleep(1), SESSION.screenshot("progress", window["rect"])))
        last = looks[-1][1]
        self.assertTrue(self.message_box(last) or self.child(self.main_window(last), IDC_STATUS)["text"] == "Gotowe.",
                        "the job did not end")
        for when, windows in looks:
            window = self.main_window(windows)
            bar, status = self.child(window, IDC_PROGRESS), self.child(window, IDC_STATUS)
            if self.message_box(windows) or status["text"] == "Gotowe.":
                break
            if not status["text"] and not seen and self.child(window, IDC_EXTRACT)["enabled"]:
                continue  # the click on Rozpakuj not handled yet
            if seen and self.child(window, IDC_EXTRACT)["enabled"]:
                break  # the job has ended: Rozpakuj comes back a moment before "Gotowe." 
            self.assertTrue(bar["visible"], "no progress bar while busy")
            self.assertFalse(self.child(window, IDC_EXTRACT)["enabled"])
            with self.subTest(status=status["text"]):
                self.assertLessEqual(status["text_size"]["width"], status["rect"][2] - status["rect"][0])
            found = line.fullmatch(status["text"])
            if found:
                self.assertEqual(bar["range"], [0, PROGRESS_RANGE])
                seen.append((when, bar["position"], int(found[1]), bool(found[3])))
            else:
                # Before the first byte: key derivation and the file list.
                self.assertEqual(status["text"], WORKING, "an unexpected status line")
        positions = [p for _, p, _, _ in seen]
        self.assertEqual(positions, sorted(positions))
        self.assertGreaterEqual(len({p for p in positions if 0 < p < PROGRESS_RANGE}), 2, seen)
        percents = [p for _, _, p, _ in seen]
        self.assertEqual(percents, sorted(percents))
        # Once bytes have flowed for a few seconds, the time left is shown.
        for when, _, percent, with_time_left in seen:
            if when - seen[0][0] > 2.5 and percent < 100:
                self.assertTrue(with_time_left, seen)

        box = self.wait_box()
        self.assertTrue(self.box_text(box).startswith("Rozpakowano 24 plików do:\n"), self.box_text(box))
        window = self.main_window(SESSION.windows())
        self.assertEqual(self.child(window, IDC_STATUS)["text"], "Gotowe.")
        bar = self.child(window, IDC_PROGRESS)
        self.assertTrue(bar["visible"])
        self.assertEqual(bar["position"], PROGRESS_RANGE)
        self.close_box(box)
        self.assertEqual(self.wait_exit(), 0)
        for name, digest in digests.items():
            self.assertEqual(hashlib.sha256((self.dir / "duze" / "duze" / name).read_bytes()).hexdigest(), digest)
        shutil.rmtree(self.dir / "duze")

    def test_anuluj_during_a_job_stops_it_between_files_and_ends(self):
        window, digests = self.start_big_job()
        self.wait_for("a tenth of the job", lambda ws: self.main_window(ws) and
                      self.child(self.main_window(ws), IDC_PROGRESS)["position"] >= PROGRESS_RANGE // 10)
        self.click(self.child(window, IDC_CANCEL)["rect"])
        pressed = time.time()
        SESSION.screenshot("stopping", window["rect"])
        # Unless it has ended already, the window says that it is stopping.
        stopping = self.main_window(SESSION.windows())
        if stopping and self.child(stopping, IDC_STATUS)["text"]:
            self.assertEqual(self.child(stopping, IDC_STATUS)["text"], STOPPING)
            self.assertFalse(self.child(stopping, IDC_CANCEL)["enabled"])
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.fail("the program did not end after Anuluj")
        # Before the grace period ran out: the job stopped, the program did not give up on it.
        self.assertLess(time.time() - pressed, STOP_GRACE)
        self.assertEqual(self.process.returncode, 0)

        # Files in archive order: complete and verified up to the stop, then at
        # most the one that was open (a true beginning of it), then nothing.
        folder = self.dir / "duze" / "duze"
        states = []
        for i, name in enumerate(sorted(digests)):
            path = folder / name
            if not path.exists():
                states.append("absent")
            elif hashlib.sha256(path.read_bytes()).hexdigest() == digests[name]:
                states.append("complete")
            else:
                written = path.read_bytes()
                self.assertEqual(written, self.big_file(i)[:len(written)], f"{name} is not a beginning of itself")
                states.append("partial")
        complete = states.index("absent") if "absent" in states else len(states)
        complete = min(complete, states.index("partial") if "partial" in states else complete)
        self.assertGreater(complete, 0, states)
        rest = states[complete:]
        self.assertIn("absent", rest, f"everything was extracted: {states}")
        self.assertEqual(rest[1:], ["absent"] * (len(rest) - 1), states)
        shutil.rmtree(self.dir / "duze")


fido2_cases.register(SelfExtractorTest, sys.modules[__name__])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("--sfx", "--quarn", "--probe", "--runner", "--artifacts", "--marker", "--control"):
        parser.add_argument(name, required=True)
    fido2_cases.add_arguments(parser)
    ARGS, rest = parser.parse_known_args()
    for name in ("sfx", "quarn", "probe", "runner", "artifacts", "marker", "control"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    fido2_cases.resolve_arguments(ARGS)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
