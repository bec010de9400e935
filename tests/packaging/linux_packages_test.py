#!/usr/bin/env python3
"""The Linux packaging, never installed on this machine: install.sh and uninstall.sh with HOME and --root in
a scratch folder, the Debian package unpacked, the RPMs installed into a scratch root. Expected: the .tsv files."""

import filecmp, glob, json, os, pathlib, re, shlex, shutil, subprocess, tempfile, unittest

import pkgtest
from pkgtest import CHROME_ID, FIREFOX_GUID, FIREFOX_ID, NAME, OTHER_CHROME_ID, table

HERE = os.path.dirname(os.path.abspath(__file__))

USER_DIRS = dict(chrome=".config/google-chrome/NativeMessagingHosts", chromium=".config/chromium/NativeMessagingHosts",
                 edge=".config/microsoft-edge/NativeMessagingHosts", firefox=".mozilla/native-messaging-hosts")
CONTENTS = table("linux_package_contents.tsv")
# Where the packages, and install.sh --system, put the manifests.
SYSTEM_DIRS = [os.path.dirname(path) for path, *_ in CONTENTS if path.endswith(f"/{NAME}.json")]
HOST = "/usr/lib/quorvia/quorvia-host"


def deb_listing(ids):
    return {path: f"{mode} root/root" for path, mode, deb, _ in CONTENTS if deb == "all" or ids and deb == "ids"}


def rpm_paths(*kinds):
    return sorted("/" + path.split(" -> ")[0].rstrip("/") for path, _, _, rpm in CONTENTS if rpm in kinds)


def files_under(top):
    return sorted(os.path.relpath(os.path.join(folder, n), top) for folder, _, names in os.walk(top) for n in names)


def user_manifests(browsers, name=NAME):
    return sorted(f"{USER_DIRS[b]}/{name}.json" for b in browsers.split())


def stage_manifests(root, folders, perl=True):
    """Copies postrm/'s manifests into every folder: ours-* name this host as their "path", however the JSON is
    spaced or escaped; theirs-* mention it elsewhere, or a longer path. Only perl reads *-perl.json right."""
    staged = []
    for folder in folders:
        os.makedirs(os.path.join(root, folder), exist_ok=True)
        for name in sorted(os.listdir(os.path.join(HERE, "postrm"))):
            if perl or not name.endswith("-perl.json"):
                staged.append(shutil.copy(os.path.join(HERE, "postrm", name), os.path.join(root, folder)))
    return staged


def ids_build():
    """A build with extension IDs given at configuration, beside the test build: a second run only relinks."""
    build, cmake = os.path.join(pkgtest.env("QUORVIA_BUILD_DIR"), "package-ids"), pkgtest.env("QUORVIA_CMAKE")
    pkgtest.run([cmake, "-S", pkgtest.env("QUORVIA_SOURCE_DIR"), "-B", build, "-G", "Ninja", "-DBUILD_TESTING=OFF",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo", f"-DQUORVIA_CHROME_EXTENSION_IDS={CHROME_ID},{OTHER_CHROME_ID}",
                 f"-DQUORVIA_FIREFOX_EXTENSION_IDS={FIREFOX_ID}"], timeout=300, check=0)
    pkgtest.run([cmake, "--build", build, "--target", "quorvia-host", "quorvia-nm", "quorvia-manifest",
                 "deb-manifests", "sbom"], timeout=900, check=0)
    return build


def assert_answers(test, host, runner=()):
    """The host, started as a browser starts it, answers with a document that decrypts."""
    key = pkgtest.random_key(32)
    request = json.dumps({"command": "DeviceInfo", "version": 1, "key": key}).encode()
    answer = subprocess.run([*runner, host, f"chrome-extension://{CHROME_ID}/"], timeout=60,
                            input=len(request).to_bytes(4, "little") + request, capture_output=True)
    decoded = subprocess.run([pkgtest.env("QUORVIA_NM"), "decode", "--key", key], input=answer.stdout,
                             capture_output=True, timeout=60)
    test.assertEqual([k for k, _ in pkgtest.parse_nm_document(decoded.stdout.decode())], pkgtest.DOCUMENT_KEYS)


def unpack(deb, tmp):
    """dpkg-deb's listing as {path: "mode owner"}; the files go to tmp/tree, the control files to tmp/control."""
    lines = (line.split(None, 5) for line in pkgtest.run(["dpkg-deb", "-c", deb], check=0).stdout.splitlines())
    listing = {path.removeprefix("./"): f"{mode} {owner}" for mode, owner, *_, path in lines if path != "./"}
    for option, folder in (("-x", "tree"), ("-e", "control")):
        pkgtest.run(["dpkg-deb", option, deb, os.path.join(tmp, folder)], check=0)
    return listing


class Scripts(unittest.TestCase):
    def setUp(self):
        self.host = pkgtest.env("QUORVIA_HOST")
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix="quorvia-scripts-"))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.home, self.root = os.path.join(self.tmp, "home"), os.path.join(self.tmp, "root")
        # An exported CDPATH makes cd print the folder it found, when the script is run by a relative path.
        self.env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"} | {"HOME": self.home, "CDPATH": "."}
        self.scratch()

    def scratch(self):
        """An empty home, and images for --root that hold the host at /opt/q/host."""
        shutil.rmtree(self.tmp)
        for folder in ("home", "root/opt/q", "root64/opt/q", "root64/usr/lib64"):
            os.makedirs(os.path.join(self.tmp, folder))
        for root in ("root", "root64"):
            shutil.copy(self.host, os.path.join(self.tmp, root, "opt/q/host"))

    def words(self, text):
        """Shell words, once pkgtest's names, {host}, {tmp}, {root} and {newline} are filled in."""
        return shlex.split(text.format(**vars(pkgtest), host=self.host, tmp=self.tmp, root=self.root, newline="\n"))

    def script(self, name, *args, check=0, env=None):
        top, folder = os.path.split(os.path.dirname(self.host))
        return pkgtest.run([f"{folder}/{name}", *args], env=env or self.env, cwd=top, check=check)

    def test_install_writes_the_manifest_where_each_browser_looks_and_uninstall_removes_it(self):
        # Lists may be comma or space separated and repeated; duplicates go.
        ids = {False: {"chrome_ids": [CHROME_ID, OTHER_CHROME_ID]}, True: {"firefox_ids": [FIREFOX_ID, FIREFOX_GUID]}}
        images = ["root/opt/q/host", "root64/opt/q/host"]
        for install, config, uninstall, folders in table("install_sh_browsers.tsv"):
            with self.subTest(install=install, config=config):
                self.scratch()  # whatever a failed row left
                env = self.env | ({"XDG_CONFIG_HOME": os.path.join(self.tmp, config)} if config else {})
                self.script("install.sh", *self.words(install), env=env)
                manifests = [f"{folder}/{NAME}.json" for folder in folders.split()]
                self.assertEqual(files_under(self.tmp), sorted(manifests + images))
                # With --root, --host is the host's place inside the image.
                host = "/opt/q/host" if "--root" in install else self.host
                for path in (os.path.join(self.tmp, manifest) for manifest in manifests):
                    self.assertEqual(pkgtest.read_json(path), pkgtest.manifest(host, **ids["mozilla" in path]))
                    # Browsers run as other users must be able to read it.
                    self.assertEqual(os.stat(path).st_mode & 0o777, 0o644)
                self.script("uninstall.sh", *self.words(uninstall), env=env)
                self.assertEqual(files_under(self.tmp), images)

    def test_installing_again_replaces_and_uninstall_removes_its_own_name_and_browsers_only(self):
        other, odd = "org.example.other_2", os.path.join(self.tmp, 'a "quoted" \\dir & @ALLOWED@ @NAME@')
        self.script("install.sh", "--host", self.host, "--chrome-ids", CHROME_ID, "--firefox-ids", FIREFOX_ID)
        self.script("install.sh", "--host", self.host, "--name", other, "--chrome-ids", CHROME_ID)
        # The manifest names the host's absolute path, literally.
        os.makedirs(odd)
        copy = shutil.copy(self.host, odd)
        self.script("install.sh", "--host", os.path.relpath(copy, os.path.dirname(os.path.dirname(self.host))),
                    "--chrome-ids", OTHER_CHROME_ID)
        self.assertEqual(pkgtest.read_json(f"{self.home}/{USER_DIRS['edge']}/{NAME}.json"),
                         pkgtest.manifest(copy, [OTHER_CHROME_ID]))
        others = user_manifests("chrome chromium edge", other)
        self.script("uninstall.sh", "--browsers", "chrome")
        self.assertEqual(files_under(self.home), sorted(user_manifests("chromium edge firefox") + others))
        self.script("uninstall.sh")
        self.assertEqual(files_under(self.home), others)
        self.assertIn("not registered", self.script("uninstall.sh").stdout)
        # A name that could reach beyond the folders is refused.
        for name in ("../../chromium/NativeMessagingHosts/" + other, "", "Org.Example.Other_2"):
            self.assertIn("invalid host name", self.script("uninstall.sh", "--name", name, check=2).stderr, name)
        self.assertEqual(files_under(self.home), others)

    def test_every_script_answers_help_and_refuses_an_unknown_argument_before_doing_anything(self):
        called, bin = os.path.join(self.tmp, "called"), os.path.join(self.tmp, "bin")
        os.makedirs(bin)  # stand-ins that note a build, an installation or a Wine start
        for tool in ("cmake", "ctest", "apt-get", "dpkg-query", "sudo", "wineboot", "wineserver", "wine", "wixl"):
            pathlib.Path(bin, tool).write_text(f"#!/bin/sh\necho {tool} >>{called}\nexit 1\n")
            os.chmod(os.path.join(bin, tool), 0o755)
        env = self.env | {"PATH": f"{bin}:{os.environ['PATH']}"}
        for script in ("scripts/test", "scripts/demo", "scripts/bench", "scripts/fuzz", "scripts/package",
                       "scripts/install-deps", "scripts/wine-env", "packaging/linux/install.sh",
                       "packaging/linux/uninstall.sh", "packaging/windows/build-msi.sh"):
            with self.subTest(script):
                path = os.path.join(pkgtest.env("QUORVIA_SOURCE_DIR"), script)
                self.assertIn("usage: ", pkgtest.run([path, "--help"], env=env, check=0).stdout)
                self.assertIn("unknown argument '--bogus'", pkgtest.run([path, "--bogus"], env=env, check=2).stderr)
        self.assertFalse(os.path.exists(called))

    def test_mistakes_are_refused_with_a_reason_and_nothing_written(self):
        for args, unset, message in table("install_sh_refusals.tsv"):
            with self.subTest(args=args):
                # A file where a folder should be: root may write anywhere else.
                self.scratch()
                os.makedirs(os.path.join(self.root, "etc/opt"))
                open(os.path.join(self.root, "etc/opt/chrome"), "w").close()
                env = {k: v for k, v in self.env.items() if k != unset}
                self.assertIn(message, self.script("install.sh", *self.words(args), env=env, check=2).stderr)
                self.assertEqual(files_under(self.tmp), ["root/etc/opt/chrome", "root/opt/q/host", "root64/opt/q/host"])


class DebianPackage(unittest.TestCase):
    """The plain package, and one with extension IDs given at build time."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-deb-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.source, cls.plain, cls.ids = pkgtest.env("QUORVIA_SOURCE_DIR"), f"{cls.tmp}/plain", f"{cls.tmp}/ids"
        cls.deb, cls.ids_deb = pkgtest.cpack("DEB", cls.plain), pkgtest.cpack("DEB", cls.ids, ids_build())
        cls.listing, cls.ids_listing = unpack(cls.deb, cls.plain), unpack(cls.ids_deb, cls.ids)
        cls.tree = os.path.realpath(os.path.join(cls.plain, "tree"))

    def test_control_fields_contents_and_the_build_time_manifests_as_conffiles(self):
        fields = pkgtest.run(["dpkg-deb", "-f", self.deb, "Package", "Version", "Architecture", "Depends"], check=0)
        arch = pkgtest.run(["dpkg", "--print-architecture"], check=0).stdout.strip()
        self.assertRegex(fields.stdout, f"^Package: quorvia-host\nVersion: {pkgtest.env('QUORVIA_VERSION')}\n"
                                        f"Architecture: {arch}\nDepends: .*libc6")
        self.assertEqual(self.listing, deb_listing(ids=False))
        self.assertEqual(sorted(os.listdir(f"{self.plain}/control")), ["control", "md5sums", "postrm"])
        self.assertEqual(self.ids_listing, deb_listing(ids=True))
        for path in (path for path, _, deb, _ in CONTENTS if deb == "ids" and path.endswith(".json")):
            ids = {"firefox_ids": [FIREFOX_ID]} if "mozilla" in path else {"chrome_ids": [CHROME_ID, OTHER_CHROME_ID]}
            self.assertEqual(pkgtest.read_json(os.path.join(self.ids, "tree", path)), pkgtest.manifest(HOST, **ids))
        # dpkg keeps an administrator's edits under /etc on upgrade.
        with open(os.path.join(self.ids, "control", "conffiles")) as f:
            self.assertEqual(sorted(f.read().split()), rpm_paths("conf"))

    def test_lintian_is_clean_and_the_licence_and_notices_are_shipped(self):
        for deb in (self.deb, self.ids_deb):
            result = pkgtest.run(["lintian", "--fail-on", "error,warning", deb], timeout=600)
            self.assertEqual(result.returncode, 0, f"{deb}:\n{result.stdout}{result.stderr}")
        doc = os.path.join(self.tree, "usr/share/doc/quorvia-host")
        with open(os.path.join(self.source, "LICENSE")) as f, open(os.path.join(doc, "copyright")) as c:
            licence, copyright_file = f.read(), c.read()
        for line in filter(None, licence.splitlines()):
            self.assertIn(f"\n {line}\n", copyright_file)
        self.assertTrue(filecmp.cmp(os.path.join(self.source, "THIRD-PARTY-NOTICES"),
                                    os.path.join(doc, "THIRD-PARTY-NOTICES"), shallow=False))

    def test_the_bills_of_materials_name_every_component_the_linker_maps_show(self):
        builds = {"linux": self.tree + "/usr/share/doc/quorvia-host", "arm64": os.environ.get("QUORVIA_ARM64_BUILD"),
                  "windows": os.environ.get("QUORVIA_WINDOWS_BUILD")}
        for name, folder in filter(lambda item: item[1], builds.items()):
            with self.subTest(name):
                build = pkgtest.env("QUORVIA_BUILD_DIR") if name == "linux" else folder
                sbom = pkgtest.read_json(glob.glob(f"{folder}/**/quorvia-host.spdx.json", recursive=True)[0])
                self.assertEqual((sbom["spdxVersion"], sbom["packages"][0]["name"]), ("SPDX-2.3", "quorvia-host"))
                named = "\n".join(p.get("sourceInfo", "") for p in sbom["packages"])
                for linker_map in glob.glob(f"{build}/maps/*.map"):
                    text = pathlib.Path(linker_map).read_text(errors="replace")
                    for path in set(re.findall(r"^(/\S+?)\(", text, re.M) + re.findall(r"^LOAD (/\S+\.o)$", text, re.M)):
                        self.assertIn(os.path.normpath(path), named, linker_map)
                for builds_, package, path in table("sbom_components.tsv"):
                    if name in builds_.split(","):
                        [entry] = [p for p in sbom["packages"] if re.fullmatch(package, p["name"])]
                        versions = pkgtest.run(["dpkg-query", "-W", "-f", "${Version}\n", entry["name"]]).stdout
                        self.assertIn(entry["versionInfo"], versions.split())
                        self.assertIn(path + " (", entry["sourceInfo"])
                        self.assertNotEqual(entry["licenseDeclared"], "NOASSERTION")

    def test_packaged_client_and_install_script_find_the_packaged_host(self):
        host, home = os.path.join(self.tree, "usr/lib/quorvia/quorvia-host"), os.path.join(self.tmp, "home")
        result = pkgtest.run([f"{self.tree}/usr/bin/quorvia-nm", "call", "--key", pkgtest.random_key(32)], check=0)
        self.assertIn(host, result.stdout)
        self.assertEqual([k for k, _ in pkgtest.parse_nm_document(result.stdout)], pkgtest.DOCUMENT_KEYS)
        pkgtest.run([f"{self.tree}/usr/lib/quorvia/install.sh", "--chrome-ids", CHROME_ID],
                    env=dict(os.environ, HOME=home), check=0)
        self.assertEqual(pkgtest.read_json(f"{home}/{USER_DIRS['chromium']}/{NAME}.json")["path"], host)

    def test_purge_removes_the_manifests_of_this_host_only(self):
        # Run against a staged root through DPKG_ROOT, as dpkg runs it for one.
        staged = stage_manifests(os.path.join(self.tmp, "purged"), SYSTEM_DIRS)
        theirs = [path for path in staged if "/theirs-" in path]
        for action, kept in (("remove", staged), ("upgrade", staged), ("purge", theirs)):
            pkgtest.run(["sh", os.path.join(self.source, "packaging/debian/postrm"), action],
                        env=dict(os.environ, DPKG_ROOT=os.path.join(self.tmp, "purged")), check=0)
            self.assertEqual([path for path in staged if os.path.exists(path)], kept, action)


class RpmAndArm64Packages(unittest.TestCase):
    """The RPMs, x86-64 plain and with IDs and (with QUORVIA_ARM64_BUILD) arm64, installed into a scratch root
    whose only program is a static busybox for the scriptlet; and the arm64 .deb."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-rpm-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        # (build, arch, runner, the dynamic loader it needs, rows of the contents table)
        x86 = ("x86_64", [], "ld-linux-x86-64.so.2()(64bit)")
        builds = [(pkgtest.env("QUORVIA_BUILD_DIR"), *x86, ("all",)), (ids_build(), *x86, ("all", "ids", "conf"))]
        if arm64 := os.environ.get("QUORVIA_ARM64_BUILD"):
            builds.append((arm64, "aarch64", [pkgtest.env("QUORVIA_QEMU")], "ld-linux-aarch64.so.1()(64bit)", ("all",)))
            cls.arm64_deb = pkgtest.cpack("DEB", os.path.join(cls.tmp, "deb"), arm64)
        cls.rows = [(pkgtest.cpack("RPM", f"{cls.tmp}/{i}", build), *rest) for i, (build, *rest) in enumerate(builds)]

    def test_contents_scriptlet_requirements_and_an_install_that_answers_and_erases_cleanly(self):
        with open(os.path.join(pkgtest.env("QUORVIA_SOURCE_DIR"), "packaging/debian/postrm")) as f:
            erase_script = ["preuninstall scriptlet (using /bin/sh):", *f.read().rstrip("\n").splitlines()]
        for rpm, arch, runner, loader, kinds in self.rows:
            with self.subTest(rpm):
                query = lambda *what: pkgtest.run(["rpm", "-qp", *what, rpm], check=0).stdout.splitlines()
                self.assertEqual(query("--qf", "%{NAME} %{VERSION} %{ARCH}"),
                                 [f"quorvia-host {pkgtest.env('QUORVIA_VERSION')} {arch}"])
                self.assertEqual(query("--list"), rpm_paths(*kinds))
                self.assertEqual(query("--configfiles"), rpm_paths("conf") if "conf" in kinds else [])
                self.assertEqual(query("--scripts"), erase_script)
                requires = query("--requires")
                self.assertTrue({"/bin/sh", "libc.so.6()(64bit)", loader} <= set(requires), requires)
                # The C++ runtime and the crypto library are linked in.
                self.assertFalse([r for r in requires if r.startswith(("libstdc", "libgcc", "libnettle", "libmbed"))])

                root = tempfile.mkdtemp(dir=self.tmp)
                for folder in ("bin", "etc/opt", "usr/bin", "usr/lib", "usr/lib64", "var/tmp"):
                    os.makedirs(os.path.join(root, folder))
                shutil.copy(shutil.which("busybox"), os.path.join(root, "bin"))
                for tool in ("sh", "grep", "rm"):
                    os.symlink("busybox", os.path.join(root, "bin", tool))
                before = files_under(root)
                rpm_root = ["rpm", "--root", root, "--dbpath", "/var/lib/rpm"]
                pkgtest.run([*rpm_root, "-i", "--nodeps", "--ignorearch", rpm], check=0)
                assert_answers(self, root + HOST, runner)
                # What install.sh --system may have left; busybox has no perl.
                staged = stage_manifests(root, SYSTEM_DIRS, perl=False)
                pkgtest.run([*rpm_root, "-e", "quorvia-host"], check=0)
                self.assertEqual([p for p in files_under(root) if not p.startswith("var/lib/rpm/")],
                                 sorted(before + [os.path.relpath(p, root) for p in staged if "/theirs-" in p]))

    @unittest.skipUnless(os.environ.get("QUORVIA_ARM64_BUILD"), "no arm64 build")
    def test_arm64_debian_package(self):
        fields = pkgtest.run(["dpkg-deb", "-f", self.arm64_deb, "Architecture", "Depends"], check=0).stdout
        self.assertEqual(fields.splitlines()[0], "Architecture: arm64")
        self.assertIn("libc6", fields)
        self.assertEqual(unpack(self.arm64_deb, os.path.join(self.tmp, "deb")), deb_listing(ids=False))


if __name__ == "__main__":
    unittest.main(verbosity=2)
