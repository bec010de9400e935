#!/usr/bin/env python3
"""The Windows packages under Wine, read back with reg.exe: the ZIP unpacked
into a folder whose name has spaces and % ^ & ! ( ), with its
scripts run there as a user would; the MSI through msiexec as an
administrator deploys it.

Environment (from ctest): QUORVIA_RUNNER, QUORVIA_BUILD_DIR, QUORVIA_VERSION;
QUORVIA_CPACK for Zip; QUORVIA_MSI, QUORVIA_WIXL, QUORVIA_WXS and
QUORVIA_MSI_GENDIR for Msi."""

import glob
import os
import shutil
import tempfile
import unittest
import zipfile

import pkgtest
from pkgtest import CHROME_ID, FIREFOX_GUID, FIREFOX_ID, NAME, OTHER_CHROME_ID

BROWSER_KEYS = {
    "chrome": r"Software\Google\Chrome\NativeMessagingHosts",
    "chromium": r"Software\Chromium\NativeMessagingHosts",
    "edge": r"Software\Microsoft\Edge\NativeMessagingHosts",
    "firefox": r"Software\Mozilla\NativeMessagingHosts",
}
OTHER_NAME = "org.example.zip_test"
INSTALL_DIR = "C:\\Program Files\\Quorvia"
# msiexec's ERROR_INSTALL_FAILURE, as a Unix exit status carries it.
INSTALL_FAILURE = 1603 % 256


class WineCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.runner = pkgtest.env("QUORVIA_RUNNER")
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-windows-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)

    @classmethod
    def wine(cls, *args, **kwargs):
        return pkgtest.run([cls.runner, *args], **kwargs)

    @classmethod
    def winepath(cls, option, path):
        # A pure path conversion, so it may be asked again: once in a fresh
        # prefix, Wine's first start after another test's programs ended
        # exited with status 1 and said nothing.
        for _ in range(3):
            result = cls.wine("winepath", option, path, check=None)
            if result.returncode == 0:
                return result.stdout.strip()
        raise AssertionError(f"winepath {option} {path} failed: {result.stderr}")

    def key(self, hive, browser, name=NAME):
        return f"{hive}\\{BROWSER_KEYS[browser]}\\{name}"

    def reg_exists(self, key):
        return self.wine("reg", "query", key, "/reg:64").returncode == 0

    def reg_default(self, key):
        """The default value of a key in the 64-bit view, or None."""
        for line in self.wine("reg", "query", key, "/ve", "/reg:64").stdout.splitlines():
            parts = line.strip().split(None, 2)
            if parts[:2] == ["(Default)", "REG_SZ"]:
                return parts[2] if len(parts) == 3 else ""
        return None

    def assert_registered(self, hive, folder, host, chrome_ids, firefox_ids):
        """Each browser's key names the manifest of its family in folder, and
        the manifests allow those IDs and lead to the host, which answers."""
        for browser in BROWSER_KEYS:
            family = "firefox" if browser == "firefox" else "chrome"
            self.assertEqual(self.reg_default(self.key(hive, browser)), f"{folder}\\{NAME}.{family}.json")
            self.assertFalse(self.reg_exists(self.key("HKCU" if hive == "HKLM" else "HKLM", browser)), browser)
        manifests = {f: pkgtest.read_json(self.winepath("-u", f"{folder}\\{NAME}.{f}.json"))
                     for f in ("chrome", "firefox")}
        self.assertEqual(manifests, {"chrome": pkgtest.manifest(host, chrome_ids),
                                     "firefox": pkgtest.manifest(host, firefox_ids=firefox_ids)})
        nm = [self.runner, self.winepath("-u", host.replace("quorvia-host.exe", "quorvia-nm.exe"))]
        self.assertEqual([k for k, _ in pkgtest.host_document(nm, host, pkgtest.random_key(24))], pkgtest.DOCUMENT_KEYS)

    def assert_unregistered(self, hive):
        for browser in BROWSER_KEYS:
            self.assertFalse(self.reg_exists(self.key(hive, browser)), browser)


class Zip(WineCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.zip = pkgtest.cpack("ZIP", os.path.join(cls.tmp, "out"))
        cls.top = f"quorvia-host-{pkgtest.env('QUORVIA_VERSION')}-win64"
        with zipfile.ZipFile(cls.zip) as z:
            z.extractall(os.path.join(cls.tmp, "Quorvia 100% ^ & ! (x86)"))
        cls.folder = os.path.join(cls.tmp, "Quorvia 100% ^ & ! (x86)", cls.top)
        cls.win_folder = cls.winepath("-w", cls.folder)

    def setUp(self):
        for args in ([], ["--system"], ["--name", OTHER_NAME]):
            self.addCleanup(self.script, "uninstall.cmd", *args, check=None)

    # Run from their folder, as a user would after unpacking: cmd /c cannot
    # take a script path with an ampersand in it.
    def script(self, script, *args, check=0):
        return self.wine("cmd", "/c", script, *args, check=check, cwd=self.folder)

    def manifests(self):
        return sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.folder, "*.json")))

    def test_contents_and_crlf_scripts(self):
        with zipfile.ZipFile(self.zip) as z:
            names = sorted(n for n in z.namelist() if not n.endswith("/"))
        self.assertEqual(names, [f"{self.top}/{f}" for f in (
            "host-manifest.json.in", "install.cmd", "quorvia-host.exe", "quorvia-manifest.exe", "quorvia-nm.exe",
            "uninstall.cmd")])
        # cmd misreads labels in scripts with bare LF line ends.
        for script in ("install.cmd", "uninstall.cmd"):
            with open(os.path.join(self.folder, script), "rb") as f:
                text = f.read()
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), script)

    def test_per_user_and_system_install_register_all_four_browsers(self):
        deploy = os.path.join(self.folder, "deploy-test.cmd")
        self.addCleanup(os.remove, deploy)
        # As an administrator's script calls it (Wine would escape quotes
        # passed from here): cmd splits an unquoted a,b at the comma, and a
        # quoted list may have spaces; all forms mean the same.
        for hive, args in (("HKCU", f'--chrome-ids "{CHROME_ID}, {OTHER_CHROME_ID}" --firefox-ids "{FIREFOX_GUID}"'),
                           ("HKLM", f"--system --chrome-ids {CHROME_ID},{OTHER_CHROME_ID} {CHROME_ID} "
                                    f"--firefox-ids {FIREFOX_GUID}")):
            with self.subTest(hive):
                with open(deploy, "w", newline="\r\n") as f:
                    f.write(f'@call install.cmd {args}\n')
                self.script("deploy-test.cmd")
                self.assert_registered(hive, self.win_folder, f"{self.win_folder}\\quorvia-host.exe",
                                       [CHROME_ID, OTHER_CHROME_ID], [FIREFOX_GUID])
                self.script("uninstall.cmd", *(["--system"] if hive == "HKLM" else []))
                self.assert_unregistered(hive)
                self.assertEqual(self.manifests(), [])

    def test_uninstall_removes_its_own_name_only(self):
        # Chrome IDs alone register the Chromium family only.
        self.script("install.cmd", "--name", OTHER_NAME, "--chrome-ids", CHROME_ID)
        self.assertEqual(pkgtest.read_json(os.path.join(self.folder, f"{OTHER_NAME}.chrome.json"))["name"], OTHER_NAME)
        self.script("install.cmd", "--chrome-ids", CHROME_ID, "--firefox-ids", FIREFOX_ID)
        # Names that would make reg delete reach other hosts' keys.
        for name in ("", "..\\" + OTHER_NAME, "Org.Example", "*"):
            with self.subTest(name=name):
                self.script("uninstall.cmd", "--name", name, check=2)
        self.script("uninstall.cmd")
        self.assert_unregistered("HKCU")
        for browser in BROWSER_KEYS:
            self.assertEqual(self.reg_exists(self.key("HKCU", browser, OTHER_NAME)), browser != "firefox", browser)
        self.assertEqual(self.manifests(), [f"{OTHER_NAME}.chrome.json"])
        # Nothing left to remove is not a failure.
        self.assertIn("was not registered", self.script("uninstall.cmd").stdout)

    def test_refusals_register_nothing(self):
        for args, message in (
            ([], "no extension IDs given"),
            (["--chrome-ids", "abc"], "invalid Chrome extension ID 'abc'"),
            # A mistake in the second list stops the first from being registered.
            (["--chrome-ids", CHROME_ID, "--firefox-ids", "no-at-sign"], "invalid Firefox add-on ID 'no-at-sign'"),
            (["--name", "Com.Quorvia", "--chrome-ids", CHROME_ID], "invalid host name"),
            (["--host", "C:\\nowhere\\quorvia-host.exe", "--chrome-ids", CHROME_ID], "host program not found"),
            (["--bogus"], "unknown argument"),
            (["--name"], "needs a value"),
        ):
            with self.subTest(args=args):
                self.assertIn(message, self.script("install.cmd", *args, check=2).stderr)
                self.assert_unregistered("HKCU")
                self.assertEqual(self.manifests(), [])


class Msi(WineCase):
    """Every test starts and ends with nothing installed."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.msi = cls.winepath("-w", pkgtest.env("QUORVIA_MSI"))
        cls.install_dir = cls.winepath("-u", INSTALL_DIR)
        # The same source built with a higher version.
        major, minor, patch = pkgtest.env("QUORVIA_VERSION").split(".")
        newer = os.path.join(cls.tmp, "newer.msi")
        pkgtest.run([pkgtest.env("QUORVIA_WIXL"), "-a", "x64", "-D", f"Version={major}.{minor}.{int(patch) + 1}",
                     "-D", f"GenDir={pkgtest.env('QUORVIA_MSI_GENDIR')}", "-o", newer, pkgtest.env("QUORVIA_WXS")],
                    cwd=pkgtest.env("QUORVIA_BUILD_DIR"), timeout=300, check=0)
        cls.newer = cls.winepath("-w", newer)
        cls.remove_installed()  # what an interrupted run may have left

    def setUp(self):
        self.assertNothingInstalled()
        self.addCleanup(self.remove_installed)

    @classmethod
    def products(cls):
        return [p for p in cls.wine("uninstaller", "--list").stdout.splitlines() if "Quorvia" in p]

    @classmethod
    def remove_installed(cls):
        for product in cls.products():
            cls.wine("msiexec", "/x", product.split("|")[0], "/qn", timeout=300)

    def msiexec(self, action, msi, *properties, status=None):
        return self.wine("msiexec", action, msi, "/qn", *properties, timeout=300, check=status)

    def manifest(self, family):
        return pkgtest.read_json(os.path.join(self.install_dir, f"{NAME}.{family}.json"))

    def assertNothingInstalled(self):
        self.assert_unregistered("HKLM")
        self.assertFalse(os.path.exists(self.install_dir))
        self.assertEqual(self.products(), [])

    def test_install_registers_every_browser_per_machine_and_uninstall_removes_it(self):
        self.msiexec("/i", self.msi, f"CHROME_EXTENSION_IDS={CHROME_ID},{OTHER_CHROME_ID}",
                     f"FIREFOX_EXTENSION_IDS={FIREFOX_ID},{FIREFOX_GUID}", status=0)
        self.assertEqual(sorted(os.listdir(self.install_dir)), sorted([
            "quorvia-host.exe", "quorvia-nm.exe", "quorvia-manifest.exe", "host-manifest.json.in",
            f"{NAME}.chrome.json", f"{NAME}.firefox.json"]))
        self.assert_registered("HKLM", INSTALL_DIR, f"{INSTALL_DIR}\\quorvia-host.exe",
                               [CHROME_ID, OTHER_CHROME_ID], [FIREFOX_ID, FIREFOX_GUID])
        self.msiexec("/x", self.msi, status=0)
        self.assertNothingInstalled()
        # The parent keys the install created go with them.
        self.assertFalse(self.reg_exists(f"HKLM\\{BROWSER_KEYS['chrome']}"))
        self.assertFalse(self.reg_exists(f"HKLM\\{BROWSER_KEYS['firefox']}"))

    def test_one_family_of_ids_leaves_the_other_manifest_allowing_none(self):
        self.msiexec("/i", self.msi, f"FIREFOX_EXTENSION_IDS={FIREFOX_ID}", status=0)
        self.assertEqual(self.manifest("firefox")["allowed_extensions"], [FIREFOX_ID])
        self.assertEqual(self.manifest("chrome")["allowed_origins"], [])

    def test_missing_or_invalid_ids_fail_and_install_nothing(self):
        # (Wine's msiexec reads "A= B=" as A set to "B=", so one empty one.)
        for properties in ([], ["FIREFOX_EXTENSION_IDS="], ["CHROME_EXTENSION_IDS=not-an-extension-id"],
                           [f"CHROME_EXTENSION_IDS={CHROME_ID},x"], ["FIREFOX_EXTENSION_IDS=no at sign"],
                           [f'CHROME_EXTENSION_IDS={CHROME_ID}" --out "C:\\evil.json'],
                           [f'CHROME_EXTENSION_IDS={CHROME_ID}" --name "org.evil']):
            with self.subTest(properties=properties):
                self.assertNotEqual(self.msiexec("/i", self.msi, *properties).returncode, 0)
                self.assertNothingInstalled()
                self.assertFalse(os.path.exists(self.winepath("-u", "C:\\evil.json")))

    def test_newer_version_replaces_the_installed_one_and_older_is_refused(self):
        self.msiexec("/i", self.msi, f"CHROME_EXTENSION_IDS={CHROME_ID}", status=0)
        older = self.products()
        self.msiexec("/i", self.newer, f"CHROME_EXTENSION_IDS={OTHER_CHROME_ID}", status=0)
        newer = self.products()
        self.assertEqual((len(older), len(newer)), (1, 1))
        self.assertNotEqual(newer, older)
        self.assertEqual(self.manifest("chrome")["allowed_origins"], [f"chrome-extension://{OTHER_CHROME_ID}/"])
        self.assertEqual(self.reg_default(self.key("HKLM", "chrome")), f"{INSTALL_DIR}\\{NAME}.chrome.json")
        self.msiexec("/i", self.msi, f"CHROME_EXTENSION_IDS={CHROME_ID}", status=INSTALL_FAILURE)
        self.assertEqual(self.products(), newer)

    def test_package_is_x64_and_per_machine(self):
        # Wine does not enforce these; Windows does.
        msi = pkgtest.env("QUORVIA_MSI")
        self.assertIn("Template: x64;1033", pkgtest.run(["msiinfo", "suminfo", msi], check=0).stdout)
        self.assertIn("ALLUSERS\t1", pkgtest.run(["msiinfo", "export", msi, "Property"], check=0).stdout)
        for row in pkgtest.run(["msiinfo", "export", msi, "Component"], check=0).stdout.splitlines()[3:]:
            self.assertTrue(int(row.split("\t")[3]) & 256, f"not a 64-bit component: {row}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
