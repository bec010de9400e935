#!/usr/bin/env python3
"""The Windows packages under Wine, read back with reg.exe: the ZIP's scripts
run as a user would from a folder named with spaces and % ^ & ! ( ), the MSI through msiexec as an administrator deploys it,
both signed by ./scripts/package. The environment comes from ctest."""

import glob
import http.server
import os
import pathlib
import shutil
import subprocess
import tempfile
import threading
import unittest
import zipfile

import pkgtest
from pkgtest import CHROME_ID, FIREFOX_GUID, FIREFOX_ID, NAME, OTHER_CHROME_ID

BROWSER_KEYS = {"chrome": r"Software\Google\Chrome", "chromium": r"Software\Chromium",
                "edge": r"Software\Microsoft\Edge", "firefox": r"Software\Mozilla"}
FAMILY = {b: "firefox" if b == "firefox" else "chrome" for b in BROWSER_KEYS}
FAMILIES = ("chrome", "firefox")
NOWHERE = dict.fromkeys(BROWSER_KEYS)
STORED_IDS_KEY = r"HKLM\Software\Quorvia\DeviceInformationHost"
OTHER_NAME = "org.example.zip_test"
INSTALL_DIR = "C:\\Program Files\\Quorvia"
# Both packages put these beside the host, the notices included.
PROGRAM_FILES = ["LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "host-manifest.json.in", "quorvia-host.exe",
                 "quorvia-manifest.exe", "quorvia-nm.exe"]
INSTALL_FAILURE = 1603 % 256  # msiexec's ERROR_INSTALL_FAILURE as a Unix exit status


class WineCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.runner = pkgtest.env("QUORVIA_RUNNER")
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-windows-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        # Z: is / in every prefix, C: needs asking, again on failure: in a fresh prefix, Wine's
        # first start after another test's programs ended once exited with status 1, silently.
        for _ in range(3):
            if (result := cls.wine("winepath", "-u", "C:\\")).returncode == 0:
                cls.drive_c = result.stdout.strip()
                return
        raise AssertionError(f"winepath failed: {result.stderr}")

    @classmethod
    def wine(cls, program, *args, **kwargs):
        # Named bare, Wine's own programs start through start.exe, a second process.
        if not any(c in program for c in "\\/."):
            program = f"C:\\windows\\system32\\{program}.exe"
        return pkgtest.run([cls.runner, program, *args], **kwargs)

    @classmethod
    def unix_path(cls, path):
        return os.path.join(cls.drive_c if path[0] in "Cc" else "/", path[3:].replace("\\", "/"))

    @staticmethod
    def windows_path(path):
        return "Z:" + path.replace("/", "\\")

    def reg_values(self, key):
        """A key's string values in the 64-bit view by name, the default one
        as "(Default)"; None when there is no such key."""
        result = self.wine("reg", "query", key, "/reg:64")
        rows = [line.split(None, 2) + [""] for line in result.stdout.splitlines() if "REG_SZ" in line]
        return None if result.returncode else {row[0]: row[2] for row in rows}

    def registry(self, hive, name=NAME):
        """What each browser's key for name leads to; None where it has no key."""
        return {b: None if (v := self.reg_values(f"{hive}\\{k}\\NativeMessagingHosts\\{name}")) is None
                else v.get("(Default)", "") for b, k in BROWSER_KEYS.items()}

    def assert_registered(self, hive, folder, host, chrome_ids, firefox_ids):
        """Each browser's key in hive, and in hive alone, names its family's
        manifest in folder; those allow the IDs and lead to the host, which answers."""
        self.assertEqual(self.registry(hive), {b: f"{folder}\\{NAME}.{FAMILY[b]}.json" for b in BROWSER_KEYS})
        self.assertEqual(self.registry("HKCU" if hive == "HKLM" else "HKLM"), NOWHERE)
        self.assertEqual([pkgtest.read_json(self.unix_path(f"{folder}\\{NAME}.{f}.json")) for f in FAMILIES],
                         [pkgtest.manifest(host, chrome_ids), pkgtest.manifest(host, firefox_ids=firefox_ids)])
        nm = [self.runner, self.unix_path(host.replace("quorvia-host.exe", "quorvia-nm.exe"))]
        self.assertEqual([k for k, _ in pkgtest.host_document(nm, host, pkgtest.random_key(24))], pkgtest.DOCUMENT_KEYS)


class Zip(WineCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.zip = pkgtest.cpack("ZIP", f"{cls.tmp}/out")
        cls.top = f"quorvia-host-{pkgtest.env('QUORVIA_VERSION')}-win64"
        # Unpacked where spaces, parentheses and an ampersand test the scripts' quoting.
        with zipfile.ZipFile(cls.zip) as z:
            z.extractall(f"{cls.tmp}/Quorvia 100% ^ & ! (x86)")
        cls.folder = f"{cls.tmp}/Quorvia 100% ^ & ! (x86)/{cls.top}"
        cls.win_folder = cls.windows_path(cls.folder)

    def setUp(self):
        for args in ([], ["--system"], ["--name", OTHER_NAME]):
            self.addCleanup(self.script, "uninstall.cmd", *args, check=None)

    def script(self, script, *args, check=0):
        # From its folder, as a user would: cmd /c takes no path with an ampersand.
        return self.wine("cmd", "/c", script, *args, check=check, cwd=self.folder)

    def manifests(self):
        return sorted(os.path.basename(p) for p in glob.glob(f"{self.folder}/*.json"))

    def test_contents_crlf_scripts_and_notices(self):
        with zipfile.ZipFile(self.zip) as z:
            self.assertEqual(sorted(n for n in z.namelist() if not n.endswith("/")),
                             sorted(f"{self.top}/{f}" for f in PROGRAM_FILES + ["install.cmd", "uninstall.cmd"]))
        # cmd misreads labels in scripts with bare LF line ends; Notepad
        # shows the licence and the notices, which must be the project's.
        for name in ("install.cmd", "uninstall.cmd", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"):
            text = pathlib.Path(self.folder, name).read_bytes()
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
            if name.endswith(".txt"):
                source = pathlib.Path(pkgtest.env("QUORVIA_SOURCE_DIR"), name[:-4]).read_bytes()
                self.assertEqual(text.replace(b"\r\n", b"\n"), source, name)

    def test_install_and_uninstall_per_user_and_per_machine_leave_other_hosts(self):
        # Another host, Chrome IDs alone: the Chromium family only.
        self.script("install.cmd", "--name", OTHER_NAME, "--chrome-ids", CHROME_ID)
        self.assertEqual(pkgtest.read_json(f"{self.folder}/{OTHER_NAME}.chrome.json")["name"], OTHER_NAME)
        # Names that would make reg delete reach other hosts' keys.
        for name in ("", "..\\" + OTHER_NAME, "Org.Example", "*"):
            self.script("uninstall.cmd", "--name", name, check=2)
        # As an administrator's script calls it (Wine would escape quotes
        # passed from here): cmd splits an unquoted a,b at the comma, and a
        # quoted list may have spaces; all forms mean the same.
        deploy = pathlib.Path(self.folder, "deploy-test.cmd")
        self.addCleanup(deploy.unlink)
        for hive, args in (("HKCU", f'--chrome-ids "{CHROME_ID}, {OTHER_CHROME_ID}" --firefox-ids "{FIREFOX_GUID}"'),
                           ("HKLM", f"--system --chrome-ids {CHROME_ID},{OTHER_CHROME_ID} {CHROME_ID} "
                                    f"--firefox-ids {FIREFOX_GUID}")):
            with self.subTest(hive):
                deploy.write_text(f'@call install.cmd {args}\r\n')
                self.script("deploy-test.cmd")
                self.assert_registered(hive, self.win_folder, f"{self.win_folder}\\quorvia-host.exe",
                                       [CHROME_ID, OTHER_CHROME_ID], [FIREFOX_GUID])
                self.script("uninstall.cmd", *(["--system"] if hive == "HKLM" else []))
                self.assertEqual(self.registry(hive), NOWHERE)
                self.assertEqual(self.manifests(), [f"{OTHER_NAME}.chrome.json"])
        self.assertEqual(self.registry("HKCU", OTHER_NAME), {
            b: None if b == "firefox" else f"{self.win_folder}\\{OTHER_NAME}.chrome.json" for b in BROWSER_KEYS})
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
        self.assertEqual(self.registry("HKCU"), NOWHERE)  # keys a refusal wrote would still be there


class Msi(WineCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.msi = cls.windows_path(pkgtest.env("QUORVIA_MSI"))
        cls.install_dir = cls.unix_path(INSTALL_DIR)
        # The same source built twice more with a higher version: rebuilt
        # has the version of newer and a product code of its own, as any build.
        major, minor, patch = pkgtest.env("QUORVIA_VERSION").split(".")
        source = pkgtest.env("QUORVIA_SOURCE_DIR") + "/packaging/windows"
        for name in ("newer", "rebuilt"):
            pkgtest.run([f"{source}/build-msi.sh", f"{source}/quorvia-host.wxs", f"{major}.{minor}.{int(patch) + 1}",
                         pkgtest.env("QUORVIA_MSI_GENDIR"), f"{cls.tmp}/{name}.msi"],
                        cwd=pkgtest.env("QUORVIA_BUILD_DIR"), timeout=300, check=0)
            setattr(cls, name, cls.windows_path(f"{cls.tmp}/{name}.msi"))
        cls.remove_installed()  # what an interrupted run may have left
        cls.addClassCleanup(cls.remove_installed)

    @classmethod
    def products(cls):  # by reg.exe, in a quarter of the time uninstaller.exe --list takes
        lines = cls.wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s", "/v",
                         "DisplayName", "/reg:64").stdout.splitlines()
        return [key.rsplit("\\", 1)[1] for key, value in zip(lines, lines[1:]) if "Quorvia" in value]

    @classmethod
    def remove_installed(cls):
        for product in cls.products():
            cls.wine("msiexec", "/x", product, "/qn", timeout=300)

    def test_refusals_install_repair_upgrade_and_uninstall(self):
        """A machine's life, a row per msiexec run. The IDs given are stored,
        read back when none are given and replaced, both lists, when any are."""
        both = ([CHROME_ID, OTHER_CHROME_ID], [FIREFOX_ID, FIREFOX_GUID])
        evil = self.unix_path("C:\\evil.json")
        # (step, msiexec arguments, spoil the manifests first, exit status (None: any failure),
        #  a new product, the (Chrome, Firefox) IDs then stored and allowed or None: nothing installed)
        rows = [(f"refused {p}", ["/i", self.msi, *p], False, None, False, None) for p in (
            # (Wine's msiexec reads "A= B=" as A set to "B=", so one empty one.)
            [], ["FIREFOX_EXTENSION_IDS="], ["CHROME_EXTENSION_IDS=not-an-extension-id"],
            [f"CHROME_EXTENSION_IDS={CHROME_ID},x"], ["FIREFOX_EXTENSION_IDS=no at sign"],
            # Quoting: a value stays one argument of the manifest writer.
            [f'CHROME_EXTENSION_IDS={CHROME_ID}" --out "C:\\evil.json'],
            [f'CHROME_EXTENSION_IDS={CHROME_ID}" --name "org.evil'],
        )] + [
            ("install", ["/i", self.msi, f"CHROME_EXTENSION_IDS={CHROME_ID},{OTHER_CHROME_ID}",
                         f"FIREFOX_EXTENSION_IDS={FIREFOX_ID},{FIREFOX_GUID}"], False, 0, True, both),
            # What msiexec /fa runs: Wine's msiexec has no /f for an installed product.
            ("repair", ["/i", self.msi, "REINSTALL=ALL", "REINSTALLMODE=a"], True, 0, False, both),
            ("maintenance", ["/i", self.msi], True, 0, False, both),
            ("maintenance, new IDs", ["/i", self.msi, f"CHROME_EXTENSION_IDS={OTHER_CHROME_ID}"],
             False, 0, False, ([OTHER_CHROME_ID], [])),
            ("upgrade", ["/i", self.newer], False, 0, True, ([OTHER_CHROME_ID], [])),
            ("older refused", ["/i", self.msi], False, INSTALL_FAILURE, False, ([OTHER_CHROME_ID], [])),
            ("same version rebuilt, new IDs", ["/i", self.rebuilt, f"FIREFOX_EXTENSION_IDS={FIREFOX_ID}"],
             False, 0, True, ([], [FIREFOX_ID])),
            ("uninstall", ["/x", self.rebuilt], False, 0, False, None),
        ]
        products = []
        for step, args, spoil, status, new, ids in rows:
            with self.subTest(step):
                if spoil:
                    os.remove(f"{self.install_dir}/{NAME}.firefox.json")
                    pathlib.Path(self.install_dir, f"{NAME}.chrome.json").write_text("{}")
                result = self.wine("msiexec", *args, "/qn", timeout=300)
                self.assertTrue(result.returncode != 0 if status is None else result.returncode == status, result)
                products, replaced = self.products(), products
                if ids is None:
                    self.assertEqual([products, *map(os.path.exists, (self.install_dir, evil))], [[], False, False])
                    continue
                self.assertEqual((len(products), products != replaced), (1, new))
                stored = self.reg_values(STORED_IDS_KEY)
                self.assertEqual([stored.get("ChromeExtensionIds"), stored.get("FirefoxExtensionIds")],
                                 [",".join(i) for i in ids])
                manifests = [pkgtest.read_json(f"{self.install_dir}/{NAME}.{f}.json") for f in FAMILIES]
                self.assertEqual([manifests[0]["allowed_origins"], manifests[1]["allowed_extensions"]],
                                 [[f"chrome-extension://{i}/" for i in ids[0]], ids[1]])
                if step == "install":
                    self.assertEqual(sorted(os.listdir(self.install_dir)),
                                     sorted(PROGRAM_FILES + [f"{NAME}.{f}.json" for f in FAMILIES]))
                    self.assert_registered("HKLM", INSTALL_DIR, f"{INSTALL_DIR}\\quorvia-host.exe", *both)
        # Gone with the keys the install created and their parents.
        self.assertEqual(self.registry("HKLM"), NOWHERE)
        for key in ("Quorvia", r"Google\Chrome\NativeMessagingHosts", r"Mozilla\NativeMessagingHosts"):
            self.assertIsNone(self.reg_values(f"HKLM\\Software\\{key}"), key)

    def test_package_is_x64_per_machine_with_secure_ids(self):
        # Wine does not enforce these; Windows does.
        msi = pkgtest.env("QUORVIA_MSI")
        self.assertIn("Template: x64;1033", pkgtest.run(["msiinfo", "suminfo", msi], check=0).stdout)
        export = lambda table: pkgtest.run(["msiinfo", "export", msi, table], check=0).stdout.splitlines()[3:]
        properties = dict(line.split("\t", 1) for line in export("Property"))
        self.assertEqual(properties["ALLUSERS"], "1")
        self.assertLessEqual({"CHROME_EXTENSION_IDS", "FIREFOX_EXTENSION_IDS"},
                             set(properties["SecureCustomProperties"].split(";")))
        for row in export("Component"):
            self.assertTrue(int(row.split("\t")[3]) & 256, f"not a 64-bit component: {row}")


class TimeStampAuthority(http.server.BaseHTTPRequestHandler):
    """RFC 3161 over HTTP, answered by openssl ts with the test CA's TSA key."""
    folder = None
    log_message = lambda *args: None

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "/dev/stdin", "-signer",
                                "tsa.crt", "-inkey", "tsa.key", "-chain", "ca.crt"], input=query,
                               capture_output=True, cwd=self.folder, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply)


class Signed(WineCase):
    """./scripts/package --sign-pkcs12 with a throwaway CA, its code-signing
    certificate, and a time-stamping authority served here."""
    PASSWORD = "not on any command line"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ca = ca = f"{cls.tmp}/ca"
        os.mkdir(ca)
        for name, text in (("password", cls.PASSWORD), ("wrong-password", "something else"),
                           ("req.cnf", "[req]\ndistinguished_name = dn\n[dn]"),
                           ("tsa.cnf", "[tsa]\ndefault_tsa = t\n[t]\nserial = tsa.serial\nsigner_digest = sha256\n"
                                       "default_policy = 1.2.3.4\ndigests = sha256\ness_cert_id_chain = no")):
            pathlib.Path(ca, name).write_text(text + "\n")
        req = ["req", "-config", "req.cnf", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2"]
        openssl = lambda *args: pkgtest.run(["openssl", *args], cwd=ca, check=0)
        openssl(*req, "-keyout", "ca.key", "-out", "ca.crt", "-subj", "/CN=Quorvia Test CA",
                "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign")
        for name, usage in (("code", "codeSigning"), ("tsa", "critical,timeStamping")):
            openssl(*req, "-keyout", f"{name}.key", "-out", f"{name}.crt", "-subj", f"/CN=Quorvia Test {name}",
                    "-CA", "ca.crt", "-CAkey", "ca.key", "-addext", f"extendedKeyUsage={usage}")
        openssl("pkcs12", "-export", "-inkey", "code.key", "-in", "code.crt", "-certfile", "ca.crt",
                "-passout", "file:password", "-out", "code.p12")
        TimeStampAuthority.folder = ca
        tsa = http.server.HTTPServer(("127.0.0.1", 0), TimeStampAuthority)
        threading.Thread(target=tsa.serve_forever, daemon=True).start()
        cls.addClassCleanup(lambda: (tsa.shutdown(), tsa.server_close()))
        # Every command line of the tools that read the password, to look for it there.
        cls.shims = f"{cls.tmp}/shims"
        os.mkdir(cls.shims)
        for tool in ("openssl", "osslsigncode"):
            shim = f'#!/bin/sh\necho "$*" >>{cls.shims}/log\nexec {shutil.which(tool)} "$@"\n'
            pathlib.Path(cls.shims, tool).write_text(shim)
            os.chmod(f"{cls.shims}/{tool}", 0o755)
        cls.out = f"{cls.tmp}/packages"
        result = cls.package(cls.out, "--sign-pkcs12", f"{ca}/code.p12", "--sign-password-file", f"{ca}/password",
                             "--timestamp-url", f"http://127.0.0.1:{tsa.server_port}/", check=0)
        cls.output = result.stdout + result.stderr

    @classmethod
    def package(cls, out, *args, check=None):
        script, path = pkgtest.env("QUORVIA_SOURCE_DIR") + "/scripts/package", f"{cls.shims}:{os.environ['PATH']}"
        return pkgtest.run([script, "--windows-only", "--out", out, *args], timeout=600, check=check,
                           env=dict(os.environ, PATH=path))

    def assert_no_password(self, output):
        self.assertNotIn(self.PASSWORD, output + pathlib.Path(f"{self.shims}/log").read_text())

    def test_programs_and_msi_carry_timestamped_signatures_with_the_chain_and_still_work(self):
        with zipfile.ZipFile(glob.glob(f"{self.out}/*.zip")[0]) as z:
            z.extractall(f"{self.tmp}/zip")
        pkgtest.run(["msiextract", "-C", f"{self.tmp}/msi", f"{self.out}/quorvia-host.msi"], check=0)
        signed = [f"{self.out}/quorvia-host.msi", *glob.glob(f"{self.tmp}/*/*/*.exe")]
        self.assertEqual(len(signed), 7)
        self.assert_no_password(self.output)
        for path in signed:
            with self.subTest(path):
                result = pkgtest.run(["osslsigncode", "verify", "-CAfile", f"{self.ca}/ca.crt", "-TSA-CAfile",
                                      f"{self.ca}/ca.crt", "-in", path])
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn("Timestamp Server Signature verification: ok", result.stdout)
                # The chain travels in the signature, for machines that lack the issuer.
                pkgtest.run(["osslsigncode", "extract-signature", "-pem", "-in", path, "-out", f"{path}.p7"], check=0)
                self.assertIn("subject=CN = Quorvia Test CA\n", pkgtest.run(
                    ["openssl", "pkcs7", "-in", f"{path}.p7", "-print_certs", "-noout"], check=0).stdout)
        # One byte changed where the signature covers it (the middle of a
        # program's code) must fail verification.
        tampered = bytearray(pathlib.Path(signed[1]).read_bytes())
        tampered[len(tampered) // 2] ^= 1
        pathlib.Path(f"{self.tmp}/tampered.exe").write_bytes(tampered)
        self.assertNotEqual(pkgtest.run(["osslsigncode", "verify", "-CAfile", f"{self.ca}/ca.crt", "-in",
                                         f"{self.tmp}/tampered.exe"]).returncode, 0)
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
                os.makedirs(f"{self.tmp}/failed", exist_ok=True)
                result = self.package(f"{self.tmp}/failed", *args)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assert_no_password(result.stdout + result.stderr)
                self.assertEqual([p for p in os.listdir(self.tmp) if p.startswith("failed")], [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
