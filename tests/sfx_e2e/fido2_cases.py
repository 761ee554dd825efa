"""The FIDO2 cases of the self-extractor's end-to-end suite (test_sfx.py).

Wine has no webauthn.dll, so each case copies the tests' stand-in (built from
tests/fido2/webauthn_standin/, backed by the software key) into the suite's
own prefix's System32, where the programs load it from, and removes it
afterwards. QUARN_SOFT_KEYS tells the stand-in which key it holds and what
API version it reports. The archives are made by the Windows quarn.exe with
--fido2 through the same stand-in."""

import os
import shutil
import subprocess

KEYS = "QUARN_SOFT_KEYS"
FIRST_TOUCH = "Dotknij klucza FIDO2 (1 z 2): klucz utworzy poświadczenie dla tego archiwum."
SECOND_TOUCH = "Dotknij klucza FIDO2 jeszcze raz (2 z 2): klucz obliczy sekret tego archiwum."
UNSUPPORTED = "Nieobsługiwane: klucz FIDO2 z hmac-secret wymaga Windows 10 21H1 lub nowszego"
FACTOR = "Archiwum wymaga drugiego składnika: "
SECOND_FACTOR_IN_WINDOW = "To archiwum wymaga pliku-klucza albo klucza FIDO2 - otwórz je programem Quarn."
CANCELLED = "Przerwano."


def add_arguments(parser):
    parser.add_argument("--webauthn", help="the tests' stand-in webauthn.dll")
    parser.add_argument("--native-quarn", help="quarn_with_soft_key of the native build, for the libfido2 side")


def resolve_arguments(args):
    for name in ("webauthn", "native_quarn"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))


def register(test_class, suite):
    """Adds the cases to `test_class`; `suite` is test_sfx's module (its session, arguments and constants)."""

    def use_standin(test, keys=""):
        if not suite.ARGS.webauthn:
            test.skipTest("no stand-in webauthn.dll given (--webauthn)")
        target = suite.SESSION.prefix / "drive_c" / "windows" / "system32" / "webauthn.dll"
        shutil.copyfile(suite.ARGS.webauthn, target)
        test.addCleanup(target.unlink, missing_ok=True)
        set_keys(test, keys)

    def set_keys(test, keys):
        previous = suite.SESSION.env.get(KEYS)
        suite.SESSION.env[KEYS] = keys

        def restore():
            if previous is None:
                suite.SESSION.env.pop(KEYS, None)
            else:
                suite.SESSION.env[KEYS] = previous
        test.addCleanup(restore)

    def create(test, name="umowa.exe"):
        """quarn.exe create --fido2 --sfx: (program, files, exit status, stderr)."""
        root, files = test.make_inputs()
        (test.dir / "haslo.txt").write_text(suite.PASSWORD, encoding="utf-8")
        made = suite.SESSION.wine([suite.ARGS.quarn, "create", "-o", name, "--quiet", "--fido2", "--sfx", suite.ARGS.sfx,
                                   "--password-file", "haslo.txt", "--argon2-memory", "8", "--argon2-passes", "1",
                                   "--argon2-lanes", "1", root.name], cwd=test.dir)
        return test.dir / name, files, made.returncode, made.stderr.decode("utf-8", "replace").replace("\r", "")

    def quarn_extract(test, program):
        done = suite.SESSION.wine([suite.ARGS.quarn, "extract", "-q", "-o", "cli-out", "--password-file", "haslo.txt",
                                   program.name], cwd=test.dir)
        return done.returncode, done.stderr.decode("utf-8", "replace").replace("\r", "").rstrip("\n").splitlines()[-1:]

    def submit_password(test):
        window = test.wait_main()
        test.click(test.child(window, suite.IDC_PASSWORD)["rect"])
        test.type_text(suite.PASSWORD)
        test.click(test.child(window, suite.IDC_EXTRACT)["rect"])
        return test.wait_box()

    def assert_window_stays(test, box, text):
        test.assertEqual(test.box_text(box), text)
        window = test.main_window(suite.SESSION.windows())
        test.assertEqual(test.child(window, suite.IDC_STATUS)["text"], text)
        test.assertTrue(test.child(window, suite.IDC_EXTRACT)["enabled"])
        test.close_box(box)
        test.assertIsNone(test.process.poll(), "the program ended after a failure")
        test.click(test.child(window, suite.IDC_CANCEL)["rect"])
        test.assertEqual(test.wait_exit(), 0)

    def test_fido2_archive_made_by_quarn_exe_extracts(test):
        use_standin(test)
        program, files, status, err = create(test)
        test.assertEqual(status, 0, err)
        # (Wine may put notes of its own before them.)
        test.assertEqual(err.splitlines()[-2:], [FIRST_TOUCH, SECOND_TOUCH])
        info = suite.SESSION.wine([suite.ARGS.quarn, "info", program.name], cwd=test.dir)
        test.assertIn("Drugi składnik: klucz FIDO2 (quarn.invalid)", info.stdout.decode("utf-8"))
        test.start(program)
        box = submit_password(test)
        destination = test.windows_path(test.dir / "umowa")
        test.assertEqual(test.box_text(box), f"Rozpakowano 3 plików do:\n{destination}\n\n"
                                             "Integralność potwierdzona: SHA-256 zgodne dla 3 plików.")
        suite.SESSION.screenshot("fido2-success")
        test.close_box(box)
        test.assertEqual(test.wait_exit(), 0)
        test.assert_extracted(test.dir / "umowa", files)

    def test_fido2_refusal_is_cancelled_and_the_window_stays(test):
        use_standin(test)
        program, _, status, err = create(test)
        test.assertEqual(status, 0, err)
        set_keys(test, "refuse")
        test.assertEqual(quarn_extract(test, program), (1, [CANCELLED]))
        test.start(program)
        box = submit_password(test)
        suite.SESSION.screenshot("fido2-refused")
        assert_window_stays(test, box, CANCELLED)
        test.assertFalse((test.dir / "umowa").exists())

    def test_fido2_other_key_is_refused(test):
        use_standin(test, "secret=pierwszy")
        program, _, status, err = create(test)
        test.assertEqual(status, 0, err)
        set_keys(test, "secret=drugi")
        test.assertEqual(quarn_extract(test, program),
                         (1, [FACTOR + "nieprawidłowe hasło albo inny plik-klucz / klucz FIDO2"]))
        # A key that does not know the credential: the system's text for the stand-in's code.
        set_keys(test, "identity=obcy")
        status, last = quarn_extract(test, program)
        test.assertEqual(status, 1)
        test.assertRegex(last[0], r"^" + FACTOR + r"klucz FIDO2: .* \(0x80090011\)$")
        # A key of the same identity without the extension answers without an output.
        set_keys(test, "secret=pierwszy,no-hmac-secret")
        test.assertEqual(quarn_extract(test, program),
                         (1, [FACTOR + "ten klucz FIDO2 nie obsluguje rozszerzenia hmac-secret"]))
        set_keys(test, "secret=drugi")
        test.start(program)
        assert_window_stays(test, submit_password(test), SECOND_FACTOR_IN_WINDOW)

    def test_fido2_api_version_3_is_unsupported(test):
        use_standin(test)
        program, _, status, err = create(test)
        test.assertEqual(status, 0, err)
        set_keys(test, "api=3")
        test.start(program)
        assert_window_stays(test, submit_password(test), UNSUPPORTED)
        # quarn.exe says the same when making such an archive, and leaves nothing.
        _, _, status, err = create(test, "nowe.exe")
        test.assertEqual((status, err.splitlines()[-1:]), (1, [UNSUPPORTED]))
        test.assertFalse((test.dir / "nowe.exe").exists())

    def test_fido2_quarn_exe_create_failures(test):
        use_standin(test)
        for keys, text in (("refuse", CANCELLED),
                           ("no-hmac-secret", FACTOR + "ten klucz FIDO2 nie obsluguje rozszerzenia hmac-secret")):
            with test.subTest(keys=keys):
                set_keys(test, keys)
                name = keys + ".exe"
                _, _, status, err = create(test, name)
                test.assertEqual((status, err.splitlines()[-1:]), (1, [text]))
                test.assertFalse((test.dir / name).exists())
                shutil.rmtree(test.dir / "wejscie")

    def test_fido2_same_key_opens_it_on_both_paths(test):
        """An archive made through libfido2 opens in the self-extractor (WebAuthn), and one made through
        WebAuthn opens in quarn on Linux (libfido2), with the same software key on both sides."""
        native = suite.ARGS.native_quarn
        if not native or not os.path.exists(native):
            test.skipTest("no native quarn_with_soft_key (build the native tree first)")
        use_standin(test, "secret=beide")
        root, files = test.make_inputs()
        (test.dir / "haslo.txt").write_text(suite.PASSWORD, encoding="utf-8")
        env = dict(os.environ, QUARN_SOFT_KEYS="secret=beide")
        made = subprocess.run([native, "create", "-q", "-o", "linux.exe", "--fido2", "--sfx", suite.ARGS.sfx,
                               "--password-file", "haslo.txt", "--argon2-memory", "8", "--argon2-passes", "1",
                               "--argon2-lanes", "1", root.name], cwd=test.dir, env=env, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=60)
        test.assertEqual(made.returncode, 0, made.stderr)
        test.start(test.dir / "linux.exe")
        box = submit_password(test)
        test.assertTrue(test.box_text(box).startswith("Rozpakowano 3 plików do:\n"), test.box_text(box))
        test.close_box(box)
        test.assertEqual(test.wait_exit(), 0)
        test.assert_extracted(test.dir / "linux", files)

        program, _, status, err = create(test, "windows.exe")
        test.assertEqual(status, 0, err)
        opened = subprocess.run([native, "extract", "-q", "-o", "natywnie", "--password-file", "haslo.txt",
                                 program.name], cwd=test.dir, env=env, capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=60)
        test.assertEqual(opened.returncode, 0, opened.stderr)
        test.assert_extracted(test.dir / "natywnie", files)

    for case in (test_fido2_archive_made_by_quarn_exe_extracts, test_fido2_same_key_opens_it_on_both_paths, test_fido2_refusal_is_cancelled_and_the_window_stays,
                 test_fido2_other_key_is_refused, test_fido2_api_version_3_is_unsupported,
                 test_fido2_quarn_exe_create_failures):
        setattr(test_class, case.__name__, case)
