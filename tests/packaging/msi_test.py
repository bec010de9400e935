#!/usr/bin/env python3
"""The MSI under Wine's msiexec, as an administrator deploys it: silent
install with the extension IDs as properties, the registry and files it
leaves, the host it leads to, and a clean uninstall. Also what must fail.

Environment (from ctest): QUORVIA_MSI, QUORVIA_RUNNER, and to build a newer
version of the same MSI: QUORVIA_WIXL, QUORVIA_WXS, QUORVIA_MSI_GENDIR,
QUORVIA_BUILD_DIR, QUORVIA_VERSION."""

import json
import os
import shutil
import tempfile
import unittest

import pkgtest

NAME = "com.quorvia.deviceinfo"
INSTALL_DIR = "C:\\Program Files\\Quorvia"
INSTALLED_FILES = sorted(["quorvia-host.exe", "quorvia-nm.exe", "quorvia-manifest.exe", "host-manifest.json.in",
                          f"{NAME}.chrome.json", f"{NAME}.firefox.json"])
# msiexec's ERROR_INSTALL_FAILURE, as a Unix exit status carries it.
INSTALL_FAILURE = 1603 % 256


class MsiCase(unittest.TestCase):
    """Set-up and helpers: every test starts and ends with nothing installed."""

    @classmethod
    def setUpClass(cls):
        cls.wine = pkgtest.Wine()
        cls.msi = pkgtest.env("QUORVIA_MSI")
        cls.win_msi = cls.wine.windows_path(cls.msi)
        cls.install_dir = cls.wine.unix_path(INSTALL_DIR)

    def setUp(self):
        self.uninstall()
        self.assertNothingInstalled()
        self.addCleanup(self.uninstall)

    def msiexec(self, *args):
        return self.wine.run(["msiexec", *args], timeout=300)

    def install(self, *properties):
        return self.msiexec("/i", self.win_msi, "/qn", *properties)

    def uninstall(self):
        return self.msiexec("/x", self.win_msi, "/qn")

    def key(self, browser):
        return f"HKLM\\{pkgtest.BROWSER_KEYS[browser]}\\{NAME}"

    def manifest(self, family):
        with open(os.path.join(self.install_dir, f"{NAME}.{family}.json")) as f:
            return json.load(f)

    def assertNothingInstalled(self):
        for browser in pkgtest.BROWSER_KEYS:
            self.assertFalse(self.wine.reg_exists(self.key(browser)), browser)
        self.assertFalse(os.path.exists(self.install_dir), os.listdir(self.install_dir)
                         if os.path.isdir(self.install_dir) else "")


class Msi(MsiCase):
    def test_silent_install_registers_every_browser_per_machine(self):
        result = self.install(f"CHROME_EXTENSION_IDS={pkgtest.CHROME_ID},{pkgtest.OTHER_CHROME_ID}",
                              f"FIREFOX_EXTENSION_IDS={pkgtest.FIREFOX_ID},{pkgtest.FIREFOX_GUID}")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(sorted(os.listdir(self.install_dir)), INSTALLED_FILES)
        for browser in pkgtest.BROWSER_KEYS:
            with self.subTest(browser):
                family = "firefox" if browser == "firefox" else "chrome"
                self.assertEqual(self.wine.reg_default(self.key(browser)), f"{INSTALL_DIR}\\{NAME}.{family}.json")
        host = f"{INSTALL_DIR}\\quorvia-host.exe"
        self.assertEqual(self.manifest("chrome"), {
            "name": NAME, "description": "Quorvia device information", "path": host, "type": "stdio",
            "allowed_origins": [f"chrome-extension://{pkgtest.CHROME_ID}/",
                                f"chrome-extension://{pkgtest.OTHER_CHROME_ID}/"]})
        self.assertEqual(self.manifest("firefox"), {
            "name": NAME, "description": "Quorvia device information", "path": host, "type": "stdio",
            "allowed_extensions": [pkgtest.FIREFOX_ID, pkgtest.FIREFOX_GUID]})

    def test_registered_manifest_leads_to_the_installed_host_which_answers(self):
        self.assertEqual(self.install(f"CHROME_EXTENSION_IDS={pkgtest.CHROME_ID}").returncode, 0)
        manifest_path = self.wine.unix_path(self.wine.reg_default(self.key("chrome")))
        with open(manifest_path) as f:
            host = json.load(f)["path"]
        self.assertEqual(os.path.realpath(self.wine.unix_path(host)),
                         os.path.realpath(os.path.join(self.install_dir, "quorvia-host.exe")))
        nm = [pkgtest.env("QUORVIA_RUNNER"), os.path.join(self.install_dir, "quorvia-nm.exe")]
        for length in (16, 24, 32):
            with self.subTest(key_length=length):
                pairs = pkgtest.host_document(nm, host, pkgtest.random_key(length))
                self.assertEqual([k for k, _ in pairs], pkgtest.DOCUMENT_KEYS)

    def test_uninstall_removes_every_file_and_key(self):
        self.assertEqual(self.install(f"CHROME_EXTENSION_IDS={pkgtest.CHROME_ID}",
                                      f"FIREFOX_EXTENSION_IDS={pkgtest.FIREFOX_ID}").returncode, 0)
        self.assertTrue(os.path.isdir(self.install_dir))
        result = self.uninstall()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNothingInstalled()
        # The parent keys the install created go with them.
        self.assertFalse(self.wine.reg_exists("HKLM\\Software\\Google\\Chrome\\NativeMessagingHosts"))
        self.assertFalse(self.wine.reg_exists("HKLM\\Software\\Mozilla\\NativeMessagingHosts"))

    def test_one_family_of_ids_leaves_the_other_manifest_allowing_none(self):
        self.assertEqual(self.install(f"FIREFOX_EXTENSION_IDS={pkgtest.FIREFOX_ID}").returncode, 0)
        self.assertEqual(self.manifest("firefox")["allowed_extensions"], [pkgtest.FIREFOX_ID])
        self.assertEqual(self.manifest("chrome")["allowed_origins"], [])
        self.assertEqual(self.wine.reg_default(self.key("edge")), f"{INSTALL_DIR}\\{NAME}.chrome.json")

    def test_install_without_ids_fails_and_installs_nothing(self):
        # (Wine's msiexec reads "A= B=" as A set to "B=", so one empty one.)
        for properties in ([], ["FIREFOX_EXTENSION_IDS="]):
            with self.subTest(properties=properties):
                result = self.install(*properties)
                self.assertEqual(result.returncode, INSTALL_FAILURE, result.stdout + result.stderr)
                self.assertNothingInstalled()

    def test_invalid_ids_fail_and_roll_back(self):
        for prop in ("CHROME_EXTENSION_IDS=not-an-extension-id", f"CHROME_EXTENSION_IDS={pkgtest.CHROME_ID},x",
                     "FIREFOX_EXTENSION_IDS=no at sign",
                     f'CHROME_EXTENSION_IDS={pkgtest.CHROME_ID}" --out "C:\\evil.json'):
            with self.subTest(prop):
                result = self.install(prop)
                self.assertNotEqual(result.returncode, 0)
                self.assertNothingInstalled()
                self.assertFalse(os.path.exists(self.wine.unix_path("C:\\evil.json")))


class MsiUpgrade(MsiCase):
    """A newer MSI replaces the installed one; an older one is refused. The
    newer one is the same source built with a higher version."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-msi-")
        cls.newer = os.path.join(cls.tmp, "newer.msi")
        major, minor, patch = pkgtest.env("QUORVIA_VERSION").split(".")
        cls.newer_version = f"{major}.{minor}.{int(patch) + 1}"
        pkgtest.run([pkgtest.env("QUORVIA_WIXL"), "-a", "x64", "-D", f"Version={cls.newer_version}",
                     "-D", f"GenDir={pkgtest.env('QUORVIA_MSI_GENDIR')}", "-o", cls.newer,
                     pkgtest.env("QUORVIA_WXS")], cwd=pkgtest.env("QUORVIA_BUILD_DIR"), timeout=300, check=0)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.addCleanup(self.msiexec, "/x", self.wine.windows_path(self.newer), "/qn")

    def installed_versions(self):
        out = self.wine.run(["reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s",
                             "/reg:64"]).stdout
        versions, in_ours = [], False
        for line in out.splitlines():
            parts = line.split(None, 2)
            if not line.startswith(" "):
                in_ours = False
            elif len(parts) == 3 and parts[0] == "DisplayName":
                in_ours = parts[2].strip() == "Quorvia Device Information Host"
            elif len(parts) == 3 and parts[0] == "DisplayVersion" and in_ours:
                versions.append(parts[2].strip())
        return versions

    def test_newer_version_replaces_the_installed_one(self):
        self.assertEqual(self.install(f"CHROME_EXTENSION_IDS={pkgtest.CHROME_ID}").returncode, 0)
        self.assertEqual(self.installed_versions(), [pkgtest.env("QUORVIA_VERSION")])
        result = self.msiexec("/i", self.wine.windows_path(self.newer), "/qn",
                              f"CHROME_EXTENSION_IDS={pkgtest.OTHER_CHROME_ID}")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(self.installed_versions(), [self.newer_version])
        self.assertEqual(self.manifest("chrome")["allowed_origins"], [f"chrome-extension://{pkgtest.OTHER_CHROME_ID}/"])
        self.assertEqual(self.wine.reg_default(self.key("chrome")), f"{INSTALL_DIR}\\{NAME}.chrome.json")

    def test_older_version_is_refused_over_a_newer_one(self):
        result = self.msiexec("/i", self.wine.windows_path(self.newer), "/qn",
                              f"CHROME_EXTENSION_IDS={pkgtest.CHROME_ID}")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(self.install(f"CHROME_EXTENSION_IDS={pkgtest.CHROME_ID}").returncode, INSTALL_FAILURE)
        self.assertEqual(self.installed_versions(), [self.newer_version])


class MsiTables(unittest.TestCase):
    """What Wine does not enforce: a 64-bit, per-machine package."""

    def test_x64_per_machine(self):
        msi = pkgtest.env("QUORVIA_MSI")
        summary = pkgtest.run(["msiinfo", "suminfo", msi], check=0).stdout
        self.assertIn("Template: x64;1033", summary)
        properties = pkgtest.run(["msiinfo", "export", msi, "Property"], check=0).stdout
        self.assertIn("ALLUSERS\t1", properties)
        components = pkgtest.run(["msiinfo", "export", msi, "Component"], check=0).stdout.splitlines()[3:]
        for row in components:
            attributes = int(row.split("\t")[3])
            self.assertTrue(attributes & 256, f"not a 64-bit component: {row}")


if __name__ == "__main__":
    pkgtest.main()
