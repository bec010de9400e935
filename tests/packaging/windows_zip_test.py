#!/usr/bin/env python3
"""The Windows ZIP and its registration scripts, run under Wine: CPack builds
the ZIP, the test unpacks it into a folder whose name has spaces,
parentheses and an ampersand, and runs install.cmd and uninstall.cmd there as
a user would, then reads the registry with reg.exe.

Environment (from ctest): QUORVIA_BUILD_DIR, QUORVIA_SOURCE_DIR,
QUORVIA_VERSION, QUORVIA_CPACK, QUORVIA_RUNNER."""

import glob
import json
import os
import shutil
import tempfile
import unittest
import zipfile

import pkgtest

NAME = "com.quorvia.deviceinfo"
OTHER_NAME = "org.example.zip_test"
ZIP_FILES = ["host-manifest.json.in", "install.cmd", "quorvia-host.exe", "quorvia-manifest.exe",
             "quorvia-nm.exe", "uninstall.cmd"]


class Package(unittest.TestCase):
    """Shared set-up: one ZIP, unpacked once."""

    @classmethod
    def setUpClass(cls):
        cls.wine = pkgtest.Wine()
        cls.source = pkgtest.env("QUORVIA_SOURCE_DIR")
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-zip-")
        out = os.path.join(cls.tmp, "out")
        pkgtest.run([pkgtest.env("QUORVIA_CPACK"), "--config",
                     os.path.join(pkgtest.env("QUORVIA_BUILD_DIR"), "CPackConfig.cmake"), "-G", "ZIP", "-B", out],
                    timeout=300, check=0)
        zips = glob.glob(os.path.join(out, "*.zip"))
        if len(zips) != 1:
            raise AssertionError(f"expected one ZIP in {out}, found {zips}")
        cls.zip = zips[0]
        cls.top = f"quorvia-host-{pkgtest.env('QUORVIA_VERSION')}-win64"
        unpacked = os.path.join(cls.tmp, "Quorvia (x86) & Co")
        with zipfile.ZipFile(cls.zip) as z:
            z.extractall(unpacked)
        cls.folder = os.path.join(unpacked, cls.top)
        cls.win_folder = cls.wine.windows_path(cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)


class ZipContents(Package):
    def test_holds_the_programs_the_template_and_the_scripts(self):
        with zipfile.ZipFile(self.zip) as z:
            names = sorted(n for n in z.namelist() if not n.endswith("/"))
        self.assertEqual(names, [f"{self.top}/{f}" for f in ZIP_FILES])

    def test_scripts_have_crlf_line_ends(self):
        for script in ("install.cmd", "uninstall.cmd"):
            with self.subTest(script), open(os.path.join(self.folder, script), "rb") as f:
                text = f.read()
            self.assertGreater(text.count(b"\r\n"), 10)
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"))

    def test_template_is_the_one_the_linux_scripts_use(self):
        with open(os.path.join(self.folder, "host-manifest.json.in"), "rb") as f, \
                open(os.path.join(self.source, "packaging/manifest/host-manifest.json.in"), "rb") as g:
            self.assertEqual(f.read(), g.read())


class Registration(Package):
    def setUp(self):
        self.addCleanup(self.clean)

    def clean(self):
        for args in ([], ["--system"], ["--name", OTHER_NAME]):
            self.wine.cmd("uninstall.cmd", args, cwd=self.folder)

    # Run from their folder, as a user would after unpacking: cmd /c cannot
    # take a script path with an ampersand in it.
    def install(self, *args, check=0):
        return self.wine.cmd("install.cmd", list(args), check=check, cwd=self.folder)

    def uninstall(self, *args, check=0):
        return self.wine.cmd("uninstall.cmd", list(args), check=check, cwd=self.folder)

    def key(self, hive, browser, name=NAME):
        return f"{hive}\\{pkgtest.BROWSER_KEYS[browser]}\\{name}"

    def manifest(self, family, name=NAME):
        path = os.path.join(self.folder, f"{name}.{family}.json")
        with open(path) as f:
            return json.load(f)

    def manifest_win_path(self, family, name=NAME):
        return f"{self.win_folder}\\{name}.{family}.json"

    def test_per_user_install_registers_all_four_browsers_in_hkcu(self):
        out = self.install("--chrome-ids", pkgtest.CHROME_ID, "--firefox-ids", pkgtest.FIREFOX_ID).stdout
        for browser in pkgtest.BROWSER_KEYS:
            with self.subTest(browser):
                family = "firefox" if browser == "firefox" else "chrome"
                self.assertEqual(self.wine.reg_default(self.key("HKCU", browser)), self.manifest_win_path(family))
                self.assertFalse(self.wine.reg_exists(self.key("HKLM", browser)))
                self.assertIn(f"for {browser}", out)
        host = f"{self.win_folder}\\quorvia-host.exe"
        self.assertEqual(self.manifest("chrome"), {
            "name": NAME, "description": "Quorvia device information", "path": host, "type": "stdio",
            "allowed_origins": [f"chrome-extension://{pkgtest.CHROME_ID}/"]})
        self.assertEqual(self.manifest("firefox"), {
            "name": NAME, "description": "Quorvia device information", "path": host, "type": "stdio",
            "allowed_extensions": [pkgtest.FIREFOX_ID]})

    def test_the_registered_manifest_leads_to_a_host_that_answers(self):
        self.install("--chrome-ids", pkgtest.CHROME_ID)
        manifest_path = self.wine.unix_path(self.wine.reg_default(self.key("HKCU", "edge")))
        with open(manifest_path) as f:
            host = json.load(f)["path"]
        self.assertEqual(os.path.realpath(self.wine.unix_path(host)),
                         os.path.realpath(os.path.join(self.folder, "quorvia-host.exe")))
        nm = [pkgtest.env("QUORVIA_RUNNER"), os.path.join(self.folder, "quorvia-nm.exe")]
        pairs = pkgtest.host_document(nm, host, pkgtest.random_key(24))
        self.assertEqual([k for k, _ in pairs], pkgtest.DOCUMENT_KEYS)

    def test_system_install_registers_in_hklm_and_uninstall_removes_it(self):
        self.install("--system", "--chrome-ids", pkgtest.CHROME_ID, "--firefox-ids", pkgtest.FIREFOX_GUID)
        for browser in pkgtest.BROWSER_KEYS:
            with self.subTest(browser):
                family = "firefox" if browser == "firefox" else "chrome"
                self.assertEqual(self.wine.reg_default(self.key("HKLM", browser)), self.manifest_win_path(family))
                self.assertFalse(self.wine.reg_exists(self.key("HKCU", browser)))
        self.uninstall("--system")
        for browser in pkgtest.BROWSER_KEYS:
            self.assertFalse(self.wine.reg_exists(self.key("HKLM", browser)), browser)
        self.assertFalse(glob.glob(os.path.join(self.folder, "*.json")))

    def test_chrome_ids_alone_leave_firefox_unregistered(self):
        self.install("--chrome-ids", pkgtest.CHROME_ID)
        self.assertFalse(self.wine.reg_exists(self.key("HKCU", "firefox")))
        self.assertFalse(os.path.exists(os.path.join(self.folder, f"{NAME}.firefox.json")))
        self.assertTrue(self.wine.reg_exists(self.key("HKCU", "chrome")))

    def test_id_lists_with_commas_quoted_or_not(self):
        # cmd splits an unquoted a,b into two arguments; both forms mean the same.
        expected = [f"chrome-extension://{pkgtest.CHROME_ID}/", f"chrome-extension://{pkgtest.OTHER_CHROME_ID}/"]
        for ids in ([f"{pkgtest.CHROME_ID},{pkgtest.OTHER_CHROME_ID}"],
                    [pkgtest.CHROME_ID, pkgtest.OTHER_CHROME_ID, pkgtest.CHROME_ID]):
            with self.subTest(ids=ids):
                self.install("--chrome-ids", *ids, "--firefox-ids", pkgtest.FIREFOX_ID)
                self.assertEqual(self.manifest("chrome")["allowed_origins"], expected)
                self.assertEqual(self.manifest("firefox")["allowed_extensions"], [pkgtest.FIREFOX_ID])
        # Quoted, as in an administrator's own script (Wine would escape
        # quotes passed from here).
        with self.subTest("quoted"):
            caller = os.path.join(self.folder, "deploy-test.cmd")
            with open(caller, "w", newline="\r\n") as f:
                f.write(f'@call "%~dp0install.cmd" --chrome-ids "{pkgtest.CHROME_ID}, {pkgtest.OTHER_CHROME_ID}" '
                        f'--firefox-ids "{pkgtest.FIREFOX_ID}"\n')
            self.addCleanup(os.remove, caller)
            self.wine.cmd("deploy-test.cmd", [], cwd=self.folder, check=0)
            self.assertEqual(self.manifest("chrome")["allowed_origins"], expected)
            self.assertEqual(self.manifest("firefox")["allowed_extensions"], [pkgtest.FIREFOX_ID])

    def test_another_name(self):
        self.install("--name", OTHER_NAME, "--firefox-ids", pkgtest.FIREFOX_ID)
        self.assertEqual(self.wine.reg_default(self.key("HKCU", "firefox", OTHER_NAME)),
                         self.manifest_win_path("firefox", OTHER_NAME))
        self.assertEqual(self.manifest("firefox", OTHER_NAME)["name"], OTHER_NAME)
        self.assertFalse(self.wine.reg_exists(self.key("HKCU", "firefox")))

    def test_uninstall_removes_keys_and_manifests_of_that_name_only(self):
        self.install("--chrome-ids", pkgtest.CHROME_ID, "--firefox-ids", pkgtest.FIREFOX_ID)
        self.install("--name", OTHER_NAME, "--chrome-ids", pkgtest.CHROME_ID)
        self.uninstall()
        for browser in pkgtest.BROWSER_KEYS:
            self.assertFalse(self.wine.reg_exists(self.key("HKCU", browser)), browser)
        self.assertTrue(self.wine.reg_exists(self.key("HKCU", "chrome", OTHER_NAME)))
        self.assertEqual(sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.folder, "*.json"))),
                         [f"{OTHER_NAME}.chrome.json"])
        # Nothing left to remove is not a failure.
        self.assertIn("was not registered", self.uninstall().stdout)

    def test_refusals_register_nothing(self):
        cases = [
            ([], "no extension IDs given"),
            (["--chrome-ids", "abc"], "invalid Chrome extension ID 'abc'"),
            (["--firefox-ids", "no-at-sign"], "invalid Firefox add-on ID 'no-at-sign'"),
            # A mistake in the second list stops the first from being registered.
            (["--chrome-ids", pkgtest.CHROME_ID, "--firefox-ids", "no-at-sign"], "invalid Firefox add-on ID"),
            (["--name", "Com.Quorvia", "--chrome-ids", pkgtest.CHROME_ID], "invalid host name"),
            (["--host", "C:\\nowhere\\quorvia-host.exe", "--chrome-ids", pkgtest.CHROME_ID],
             "host program not found"),
            (["--bogus"], "unknown argument"),
            (["--name"], "needs a value"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = self.install(*args, check=2)
                self.assertIn(message, result.stderr)
                for browser in pkgtest.BROWSER_KEYS:
                    self.assertFalse(self.wine.reg_exists(self.key("HKCU", browser)), browser)
                self.assertFalse(glob.glob(os.path.join(self.folder, "*.json")))

    def test_uninstall_refuses_names_that_reach_other_keys(self):
        self.install("--name", OTHER_NAME, "--chrome-ids", pkgtest.CHROME_ID)
        for name in ("", "..\\" + OTHER_NAME, "Org.Example", "*"):
            with self.subTest(name=name):
                self.uninstall("--name", name, check=2)
        self.assertTrue(self.wine.reg_exists(self.key("HKCU", "chrome", OTHER_NAME)))


if __name__ == "__main__":
    pkgtest.main()
