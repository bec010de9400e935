#!/usr/bin/env python3
"""The Windows packages under Wine, read back with reg.exe: the ZIP unpacked
into a folder whose name has spaces and % ^ & ! ( ), with its
scripts run there as a user would; the MSI through msiexec as an
administrator deploys it; and both signed by ./scripts/package.

Environment (from ctest): QUORVIA_RUNNER, QUORVIA_BUILD_DIR, QUORVIA_VERSION,
QUORVIA_SOURCE_DIR; QUORVIA_CPACK for Zip; QUORVIA_MSI and QUORVIA_MSI_GENDIR
for Msi."""

import glob
import http.server
import os
import shutil
import subprocess
import tempfile
import threading
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
STORED_IDS_KEY = r"HKLM\Software\Quorvia\DeviceInformationHost"
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
        # The one path Wine has to tell; Z: is / in every prefix. Asked again
        # on failure: once in a fresh prefix, Wine's first start after another
        # test's programs ended exited with status 1 and said nothing.
        for _ in range(3):
            result = cls.wine("winepath", "-u", "C:\\", check=None)
            if result.returncode == 0:
                cls.drive_c = result.stdout.strip()
                return
        raise AssertionError(f"winepath failed: {result.stderr}")

    @classmethod
    def wine(cls, program, *args, **kwargs):
        # Named bare, Wine's own programs start through start.exe: a second
        # process that doubles the cost of every call.
        if not any(c in program for c in "\\/."):
            program = f"C:\\windows\\system32\\{program}.exe"
        return pkgtest.run([cls.runner, program, *args], **kwargs)

    @classmethod
    def unix_path(cls, path):
        return os.path.join(cls.drive_c if path[0] in "Cc" else "/", path[3:].replace("\\", "/"))

    @staticmethod
    def windows_path(path):
        return "Z:" + path.replace("/", "\\")

    def key(self, hive, browser, name=NAME):
        return f"{hive}\\{BROWSER_KEYS[browser]}\\{name}"

    def reg_exists(self, key):
        return self.wine("reg", "query", key, "/reg:64").returncode == 0

    def reg_values(self, key):
        """The string values of a key in the 64-bit view by name, the default
        one as "(Default)"."""
        rows = [line.split(None, 2) + [""] for line in self.wine("reg", "query", key, "/reg:64").stdout.splitlines()
                if "REG_SZ" in line]
        return {row[0]: row[2] for row in rows}

    def assert_registered(self, hive, folder, host, chrome_ids, firefox_ids):
        """Each browser's key names the manifest of its family in folder, and
        the manifests allow those IDs and lead to the host, which answers."""
        for browser in BROWSER_KEYS:
            family = "firefox" if browser == "firefox" else "chrome"
            self.assertEqual(self.reg_values(self.key(hive, browser)).get("(Default)"), f"{folder}\\{NAME}.{family}.json")
            self.assertFalse(self.reg_exists(self.key("HKCU" if hive == "HKLM" else "HKLM", browser)), browser)
        manifests = {f: pkgtest.read_json(self.unix_path(f"{folder}\\{NAME}.{f}.json"))
                     for f in ("chrome", "firefox")}
        self.assertEqual(manifests, {"chrome": pkgtest.manifest(host, chrome_ids),
                                     "firefox": pkgtest.manifest(host, firefox_ids=firefox_ids)})
        nm = [self.runner, self.unix_path(host.replace("quorvia-host.exe", "quorvia-nm.exe"))]
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
        cls.win_folder = cls.windows_path(cls.folder)

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
            "LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "host-manifest.json.in", "install.cmd", "quorvia-host.exe",
            "quorvia-manifest.exe", "quorvia-nm.exe", "uninstall.cmd")])
        # cmd misreads labels in scripts with bare LF line ends; Notepad
        # shows the licence and the notices, which must be the project's.
        for script in ("install.cmd", "uninstall.cmd", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"):
            with open(os.path.join(self.folder, script), "rb") as f:
                text = f.read()
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), script)
            if script.endswith(".txt"):
                with open(os.path.join(pkgtest.env("QUORVIA_SOURCE_DIR"), script[:-4]), "rb") as f:
                    self.assertEqual(text.replace(b"\r\n", b"\n"), f.read(), script)

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
                self.assertEqual(self.manifests(), [])
        # Keys a refusal wrote would still be there.
        self.assert_unregistered("HKCU")


class Msi(WineCase):
    """Every test ends with nothing installed."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.msi = cls.windows_path(pkgtest.env("QUORVIA_MSI"))
        cls.install_dir = cls.unix_path(INSTALL_DIR)
        # The same source built again: with a higher version, and with the
        # same one (a new product code, as any rebuild has).
        major, minor, patch = pkgtest.env("QUORVIA_VERSION").split(".")
        cls.newer, cls.rebuilt = (cls.build_msi(f"{major}.{minor}.{int(patch) + 1}", name)
                                  for name in ("newer.msi", "rebuilt.msi"))
        cls.remove_installed()  # what an interrupted run may have left

    @classmethod
    def build_msi(cls, version, name):
        out = os.path.join(cls.tmp, name)
        source = pkgtest.env("QUORVIA_SOURCE_DIR")
        pkgtest.run([f"{source}/packaging/windows/build-msi.sh", f"{source}/packaging/windows/quorvia-host.wxs",
                     version, pkgtest.env("QUORVIA_MSI_GENDIR"), out],
                    cwd=pkgtest.env("QUORVIA_BUILD_DIR"), timeout=300, check=0)
        return cls.windows_path(out)

    def setUp(self):
        self.addCleanup(self.remove_installed)

    @classmethod
    def products(cls):
        """The installed product codes, as reg.exe finds them a quarter of
        the time uninstaller.exe --list takes."""
        lines = cls.wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s", "/v",
                         "DisplayName", "/reg:64").stdout.splitlines()
        return [key.rsplit("\\", 1)[1] for key, value in zip(lines, lines[1:]) if "Quorvia" in value]

    @classmethod
    def remove_installed(cls):
        for product in cls.products():
            cls.wine("msiexec", "/x", product, "/qn", timeout=300)

    def msiexec(self, action, msi, *properties, status=None):
        return self.wine("msiexec", action, msi, "/qn", *properties, timeout=300, check=status)

    def allowed(self):
        manifests = [pkgtest.read_json(os.path.join(self.install_dir, f"{NAME}.{f}.json")) for f in ("chrome", "firefox")]
        return manifests[0]["allowed_origins"], manifests[1]["allowed_extensions"]

    def assertNothingInstalled(self):
        self.assert_unregistered("HKLM")
        self.assertFalse(self.reg_exists(STORED_IDS_KEY.rsplit("\\", 1)[0]))
        self.assertFalse(os.path.exists(self.install_dir))
        self.assertEqual(self.products(), [])

    def test_install_registers_every_browser_per_machine_and_uninstall_removes_it(self):
        self.msiexec("/i", self.msi, f"CHROME_EXTENSION_IDS={CHROME_ID},{OTHER_CHROME_ID}",
                     f"FIREFOX_EXTENSION_IDS={FIREFOX_ID},{FIREFOX_GUID}", status=0)
        self.assertEqual(sorted(os.listdir(self.install_dir)), sorted([
            "quorvia-host.exe", "quorvia-nm.exe", "quorvia-manifest.exe", "host-manifest.json.in",
            f"{NAME}.chrome.json", f"{NAME}.firefox.json", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"]))
        self.assert_registered("HKLM", INSTALL_DIR, f"{INSTALL_DIR}\\quorvia-host.exe",
                               [CHROME_ID, OTHER_CHROME_ID], [FIREFOX_ID, FIREFOX_GUID])
        self.msiexec("/x", self.msi, status=0)
        self.assertNothingInstalled()
        # The parent keys the install created go with them.
        self.assertFalse(self.reg_exists(f"HKLM\\{BROWSER_KEYS['chrome']}"))
        self.assertFalse(self.reg_exists(f"HKLM\\{BROWSER_KEYS['firefox']}"))

    def test_missing_or_invalid_ids_fail_and_install_nothing(self):
        # (Wine's msiexec reads "A= B=" as A set to "B=", so one empty one.)
        for properties in ([], ["FIREFOX_EXTENSION_IDS="], ["CHROME_EXTENSION_IDS=not-an-extension-id"],
                           [f"CHROME_EXTENSION_IDS={CHROME_ID},x"], ["FIREFOX_EXTENSION_IDS=no at sign"],
                           [f'CHROME_EXTENSION_IDS={CHROME_ID}" --out "C:\\evil.json'],
                           [f'CHROME_EXTENSION_IDS={CHROME_ID}" --name "org.evil']):
            with self.subTest(properties=properties):
                self.assertNotEqual(self.msiexec("/i", self.msi, *properties).returncode, 0)
                self.assertFalse(os.path.exists(self.install_dir))
                self.assertFalse(os.path.exists(self.unix_path("C:\\evil.json")))
        # Whatever a refusal left would still be there.
        self.assertNothingInstalled()

    def test_ids_are_kept_through_repair_and_upgrade_and_replaced_when_given(self):
        chrome, other = ([f"chrome-extension://{i}/"] for i in (CHROME_ID, OTHER_CHROME_ID))
        firefox = [FIREFOX_ID]
        products = []

        def spoil():
            os.remove(os.path.join(self.install_dir, f"{NAME}.firefox.json"))
            with open(os.path.join(self.install_dir, f"{NAME}.chrome.json"), "w") as f:
                f.write("{}")

        # (step, msiexec arguments, spoil the manifests first, exit status,
        #  a new product, stored IDs, allowed in the manifests)
        for step, args, before, status, new, stored, allowed in (
            ("install", ["/i", self.msi, f"CHROME_EXTENSION_IDS={CHROME_ID}", f"FIREFOX_EXTENSION_IDS={FIREFOX_ID}"],
             False, 0, True, (CHROME_ID, FIREFOX_ID), (chrome, firefox)),
            # What msiexec /fa runs: Wine's msiexec has no /f for an installed product.
            ("repair", ["/i", self.msi, "REINSTALL=ALL", "REINSTALLMODE=a"], True, 0, False,
             (CHROME_ID, FIREFOX_ID), (chrome, firefox)),
            ("maintenance", ["/i", self.msi], True, 0, False, (CHROME_ID, FIREFOX_ID), (chrome, firefox)),
            ("maintenance, new IDs", ["/i", self.msi, f"CHROME_EXTENSION_IDS={OTHER_CHROME_ID}"], False, 0, False,
             (OTHER_CHROME_ID, ""), (other, [])),
            ("upgrade", ["/i", self.newer], False, 0, True, (OTHER_CHROME_ID, ""), (other, [])),
            ("older refused", ["/i", self.msi], False, INSTALL_FAILURE, False, (OTHER_CHROME_ID, ""), (other, [])),
            ("same version rebuilt, new IDs", ["/i", self.rebuilt, f"FIREFOX_EXTENSION_IDS={FIREFOX_ID}"],
             False, 0, True, ("", FIREFOX_ID), ([], firefox)),
        ):
            with self.subTest(step):
                if before:
                    spoil()
                self.msiexec(*args, status=status)
                products, replaced = self.products(), products
                self.assertEqual(len(products), 1)
                self.assertEqual(products != replaced, new)
                values = self.reg_values(STORED_IDS_KEY)
                self.assertEqual((values.get("ChromeExtensionIds"), values.get("FirefoxExtensionIds")), stored)
                self.assertEqual(self.allowed(), allowed)
        self.msiexec("/x", self.rebuilt, status=0)
        self.assertNothingInstalled()

    def test_package_is_x64_per_machine_with_secure_ids(self):
        # Wine does not enforce these; Windows does.
        msi = pkgtest.env("QUORVIA_MSI")
        self.assertIn("Template: x64;1033", pkgtest.run(["msiinfo", "suminfo", msi], check=0).stdout)
        properties = dict(line.split("\t", 1) for line in
                          pkgtest.run(["msiinfo", "export", msi, "Property"], check=0).stdout.splitlines()[3:])
        self.assertEqual(properties["ALLUSERS"], "1")
        self.assertLessEqual({"CHROME_EXTENSION_IDS", "FIREFOX_EXTENSION_IDS"},
                             set(properties["SecureCustomProperties"].split(";")))
        for row in pkgtest.run(["msiinfo", "export", msi, "Component"], check=0).stdout.splitlines()[3:]:
            self.assertTrue(int(row.split("\t")[3]) & 256, f"not a 64-bit component: {row}")


class TimeStampAuthority(http.server.BaseHTTPRequestHandler):
    """RFC 3161 over HTTP, answered by openssl ts with the test CA's TSA key."""
    folder = None

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "/dev/stdin", "-signer",
                                "tsa.crt", "-inkey", "tsa.key", "-chain", "ca.crt"], input=query,
                               capture_output=True, cwd=self.folder, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


class Signed(WineCase):
    """./scripts/package --sign-pkcs12 with a throwaway CA, its code-signing
    certificate, and a time-stamping authority served here."""

    PASSWORD = "not on any command line"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        ca = os.path.join(cls.tmp, "ca")
        os.mkdir(ca)
        for name, text in (("password", cls.PASSWORD), ("wrong-password", "something else"),
                           ("req.cnf", "[req]\ndistinguished_name = dn\n[dn]"),
                           ("tsa.cnf", "[tsa]\ndefault_tsa = t\n[t]\nserial = tsa.serial\nsigner_digest = sha256\n"
                                       "default_policy = 1.2.3.4\ndigests = sha256\ness_cert_id_chain = no")):
            with open(os.path.join(ca, name), "w") as f:
                f.write(text + "\n")
        req = ["req", "-config", "req.cnf", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2"]
        openssl = lambda *args: pkgtest.run(["openssl", *args], cwd=ca, check=0)
        openssl(*req, "-keyout", "ca.key", "-out", "ca.crt", "-subj", "/CN=Quorvia Test CA",
                "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign")
        for name, usage in (("code", "codeSigning"), ("tsa", "critical,timeStamping")):
            openssl(*req, "-keyout", f"{name}.key", "-out", f"{name}.crt", "-subj", f"/CN=Quorvia Test {name}",
                    "-CA", "ca.crt", "-CAkey", "ca.key", "-addext", f"extendedKeyUsage={usage}")
        openssl("pkcs12", "-export", "-inkey", "code.key", "-in", "code.crt", "-certfile", "ca.crt",
                "-passout", "file:password", "-out", "code.p12")
        cls.ca = ca
        TimeStampAuthority.folder = ca
        tsa = http.server.HTTPServer(("127.0.0.1", 0), TimeStampAuthority)
        threading.Thread(target=tsa.serve_forever, daemon=True).start()
        cls.addClassCleanup(tsa.server_close)
        cls.addClassCleanup(tsa.shutdown)

        cls.out = os.path.join(cls.tmp, "packages")
        result = cls.package(cls.out, "--sign-pkcs12", f"{ca}/code.p12", "--sign-password-file", f"{ca}/password",
                             "--timestamp-url", f"http://127.0.0.1:{tsa.server_port}/", check=0)
        cls.output = result.stdout + result.stderr
        with zipfile.ZipFile(glob.glob(f"{cls.out}/*.zip")[0]) as z:
            z.extractall(os.path.join(cls.tmp, "zip"))
        pkgtest.run(["msiextract", "-C", os.path.join(cls.tmp, "msi"), f"{cls.out}/quorvia-host.msi"], check=0)

    @classmethod
    def package(cls, out, *args, check=None):
        return pkgtest.run([f"{pkgtest.env('QUORVIA_SOURCE_DIR')}/scripts/package", "--windows-only", "--out", out,
                            *args], timeout=600, check=check)

    def verify(self, path):
        return pkgtest.run(["osslsigncode", "verify", "-CAfile", f"{self.ca}/ca.crt", "-TSA-CAfile",
                            f"{self.ca}/ca.crt", "-in", path])

    def test_programs_and_msi_verify_with_timestamp_and_fail_once_changed(self):
        signed = [f"{self.out}/quorvia-host.msi"] + glob.glob(f"{self.tmp}/zip/*/*.exe") + glob.glob(f"{self.tmp}/msi/*/*.exe")
        self.assertEqual(len(signed), 7)
        self.assertNotIn(self.PASSWORD, self.output)
        for path in signed:
            with self.subTest(path):
                result = self.verify(path)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn("Timestamp Server Signature verification: ok", result.stdout)
                # The chain travels in the signature, for machines that lack the issuer.
                pkgtest.run(["osslsigncode", "extract-signature", "-pem", "-in", path, "-out", f"{path}.p7"], check=0)
                self.assertIn("subject=CN = Quorvia Test CA\n", pkgtest.run(
                    ["openssl", "pkcs7", "-in", f"{path}.p7", "-print_certs", "-noout"], check=0).stdout)
                with open(path, "rb") as f:
                    data = bytearray(f.read())
                data[len(data) // 2] ^= 1
                tampered = os.path.join(self.tmp, "tampered")
                with open(tampered, "wb") as f:
                    f.write(data)
                self.assertNotEqual(self.verify(tampered).returncode, 0)

    def test_signed_host_answers_and_signed_msi_installs_and_uninstalls(self):
        folder = glob.glob(f"{self.tmp}/zip/*")[0]
        host = self.windows_path(f"{folder}/quorvia-host.exe")
        document = pkgtest.host_document([self.runner, f"{folder}/quorvia-nm.exe"], host, pkgtest.random_key(16))
        self.assertEqual([k for k, _ in document], pkgtest.DOCUMENT_KEYS)
        msi = self.windows_path(f"{self.out}/quorvia-host.msi")
        self.wine("msiexec", "/i", msi, "/qn", f"CHROME_EXTENSION_IDS={CHROME_ID}", timeout=300, check=0)
        self.assertTrue(os.path.exists(self.unix_path(f"{INSTALL_DIR}\\{NAME}.chrome.json")))
        self.wine("msiexec", "/x", msi, "/qn", timeout=300, check=0)
        self.assertFalse(os.path.exists(self.unix_path(INSTALL_DIR)))

    def test_unusable_certificate_or_failed_signing_leaves_no_package(self):
        out = os.path.join(self.tmp, "failed")
        p12, password = f"{self.ca}/code.p12", f"{self.ca}/password"
        for args, message in (
            (["--sign-pkcs12", f"{self.ca}/missing.p12"], "cannot read the PKCS#12 file"),
            (["--sign-pkcs12", p12, "--sign-password-file", f"{self.ca}/wrong-password"], "wrong password"),
            (["--sign-pkcs12", p12], "wrong password"),
            (["--sign-pkcs12", f"{self.ca}/code.crt", "--sign-password-file", password], "not a PKCS#12 file"),
            # Nothing listens there: the first signature cannot be timestamped.
            (["--sign-pkcs12", p12, "--sign-password-file", password, "--timestamp-url", "http://127.0.0.1:9/"],
             "signing quorvia-host.exe failed"),
        ):
            with self.subTest(args=args):
                os.makedirs(out, exist_ok=True)
                result = self.package(out, *args)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assertNotIn(self.PASSWORD, result.stdout + result.stderr)
                self.assertEqual([p for p in os.listdir(self.tmp) if p.startswith("failed")], [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
