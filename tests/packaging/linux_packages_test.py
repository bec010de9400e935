#!/usr/bin/env python3
"""The Linux packaging, never installed on this machine: install.sh and uninstall.sh with HOME and --root in
a scratch folder, the Debian package unpacked, the RPMs installed into a scratch root. Expected: the .tsv files."""

import filecmp, functools, glob, json, os, pathlib, re, shlex, shutil, subprocess, tempfile, unittest

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


def tree(top):
    """Every file and folder under top, folders ending in /."""
    return sorted([os.path.relpath(folder, top) + "/" for folder, _, _ in os.walk(top)][1:] + files_under(top))


def user_manifests(browsers, name=NAME):
    return sorted(f"{USER_DIRS[b]}/{name}.json" for b in browsers.split())


def stage_manifests(root, folders, perl=True, kinds=("ours", "theirs")):
    """Copies postrm/'s manifests into every folder: ours-* name this host as their "path", however the JSON is
    spaced or escaped; theirs-* mention it elsewhere, or a longer path. Only perl reads *-perl.json right."""
    staged = []
    for folder in folders:
        os.makedirs(os.path.join(root, folder), exist_ok=True)
        for name in sorted(os.listdir(os.path.join(HERE, "postrm"))):
            if (perl or not name.endswith("-perl.json")) and name.startswith(kinds):
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

    def scratch(self, profiles=False):
        """A home (with profiles: Brave's and LibreWolf's, and Vivaldi's in xdg), a profile folder, and images for
        --root that hold the host at /opt/q/host."""
        shutil.rmtree(self.tmp)
        for folder in ("home/.config", "root/opt/q", "root/etc/opt", "root/usr/lib", "root64/opt/q", "root64/etc/opt",
                       "root64/usr/lib", "root64/usr/lib64", "profile"):
            os.makedirs(os.path.join(self.tmp, folder))
        for profile in ("home/.config/BraveSoftware/Brave-Browser", "home/.librewolf", "xdg/vivaldi")[:3 * profiles]:
            os.makedirs(os.path.join(self.tmp, profile))
            pathlib.Path(self.tmp, profile, "Local State").write_text("{}")
        for root in ("root", "root64"):
            shutil.copy(self.host, os.path.join(self.tmp, root, "opt/q/host"))
        return tree(self.tmp)

    def words(self, text):
        """Shell words, once pkgtest's names, {host}, {tmp}, {root} and {newline} are filled in."""
        return shlex.split(text.format(**vars(pkgtest), host=self.host, tmp=self.tmp, root=self.root, newline="\n"))

    def script(self, name, *args, check=0, env=None):
        top, folder = os.path.split(os.path.dirname(self.host))
        return pkgtest.run([f"{folder}/{name}", *args], env=env or self.env, cwd=top, check=check)

    def test_install_writes_the_manifest_where_each_browser_looks_and_uninstall_removes_it(self):
        # Lists may be comma or space separated and repeated; duplicates go.
        ids = {False: {"chrome_ids": [CHROME_ID, OTHER_CHROME_ID]}, True: {"firefox_ids": [FIREFOX_ID, FIREFOX_GUID]}}
        for install, config, uninstall, folders in table("install_sh_browsers.tsv"):
            with self.subTest(install=install, config=config):
                before = self.scratch(profiles=True)  # whatever a failed row left
                env = self.env | ({"XDG_CONFIG_HOME": os.path.join(self.tmp, config)} if config else {})
                self.script("install.sh", *self.words(install), env=env)
                manifests = [f"{folder}/{NAME}.json" for folder in folders.split()]
                self.assertEqual(files_under(self.tmp), sorted(manifests + [p for p in before if p[-1] != "/"]))
                # With --root, --host is the host's place inside the image.
                host = "/opt/q/host" if "--root" in install else self.host
                for path in (os.path.join(self.tmp, manifest) for manifest in manifests):
                    firefox = "/mozilla/" in path or "/.mozilla/" in path or "librewolf/" in path
                    self.assertEqual(pkgtest.read_json(path), pkgtest.manifest(host, **ids[firefox]))
                    # Browsers run as other users must be able to read it.
                    self.assertEqual(os.stat(path).st_mode & 0o777, 0o644)
                self.script("uninstall.sh", *self.words(uninstall), env=env)
                self.assertEqual(tree(self.tmp), before)

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
                       "scripts/install-deps", "scripts/wine-env", "scripts/check-reproducible",
                       "packaging/linux/install.sh", "packaging/linux/uninstall.sh", "packaging/windows/build-msi.sh",
                       "packaging/repository/write-repo.sh", "packaging/write-sbom.py"):
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
                open(os.path.join(self.root, "etc/opt/chrome"), "w").close()
                before = tree(self.tmp)
                env = {k: v for k, v in self.env.items() if k != unset}
                self.assertIn(message, self.script("install.sh", *self.words(args), env=env, check=2).stderr)
                self.assertEqual(tree(self.tmp), before)

    def test_doctor_names_what_keeps_each_browser_from_the_host(self):
        nm = [pkgtest.env("QUORVIA_NM")]
        for install, then, args, status, names in table("doctor_setups.tsv"):
            with self.subTest(install=install, then=then, args=args):
                self.scratch()
                host = shutil.copy(self.host, os.path.join(self.tmp, "host"))
                user = f"{self.home}/{{}}/{NAME}.json"
                fill = dict(host=host, tmp=self.tmp, root=self.root, ours=CHROME_ID, other=OTHER_CHROME_ID,
                            addon=FIREFOX_ID, chromium=user.format(USER_DIRS["chromium"]),
                            firefox=user.format(USER_DIRS["firefox"]))
                sub = lambda text: functools.reduce(lambda t, kv: t.replace(f"{{{kv[0]}}}", kv[1]), fill.items(), text)
                if install:
                    self.script("install.sh", *shlex.split(sub(install)), check=0)
                pkgtest.run(["sh", "-ec", sub(then)], cwd=self.tmp, check=0)
                result = pkgtest.run([*nm, "doctor", "--root", self.root, *shlex.split(sub(args))], env=self.env,
                                     check=int(status))
                problems = [line for line in result.stdout.splitlines() if line.startswith("problem: ")]
                self.assertEqual(bool(problems), int(status) == 1, result.stdout + result.stderr)
                if names.startswith("note: "):  # a line the set-up must bring about
                    self.assertIn(f"\n{names}", result.stdout)
                elif names and names != "-":
                    self.assertTrue(problems[0].startswith(f"problem: {sub(names)}"), result.stdout)


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
            ids = {"firefox_ids": [FIREFOX_ID]} if "/lib/" in path else {"chrome_ids": [CHROME_ID, OTHER_CHROME_ID]}
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
                    taken = re.findall(r"^(/\S+?)\(", text, re.M) + re.findall(r"^LOAD (/\S+\.o)$", text, re.M)
                    for path in set(taken):
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
        # Folders that held only this host's manifests go, with the browser's folders install.sh made for them.
        alone = os.path.join(self.tmp, "alone")
        stage_manifests(alone, SYSTEM_DIRS, kinds=("ours",))
        pkgtest.run(["sh", os.path.join(self.source, "packaging/debian/postrm"), "purge"], env=dict(os.environ,
                    DPKG_ROOT=alone), check=0)
        self.assertEqual(tree(alone), ["etc/", "etc/opt/", "usr/", "usr/lib/", "usr/lib64/"])


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
                for tool in ("sh", "grep", "rm", "rmdir"):
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


class Repository(unittest.TestCase):
    """The signed apt and dnf repositories, written for a version and then updated in place for a newer one, with a
    throwaway key. apt and dnf see nothing but them and install into scratch roots, never into this machine: apt
    through dpkg --root (maintainer scripts outside a chroot, with DPKG_ROOT, which postrm follows), over a dpkg
    database that holds only this machine's entries of what the package depends on; dnf with --installroot over a
    stand-in package that provides what the RPM requires."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-repo-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.old, cls.new = pkgtest.env("QUORVIA_VERSION"), pkgtest.env("QUORVIA_VERSION") + ".1"
        cls.files = {"passphrase": f"{cls.tmp}/passphrase", "wrong": f"{cls.tmp}/wrong", "repo": f"{cls.tmp}/repo"}
        for name, text in (("passphrase", pkgtest.random_key(24)), ("wrong", "not the passphrase")):
            pathlib.Path(cls.files[name]).write_text(text + "\n")
        for name, secret, protected in (("key", True, True), ("public_key", False, True), ("plain_key", True, False)):
            cls.files[name] = cls.make_key(name, secret, protected)
        builds = [pkgtest.env("QUORVIA_BUILD_DIR")] + list(filter(None, [os.environ.get("QUORVIA_ARM64_BUILD")]))
        other = ["CPACK_DEBIAN_PACKAGE_HOMEPAGE=https://other.invalid/", "CPACK_RPM_PACKAGE_URL=https://other.invalid/"]
        for name, version, extra in (("old", cls.old, []), ("packages", cls.new, []), ("changed", cls.new, other)):
            cls.files[name] = folder = os.path.join(cls.tmp, name)
            for i, build in enumerate(builds):
                for generator in ("DEB", "RPM"):
                    made = pkgtest.cpack(generator, f"{folder}/{i}{generator}", build, version, *extra)
                    shutil.copy(os.path.join(build, "packaging/generated/quorvia-host.spdx.json"), made + ".spdx.json")
                    for path in glob.glob(made + "*"):
                        shutil.move(path, folder)
        cls.outputs = [cls.write(cls.files[name]) for name in ("old", "packages")]
        cls.key_text = pathlib.Path(cls.files["repo"], "quorvia.asc").read_text()

    @classmethod
    def make_key(cls, name, secret, protected):
        home = os.path.join(cls.tmp, f"gnupg-{name}")
        os.mkdir(home, 0o700)
        gpg = ["gpg", "--homedir", home, "--batch", "--pinentry-mode", "loopback", "--passphrase-file",
               cls.files["passphrase"] if protected else "/dev/null"]
        if name == "public_key":
            pkgtest.run([*gpg, "--import", cls.files["key"]], check=0)
        else:
            pkgtest.run([*gpg, "--quick-gen-key", f"Quorvia {name} <{name}@quorvia.invalid>", "rsa3072", "sign",
                         "never"], check=0, timeout=300)
        path = os.path.join(cls.tmp, f"{name}.asc")
        pkgtest.run([*gpg, "--armor", "--output", path, "--export-secret-keys" if secret else "--export"], check=0)
        pkgtest.run(["gpgconf", "--homedir", home, "--kill", "gpg-agent"])
        return path

    @classmethod
    def write(cls, packages, check=0, args=None):
        script = os.path.join(pkgtest.env("QUORVIA_SOURCE_DIR"), "packaging/repository/write-repo.sh")
        args = args or ["--packages", packages, "--repo", cls.files["repo"], "--gpg-key", cls.files["key"],
                        "--gpg-passphrase-file", cls.files["passphrase"]]
        return pkgtest.run([script, *args], check=check, timeout=600)

    def apt(self, repo):
        """apt-get and dpkg-query for a scratch root that trusts only the repository's key."""
        top = tempfile.mkdtemp(dir=self.tmp)
        for folder in ("etc/sources.list.d", "etc/apt.conf.d", "etc/preferences.d", "etc/trusted.gpg.d", "log",
                       "state/lists/partial", "cache/archives/partial", "root/var/lib/dpkg/updates"):
            os.makedirs(os.path.join(top, folder))
        pathlib.Path(top, "key.asc").write_text(self.key_text)
        with open(os.path.join(repo, "quorvia.sources")) as f:
            sources = f.read().replace("/etc/apt/keyrings/quorvia.asc", f"{top}/key.asc")
        sources = sources.replace(self.files["repo"], repo)
        pathlib.Path(top, "etc/sources.list.d/quorvia.sources").write_text(sources)
        # This machine's entries for the closure of what the package depends on.
        entries = {re.search(r"^Package: (\S+)", e, re.M).group(1): e for e in
                   pathlib.Path("/var/lib/dpkg/status").read_text().split("\n\n") if "Status: install ok installed" in e
                   and re.search(r"^Architecture: (all|amd64)$", e, re.M)}
        deb = glob.glob(f"{self.files['old']}/*_amd64.deb")[0]
        wanted, kept = [pkgtest.run(["dpkg-deb", "-f", deb, "Depends"], check=0).stdout], {}
        while wanted:
            for name in (alt.split("|")[0].split()[0].split(":")[0] for alt in wanted.pop().split(",") if alt.strip()):
                if name in entries and name not in kept:
                    kept[name] = entries[name].strip()
                    wanted += re.findall(r"^(?:Pre-)?Depends: (.*)$", kept[name], re.M)
        pathlib.Path(top, "root/var/lib/dpkg/status").write_text("\n\n".join(kept.values()) + "\n")
        config = f"""Dir::Etc "{top}/etc"; Dir::Etc::Parts "{top}/etc/apt.conf.d"; Dir::State "{top}/state";
            Dir::State::status "{top}/root/var/lib/dpkg/status"; Dir::Cache "{top}/cache"; Dir::Log "{top}/log";
            APT::Architecture "amd64"; APT::Architectures {{ "amd64"; }}; APT::Sandbox::User "root";
            DPkg::Options {{ "--root={top}/root"; "--force-script-chrootless"; "--log={top}/log/dpkg.log"; }};"""
        pathlib.Path(top, "apt.conf").write_text(config)
        env = dict(os.environ, APT_CONFIG=f"{top}/apt.conf", DEBIAN_FRONTEND="noninteractive")
        apt = lambda *args, check=0: pkgtest.run(["apt-get", "-y", *args], env=env, check=check, timeout=300)
        installed = lambda: pkgtest.run(["dpkg-query", "--admindir", f"{top}/root/var/lib/dpkg", "-W", "-f",
                                         "${db:Status-Abbrev}${Version}", "quorvia-host"]).stdout
        return apt, installed, os.path.join(top, "root")

    def dnf(self, repo):
        """dnf for a scratch root that trusts only the repository's key, once a stand-in package that provides what
        the RPM requires (and a static busybox as /bin/sh for the scriptlet) are in."""
        top = tempfile.mkdtemp(dir=self.tmp)
        root = os.path.join(top, "root")
        for folder in ("root/etc/yum.repos.d", "root/bin", "stub"):
            os.makedirs(os.path.join(top, folder))
        shutil.copy(shutil.which("busybox"), os.path.join(root, "bin"))
        os.symlink("busybox", os.path.join(root, "bin/sh"))
        pathlib.Path(top, "key.asc").write_text(self.key_text)
        with open(os.path.join(repo, "quorvia.repo")) as f:
            config = f.read().replace("/etc/pki/rpm-gpg/RPM-GPG-KEY-quorvia", f"{top}/key.asc")
        config = config.replace(self.files["repo"], repo)
        pathlib.Path(root, "etc/yum.repos.d/quorvia.repo").write_text(config)
        pathlib.Path(top, "dnf.conf").write_text("[main]\n")
        rpm = glob.glob(f"{self.files['old']}/*.x86_64.rpm")[0]
        requires = pkgtest.run(["rpm", "-qp", "--requires", rpm], check=0).stdout.splitlines()
        pathlib.Path(top, "stub/stand-in").write_text("\n".join(
            ["Name: base-stand-in", "Version: 1", "Release: 1", "Summary: -", "License: none", "BuildArch: noarch"]
            + [f"Provides: {r}" for r in requires if not r.startswith("rpmlib(")]
            + ["%description", "-", "%files", ""]))
        pkgtest.run(["rpmbuild", "-bb", "--define", f"_topdir {top}/stub", f"{top}/stub/stand-in"], check=0)
        dnf = lambda *args, check=0: pkgtest.run(
            ["dnf", "-y", f"--installroot={root}", f"--config={top}/dnf.conf", "--releasever=1",
             f"--setopt=reposdir={root}/etc/yum.repos.d", f"--setopt=cachedir={top}/cache", *args],
            check=check, timeout=300)
        dnf("install", "--disablerepo=*", *glob.glob(f"{top}/stub/RPMS/noarch/*.rpm"))
        installed = lambda: pkgtest.run(["rpm", "--root", root, "-q", "--qf", "%{VERSION}", "quorvia-host"]).stdout
        return dnf, installed, root

    def test_both_clients_install_a_pinned_version_upgrade_and_remove_it(self):
        for client in (self.apt, self.dnf):
            with self.subTest(client.__name__):
                run, installed, root = client(self.files["repo"])
                if client == self.apt:
                    run("update")
                run("install", f"quorvia-host={self.old}" if client == self.apt else f"quorvia-host-{self.old}")
                self.assertEqual(installed().removeprefix("ii "), self.old)
                assert_answers(self, root + HOST)
                run("install" if client == self.apt else "upgrade", "quorvia-host")
                self.assertEqual(installed().removeprefix("ii "), self.new)
                assert_answers(self, root + HOST)
                run("purge" if client == self.apt else "remove", "quorvia-host")
                self.assertNotIn(self.new, installed())
                self.assertFalse(os.path.exists(root + "/usr/lib/quorvia"))

    def test_repositories_hold_both_versions_and_architectures_with_their_bills_of_materials(self):
        repo, arm64 = self.files["repo"], bool(os.environ.get("QUORVIA_ARM64_BUILD"))
        for version in (self.old, self.new):
            expected = [f"deb/pool/main/q/quorvia-host/quorvia-host_{version}_{arch}.deb" for arch in
                        ["amd64"] + ["arm64"] * arm64] + [f"rpm/packages/quorvia-host-{version}-1.{arch}.rpm"
                                                           for arch in ["x86_64"] + ["aarch64"] * arm64]
            for package in expected:
                self.assertTrue(os.path.exists(os.path.join(repo, package + ".spdx.json")), package)
                if package.endswith(".rpm"):  # signed
                    self.assertRegex(pkgtest.run(["rpm", "-qpi", f"{repo}/{package}"]).stdout, r"Signature +: RSA")
        for arch in ["amd64"] + ["arm64"] * arm64:
            index = pathlib.Path(repo, f"deb/dists/stable/main/binary-{arch}/Packages").read_text()
            self.assertEqual(sorted(re.findall(r"^Version: (.*)$", index, re.M)), [self.old, self.new], arch)

    def test_a_changed_repository_is_refused(self):
        for pattern, client, refusal in table("repository_tampering.tsv"):
            with self.subTest(pattern):
                repo = tempfile.mkdtemp(dir=self.tmp)
                shutil.copytree(self.files["repo"], repo, dirs_exist_ok=True)
                for path in glob.glob(os.path.join(repo, pattern)):
                    data = bytearray(pathlib.Path(path).read_bytes())
                    data[len(data) // 2] ^= 0x01
                    pathlib.Path(path).write_bytes(data)
                run, installed, _ = getattr(self, client)(repo)
                steps = [("update",), ("install", "quorvia-host")] if client == "apt" else [("install", "quorvia-host")]
                results = [run(*step, check=None) for step in steps]
                self.assertNotEqual([r.returncode for r in results], [0] * len(results))
                self.assertIn(refusal, "".join(r.stdout + r.stderr for r in results))
                self.assertNotIn(self.new, installed())

    def test_the_key_stays_secret_and_mistakes_leave_the_repository_as_it_was(self):
        secret = pathlib.Path(self.files["key"]).read_text().splitlines()[5]
        passphrase = pathlib.Path(self.files["passphrase"]).read_text().strip()
        before = files_under(self.files["repo"])
        digests = {p: pathlib.Path(self.files["repo"], p).read_bytes() for p in before}
        for args, status, message in table("repository_refusals.tsv"):
            with self.subTest(args):
                result = self.write(None, int(status), shlex.split(args.format(**self.files)))
                self.assertIn(message, result.stderr)
                self.assertEqual({p: pathlib.Path(self.files["repo"], p).read_bytes() for p in before}, digests)
                self.assertEqual(files_under(self.files["repo"]), before)
                self.assertEqual(glob.glob(self.files["repo"] + ".*"), [])
        for result in self.outputs:
            self.assertNotIn(secret, result.stdout + result.stderr)
            self.assertNotIn(passphrase, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
