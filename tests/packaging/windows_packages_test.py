#!/usr/bin/env python3
"""The Windows packages (the ZIP's scripts, the MSI, both signed) under Wine, as rows of windows_cases.json."""

import glob, http.server, json, os, pathlib, re, shutil, string, subprocess, tempfile, threading, unittest, zipfile

import pkgtest

CASES = pkgtest.read_json(os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_cases.json"))
FAMILIES, NAME, INSTALL_DIR = ("chrome", "firefox"), pkgtest.NAME, r"C:\Program Files\Quorvia"


def cases(section, **names):
    """A section of windows_cases.json, its $NAMEs taken from names or pkgtest."""
    names = {k: json.dumps(v)[1:-1] for k, v in {**vars(pkgtest), **names}.items() if isinstance(v, str)}
    return json.loads(string.Template(json.dumps(CASES[section])).substitute(names))


class WineCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.runner, cls.tmp = pkgtest.env("QUORVIA_RUNNER"), tempfile.mkdtemp(prefix="quorvia-windows-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.addClassCleanup(pkgtest.private_wine_prefix(f"{cls.tmp}/wineprefix"))

    @classmethod
    def wine(cls, program, *args, **kwargs):
        # Named bare, Wine's own programs start through start.exe, a second process.
        return pkgtest.run([cls.runner, f"C:\\windows\\system32\\{program}.exe", *args], **kwargs)

    @classmethod
    def reg_values(cls, key):
        """A key's string values in the 64-bit view, the default one as "(Default)"; None: no such key."""
        result = cls.wine("reg", "query", key, "/reg:64")
        rows = [line.split(None, 2) + [""] for line in result.stdout.splitlines() if "REG_SZ" in line]
        return None if result.returncode else {row[0]: row[2] for row in rows}

    def assert_keys(self, hive, folder, families, name=NAME):
        """Each browsers' key for name in hive names its family's manifest in folder, if that family or key is given."""
        found = {b: None if (v := self.reg_values(f"{hive}\\{k}\\NativeMessagingHosts\\{name}")) is None
                 else v.get("(Default)", "") for b, (k, _) in CASES["browsers"].items()}
        self.assertEqual(found, {b: f"{folder}\\{name}.{f}.json" if f in families or b in families else None
                                 for b, (_, f) in CASES["browsers"].items()}, f"{hive} {name}")

    def assert_registered(self, hive, folder, local, chrome_ids, firefox_ids):
        """Registered in hive alone; the manifests in folder (here: local) allow the IDs and lead to the host."""
        self.assert_keys(hive, folder, FAMILIES)
        self.assert_keys("HKCU" if hive == "HKLM" else "HKLM", folder, ())
        host = f"{folder}\\quorvia-host.exe"
        self.assertEqual([pkgtest.read_json(f"{local}/{NAME}.{f}.json") for f in FAMILIES],
                         [pkgtest.manifest(host, chrome_ids), pkgtest.manifest(host, firefox_ids=firefox_ids)])
        document = pkgtest.host_document([self.runner, f"{local}/quorvia-nm.exe"], host, pkgtest.random_key(24))
        self.assertEqual([k for k, _ in document], pkgtest.DOCUMENT_KEYS)


class Zip(WineCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.zip = pkgtest.cpack("ZIP", f"{cls.tmp}/zip")
        cls.top = f"quorvia-host-{pkgtest.env('QUORVIA_VERSION')}-win64"
        # Unpacked where spaces, % ^ & ! and parentheses test the scripts' quoting.
        cls.folder = f"{cls.tmp}/Quorvia 100% ^ & ! (x86)/{cls.top}"
        zipfile.ZipFile(cls.zip).extractall(os.path.dirname(cls.folder))
        # The same folder by a path Wine's cmd can run a script from (it mangles a % there), and a folder to run from.
        os.symlink(cls.folder, f"{cls.tmp}/by path")
        os.makedirs(f"{cls.tmp}/elsewhere")

    def test_contents_crlf_scripts_and_notices(self):
        self.assertEqual(sorted(n for n in zipfile.ZipFile(self.zip).namelist() if not n.endswith("/")),
                         sorted(f"{self.top}/{f}" for f in CASES["zip_files"]))
        # cmd misreads labels after bare LF line ends; Notepad shows the licence and the notices.
        for name in ("install.cmd", "uninstall.cmd", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"):
            text = pathlib.Path(self.folder, name).read_bytes()
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
            if name.endswith(".txt"):
                source = pathlib.Path(pkgtest.env("QUORVIA_SOURCE_DIR"), name[:-4]).read_bytes()
                self.assertEqual(text.replace(b"\r\n", b"\n"), source, name)

    def test_scripts_register_refuse_and_unregister(self):
        """A row per command: its status and messages, the manifests then in the folder (as the last row naming
        them says) and the keys. The last rows remove what the others registered."""
        folder, manifests = "Z:" + self.folder.replace("/", "\\"), []
        for row in cases("zip_runs", PLAIN="Z:" + f"{self.tmp}/by path".replace("/", "\\"), TOP=self.top):
            with self.subTest(row["run"]):
                # In an administrator's script (Wine would escape quotes passed from here; its call loses the exit
                # status), run from its folder as a user would, or from another: cmd /c takes no path with an &.
                cwd = os.path.normpath(os.path.join(self.folder, row.get("from", ".")))
                pathlib.Path(cwd, "deploy.cmd").write_text(f"@{row['run']}\r\n")
                result = self.wine("cmd", "/c", "deploy.cmd", check=row.get("status", 0), cwd=cwd)
                self.assertTrue(all(row.get(k, "") in getattr(result, k) for k in ("stdout", "stderr")), result)
                manifests = row.get("manifests", manifests)  # the file names, and the host names they hold
                found = [p for p in glob.glob(f"{self.folder}/*.json") if not p.endswith(".spdx.json")]
                self.assertEqual(sorted((os.path.basename(p), pkgtest.read_json(p)["name"]) for p in found),
                                 sorted((m, m.rsplit(".", 2)[0]) for m in manifests))
                if "registered" in row:
                    self.assert_registered(row["registered"][0], folder, self.folder, *row["registered"][1:])
                if "keys" in row:
                    self.assert_keys(row["keys"][0], row.get("folder", folder), *row["keys"][1:])


class Msi(WineCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Built twice more with a higher version: rebuilt has newer's, and other content (a rebuild without a new
        # version), hence a product code of its own; the codes follow the version and the files.
        major, minor, patch = pkgtest.env("QUORVIA_VERSION").split(".")
        source = pkgtest.env("QUORVIA_SOURCE_DIR") + "/packaging/windows"
        gendir = shutil.copytree(os.path.join(pkgtest.env("QUORVIA_SHIPPED_DIR"), pkgtest.env("QUORVIA_MSI_GENDIR")),
                                 f"{cls.tmp}/rebuilt-gen")
        with open(f"{gendir}/THIRD-PARTY-NOTICES.txt", "a") as f:
            f.write("\r\n")
        for name, files in (("newer", pkgtest.env("QUORVIA_MSI_GENDIR")), ("rebuilt", gendir)):
            pkgtest.run([f"{source}/build-msi.sh", f"{source}/quorvia-host.wxs", f"{major}.{minor}.{int(patch) + 1}",
                         files, f"{cls.tmp}/{name}.msi"],
                        cwd=pkgtest.env("QUORVIA_SHIPPED_DIR"), timeout=300, check=0)
        cls.install_dir = cls.wine("winepath", "-u", INSTALL_DIR, check=0).stdout.strip()

    @classmethod
    def products(cls):  # by reg.exe, in a quarter of the time uninstaller.exe --list takes
        lines = cls.wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s", "/v",
                         "DisplayName", "/reg:64").stdout.splitlines()
        return [key.rsplit("\\", 1)[1] for key, value in zip(lines, lines[1:]) if "Quorvia" in value]

    def test_refusals_install_repair_upgrade_and_uninstall(self):
        """A machine's life, a row per msiexec run: its exit status (none: any failure), what its verbose log must say,
        whether a new product replaced the old, the (Chrome, Firefox) IDs then stored and allowed (none: nothing
        installed), and whether the host must still answer as registered."""
        products = []
        msis = dict(MSI=pkgtest.env("QUORVIA_MSI"), NEWER=f"{self.tmp}/newer.msi", REBUILT=f"{self.tmp}/rebuilt.msi")
        for run in cases("msi_runs", **{k: "Z:" + path.replace("/", "\\") for k, path in msis.items()}):
            with self.subTest(run["step"]):
                for name in run.get("spoil", ()):  # a repair must write the manifests again
                    pathlib.Path(self.install_dir, name).write_text("{}")
                log = pathlib.Path(self.tmp, "msiexec.log")
                log.unlink(missing_ok=True)
                result, status = self.wine("msiexec", *run["args"], "/qn", "/l*v", "Z:" + str(log).replace("/", "\\"),
                                           timeout=300), run.get("status")
                self.assertTrue(result.returncode != 0 if status is None else result.returncode == status % 256, result)
                with self.subTest(run["step"], log=True):  # on its own: a failed one must not hide what follows
                    self.assertIn(run.get("log", ""), log.read_text(encoding="latin-1"))
                products, replaced = self.products(), products
                if "ids" not in run:
                    self.assertEqual([products, os.path.exists(self.install_dir)], [[], False])
                    continue
                self.assertEqual((len(products), products != replaced), (1, run["new"]))
                stored = self.reg_values(r"HKLM\Software\Quorvia\DeviceInformationHost")
                chrome, firefox = (pkgtest.read_json(f"{self.install_dir}/{NAME}.{f}.json") for f in FAMILIES)
                self.assertEqual([stored.get("ChromeExtensionIds"), stored.get("FirefoxExtensionIds"),
                                  chrome["allowed_origins"], firefox["allowed_extensions"]],
                                 [*map(",".join, run["ids"]), [f"chrome-extension://{i}/" for i in run["ids"][0]],
                                  run["ids"][1]])
                if run["step"] == "install":
                    self.assertEqual(sorted(os.listdir(self.install_dir)), CASES["msi_files"])
                if run["step"] == "install" or run.get("working"):
                    self.assert_registered("HKLM", INSTALL_DIR, self.install_dir, *run["ids"])
        # Gone with the keys the install created and their parents.
        self.assert_keys("HKLM", INSTALL_DIR, ())
        self.assertEqual({k: self.reg_values(f"HKLM\\Software\\{k}") for k in CASES["msi_parent_keys"]},
                         dict.fromkeys(CASES["msi_parent_keys"]))

    def test_package_is_x64_per_machine_with_secure_ids(self):
        # Wine does not enforce these; Windows does. A row: msiinfo's arguments, a pattern, whether it must match.
        for args, pattern, present in cases("msi_tables", MSI=pkgtest.env("QUORVIA_MSI")):
            output = pkgtest.run(["msiinfo", *args], check=0).stdout
            self.assertEqual(re.search(pattern, output) is not None, present, f"{pattern!r} in {output}")


class TimeStampAuthority(http.server.BaseHTTPRequestHandler):  # RFC 3161, by openssl ts with the CA's TSA key
    folder, log_message = None, lambda *args: None

    def do_POST(self):
        reply = subprocess.run(CASES["tsa_reply"], input=self.rfile.read(int(self.headers["Content-Length"])),
                               capture_output=True, cwd=self.folder, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply)


class Signed(WineCase):
    """./scripts/package --sign-pkcs12 with a throwaway CA, its code-signing certificate and a TSA served here."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ca = TimeStampAuthority.folder = cls.tmp
        # The CA's files; among them shims, first on the path, log the command lines of the tools reading the password.
        for name, text in CASES["ca_files"].items():
            (path := pathlib.Path(cls.ca, name)).write_text(text + "\n")
            path.chmod(0o755)
        for args in CASES["ca_openssl"]:
            pkgtest.run(["openssl", *args], cwd=cls.ca, check=0)
        tsa = http.server.HTTPServer(("127.0.0.1", 0), TimeStampAuthority)
        threading.Thread(target=tsa.serve_forever, daemon=True).start()
        cls.addClassCleanup(lambda: (tsa.shutdown(), tsa.server_close()))
        cls.output = str(cls.package(f"{cls.tmp}/packages", "--sign-pkcs12", f"{cls.ca}/code.p12",
                                     "--sign-password-file", f"{cls.ca}/password", "--timestamp-url",
                                     f"http://127.0.0.1:{tsa.server_port}/", check=0))

    @classmethod
    def package(cls, out, *args, check=None):
        script, path = pkgtest.env("QUORVIA_SOURCE_DIR") + "/scripts/package", f"{cls.ca}:{os.environ['PATH']}"
        return pkgtest.run([script, "--windows-only", "--out", out, *args], timeout=600, check=check,
                           env=dict(os.environ, PATH=path))

    def test_programs_and_msi_carry_timestamped_signatures_with_the_chain(self):
        zipfile.ZipFile(glob.glob(f"{self.tmp}/packages/*-win64.zip")[0]).extractall(f"{self.tmp}/zip")
        pkgtest.run(["msiextract", "-C", f"{self.tmp}/msi", f"{self.tmp}/packages/quorvia-host.msi"], check=0)
        signed = [f"{self.tmp}/packages/quorvia-host.msi", *glob.glob(f"{self.tmp}/*/*/*.exe")]
        self.assertEqual(len(signed), 7)
        self.assertNotIn(CASES["ca_files"]["password"], self.output + pathlib.Path(self.ca, "log").read_text())
        # Each signature verifies, timestamp included, and carries the chain for machines that lack the issuer.
        for path in signed:
            for command, expected in cases("signature_checks", CA=self.ca, FILE=path):
                with self.subTest(command[1], file=os.path.basename(path)):
                    self.assertIn(expected, pkgtest.run(command, check=0).stdout)

    def test_unusable_certificate_or_failed_signing_leaves_no_package(self):
        # In the last row nothing listens at the time-stamping address.
        for args, message in cases("signing_refusals", CA=self.ca):
            with self.subTest(args=args):
                os.makedirs(f"{self.tmp}/failed", exist_ok=True)
                result = self.package(f"{self.tmp}/failed", *args)
                self.assertNotIn(CASES["ca_files"]["password"], str(result) + pathlib.Path(self.ca, "log").read_text())
                left = [p for p in os.listdir(self.tmp) if p.startswith("failed")]
                self.assertEqual([result.returncode != 0, message in result.stderr, left], [True, True, []], result)


if __name__ == "__main__":
    unittest.main(verbosity=2)
