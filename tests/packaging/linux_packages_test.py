#!/usr/bin/env python3
"""The Linux packaging: install.sh and uninstall.sh (the copies in the build
folder, beside the host) with HOME in a temporary folder and --system staged
under --root, never the machine's own folders;
the Debian package, inspected with dpkg-deb and never installed here.

Environment (from ctest): QUORVIA_HOST, QUORVIA_SOURCE_DIR; for the package
also QUORVIA_BUILD_DIR, QUORVIA_VERSION, QUORVIA_CMAKE, QUORVIA_CPACK."""

import filecmp
import json
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

import pkgtest
from pkgtest import CHROME_ID, FIREFOX_GUID, FIREFOX_ID, NAME, OTHER_CHROME_ID

SYSTEM_DIRS = {
    "chrome": "etc/opt/chrome/native-messaging-hosts",
    "chromium": "etc/chromium/native-messaging-hosts",
    "edge": "etc/opt/edge/native-messaging-hosts",
    "firefox": "usr/lib/mozilla/native-messaging-hosts",
}
USER_DIRS = {
    "chrome": ".config/google-chrome/NativeMessagingHosts",
    "chromium": ".config/chromium/NativeMessagingHosts",
    "edge": ".config/microsoft-edge/NativeMessagingHosts",
    "firefox": ".mozilla/native-messaging-hosts",
}
CHROMIUM_FAMILY = ("chrome", "chromium", "edge")


def files_under(top):
    return sorted(os.path.relpath(os.path.join(folder, n), top) for folder, _, names in os.walk(top) for n in names)


def manifest_files(dirs, browsers, name=NAME):
    return sorted(f"{dirs[b]}/{name}.json" for b in browsers)


HOST = "/usr/lib/quorvia/quorvia-host"
# path -> (mode, owner, link target) as dpkg-deb -c shows them
CONTENTS = {path: (mode, "root/root", "../lib/quorvia/quorvia-nm" if mode[0] == "l" else None) for path, mode in {
    "usr/": "drwxr-xr-x", "usr/bin/": "drwxr-xr-x", "usr/lib/": "drwxr-xr-x", "usr/lib/quorvia/": "drwxr-xr-x",
    "usr/bin/quorvia-nm": "lrwxrwxrwx", "usr/lib/quorvia/common.sh": "-rw-r--r--",
    "usr/lib/quorvia/host-manifest.json.in": "-rw-r--r--", "usr/lib/quorvia/install.sh": "-rwxr-xr-x",
    "usr/lib/quorvia/uninstall.sh": "-rwxr-xr-x", "usr/lib/quorvia/quorvia-host": "-rwxr-xr-x",
    "usr/lib/quorvia/quorvia-nm": "-rwxr-xr-x", "usr/lib/quorvia/quorvia-manifest": "-rwxr-xr-x",
    "usr/share/": "drwxr-xr-x", "usr/share/doc/": "drwxr-xr-x",
    "usr/share/doc/quorvia-host/": "drwxr-xr-x", "usr/share/doc/quorvia-host/copyright": "-rw-r--r--",
    "usr/share/doc/quorvia-host/changelog.gz": "-rw-r--r--",
    "usr/share/doc/quorvia-host/THIRD-PARTY-NOTICES": "-rw-r--r--", "usr/share/man/": "drwxr-xr-x",
    "usr/share/man/man1/": "drwxr-xr-x", "usr/share/man/man1/quorvia-nm.1.gz": "-rw-r--r--"}.items()}
# Every folder on the way to each manifest.
MANIFEST_DIRS = {f"{folder.rsplit('/', n)[0]}/": ("drwxr-xr-x", "root/root", None)
                 for folder in SYSTEM_DIRS.values() for n in range(folder.count("/") + 1)}


def ids_build():
    """A build with extension IDs given at configuration, kept beside the test
    build so that the package tests share it and a second run only relinks."""
    build = os.path.join(pkgtest.env("QUORVIA_BUILD_DIR"), "package-ids")
    cmake = pkgtest.env("QUORVIA_CMAKE")
    pkgtest.run([cmake, "-S", pkgtest.env("QUORVIA_SOURCE_DIR"), "-B", build, "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DBUILD_TESTING=OFF",
                 f"-DQUORVIA_CHROME_EXTENSION_IDS={CHROME_ID},{OTHER_CHROME_ID}",
                 f"-DQUORVIA_FIREFOX_EXTENSION_IDS={FIREFOX_ID}"], timeout=300, check=0)
    pkgtest.run([cmake, "--build", build, "--target", "quorvia-host", "quorvia-nm", "quorvia-manifest", "deb-manifests"],
                timeout=900, check=0)
    return build


def unpack(deb, tmp):
    """dpkg-deb's listing as {path: (mode, owner, link target)}, the files
    under tmp/tree and the control files under tmp/control."""
    listing = {}
    for line in pkgtest.run(["dpkg-deb", "-c", deb], check=0).stdout.splitlines():
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        path, _, target = path.partition(" -> ")
        listing[path.removeprefix("./")] = (mode, owner, target or None)
    listing.pop("", None)
    pkgtest.run(["dpkg-deb", "-x", deb, os.path.join(tmp, "tree")], check=0)
    pkgtest.run(["dpkg-deb", "-e", deb, os.path.join(tmp, "control")], check=0)
    return listing


class Scripts(unittest.TestCase):
    def setUp(self):
        self.host = pkgtest.env("QUORVIA_HOST")
        self.scripts = os.path.dirname(self.host)
        self.tmp = os.path.realpath(tempfile.mkdtemp(prefix="quorvia-scripts-"))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.home = os.path.join(self.tmp, "home")
        self.root = os.path.join(self.tmp, "root")
        os.makedirs(self.home)
        self.env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
        self.env["HOME"] = self.home

    def install(self, *args, check=0, env=None, cwd=None):
        return pkgtest.run([f"{self.scripts}/install.sh", *args], env=env or self.env, cwd=cwd, check=check)

    def uninstall(self, *args, check=0):
        return pkgtest.run([f"{self.scripts}/uninstall.sh", *args], env=self.env, check=check)

    def user_manifest(self, browser, name=NAME):
        return pkgtest.read_json(os.path.join(self.home, USER_DIRS[browser], f"{name}.json"))

    def test_per_user_and_system_install_write_each_browsers_manifest(self):
        # Lists may be comma or space separated and repeated; duplicates go.
        ids = ["--chrome-ids", f"{CHROME_ID}, {OTHER_CHROME_ID}", "--chrome-ids", CHROME_ID,
               "--firefox-ids", f"{FIREFOX_ID},{FIREFOX_GUID}"]
        # With --root, --host is the host's place inside the image.
        os.makedirs(os.path.join(self.root, "opt/q"))
        shutil.copy(self.host, os.path.join(self.root, "opt/q/host"))
        system = ["--system", "--root", self.root]
        chrome = {"chrome_ids": [CHROME_ID, OTHER_CHROME_ID]}
        firefox = {"firefox_ids": [FIREFOX_ID, FIREFOX_GUID]}
        # Where /usr/lib64 exists, Firefox may have been built to read its manifests there instead.
        root64 = os.path.join(self.tmp, "root64")
        os.makedirs(os.path.join(root64, "usr/lib64"))
        os.makedirs(os.path.join(root64, "opt/q"))
        shutil.copy(self.host, os.path.join(root64, "opt/q/host"))
        dirs64 = dict(SYSTEM_DIRS, firefox64="usr/lib64/mozilla/native-messaging-hosts")
        for top, dirs, extra, host, staged in ((self.home, USER_DIRS, [], self.host, []),
                                               (self.root, SYSTEM_DIRS, system, "/opt/q/host", ["opt/q/host"]),
                                               (root64, dirs64, ["--system", "--root", root64], "/opt/q/host",
                                                ["opt/q/host"])):
            with self.subTest(top=top):
                self.install(*extra, "--host", host, *ids)
                self.assertEqual(files_under(top), sorted(manifest_files(dirs, dirs) + staged))
                for browser, folder in dirs.items():
                    path = os.path.join(top, folder, f"{NAME}.json")
                    self.assertEqual(pkgtest.read_json(path),
                                     pkgtest.manifest(host, **(firefox if browser.startswith("firefox") else chrome)), browser)
                    # Browsers run as other users must be able to read it.
                    self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o644)
                self.uninstall(*extra)
                self.assertEqual(files_under(top), staged)

    def test_browsers_registered_follow_the_ids_and_the_browsers_option(self):
        for args, browsers in ((["--chrome-ids", CHROME_ID], CHROMIUM_FAMILY),
                               (["--firefox-ids", FIREFOX_ID], ["firefox"]),
                               (["--chrome-ids", CHROME_ID, "--firefox-ids", FIREFOX_ID, "--browsers", "edge,firefox"],
                                ["edge", "firefox"])):
            with self.subTest(args=args):
                self.install("--host", self.host, *args)
                self.assertEqual(files_under(self.home), manifest_files(USER_DIRS, browsers))
                self.uninstall()

    def test_xdg_config_home_moves_the_chromium_family_folders(self):
        config = os.path.join(self.tmp, "xdg")
        self.install("--host", self.host, "--chrome-ids", CHROME_ID, "--firefox-ids", FIREFOX_ID,
                     env=dict(self.env, XDG_CONFIG_HOME=config))
        moved = {b: os.path.relpath(USER_DIRS[b], ".config") for b in CHROMIUM_FAMILY}
        self.assertEqual(files_under(config), manifest_files(moved, CHROMIUM_FAMILY))
        self.assertEqual(files_under(self.home), manifest_files(USER_DIRS, ["firefox"]))

    def test_installing_again_replaces_the_manifest_with_an_absolute_literal_host_path(self):
        self.install("--host", self.host, "--chrome-ids", CHROME_ID)
        odd = os.path.join(self.tmp, 'a "quoted" \\dir & @ALLOWED@ @NAME@')
        os.makedirs(odd)
        shutil.copy(self.host, odd)
        copy = os.path.realpath(os.path.join(odd, os.path.basename(self.host)))
        self.install("--host", os.path.relpath(copy, self.tmp), "--chrome-ids", OTHER_CHROME_ID, cwd=self.tmp)
        self.assertEqual(files_under(self.home), manifest_files(USER_DIRS, CHROMIUM_FAMILY))
        self.assertEqual(self.user_manifest("edge"), pkgtest.manifest(copy, chrome_ids=[OTHER_CHROME_ID]))

    def test_uninstall_removes_its_own_name_and_browsers_only(self):
        other = "org.example.other_2"
        self.install("--host", self.host, "--chrome-ids", CHROME_ID, "--firefox-ids", FIREFOX_ID)
        self.install("--host", self.host, "--name", other, "--chrome-ids", CHROME_ID)
        self.assertEqual(self.user_manifest("chrome", other), pkgtest.manifest(self.host, [CHROME_ID], name=other))
        self.uninstall("--browsers", "chrome")
        self.assertEqual(files_under(self.home), sorted(manifest_files(USER_DIRS, ["chromium", "edge", "firefox"]) +
                                                        manifest_files(USER_DIRS, CHROMIUM_FAMILY, other)))
        self.uninstall()
        self.assertEqual(files_under(self.home), manifest_files(USER_DIRS, CHROMIUM_FAMILY, other))
        self.assertIn("not registered", self.uninstall().stdout)
        # A name that could reach beyond the folders is refused.
        for name in ("../../chromium/NativeMessagingHosts/" + other, "", "Org.Example.Other_2"):
            with self.subTest(name=name):
                self.assertIn("invalid host name", self.uninstall("--name", name, check=2).stderr)
        self.assertEqual(files_under(self.home), manifest_files(USER_DIRS, CHROMIUM_FAMILY, other))

    def test_mistakes_are_refused_with_a_reason_and_nothing_written(self):
        plain = os.path.join(self.tmp, "plain")
        open(plain, "w").close()
        # A file where a folder should be: root may write anywhere else.
        os.makedirs(os.path.join(self.root, "etc/opt"))
        open(os.path.join(self.root, "etc/opt/chrome"), "w").close()
        host = ["--host", self.host]
        system = ["--system", "--root", self.root]
        cases = [
            (host, "no extension IDs given"),
            (host + ["--chrome-ids", " , "], "no extension IDs given"),
            (host + ["--chrome-ids"], "--chrome-ids needs a value"),
            (host + ["--chrome-ids", CHROME_ID, "--bogus"], "unknown argument '--bogus'"),
            (host + ["--chrome-ids", CHROME_ID, "--browsers", "opera"], "unknown browser 'opera'"),
            (host + ["--chrome-ids", CHROME_ID, "--browsers", "firefox"], "firefox chosen but no --firefox-ids"),
            (host + ["--firefox-ids", FIREFOX_ID, "--browsers", "chrome"], "chrome chosen but no --chrome-ids"),
            (host + ["--root", self.root, "--chrome-ids", CHROME_ID], "--root only applies with --system"),
            (["--host", os.path.join(self.tmp, "nothing"), "--chrome-ids", CHROME_ID], "host program not found"),
            (["--host", plain, "--chrome-ids", CHROME_ID], "not an executable file"),
            (["--host", self.tmp, "--chrome-ids", CHROME_ID], "not an executable file"),
            (host + system + ["--chrome-ids", CHROME_ID], "host program not found"),
            (system + ["--chrome-ids", CHROME_ID], "--root needs --host"),
            (system + ["--host", "opt/q/host", "--chrome-ids", CHROME_ID], "absolute path inside the image"),
            (["--host", "/etc/../" + self.host] + system + ["--chrome-ids", CHROME_ID], "without . or .."),
            # A list made with $(cat ids.txt) keeps its newline.
            (host + ["--chrome-ids", f"{CHROME_ID}\n{OTHER_CHROME_ID}"], "control character"),
            (["--host", self.host + "\t", "--name", NAME, "--chrome-ids", CHROME_ID], "control character"),
            # The rules are quorvia-manifest's (see manifest_tool_test.py).
            (host + ["--chrome-ids", f"{CHROME_ID},abc"], "invalid Chrome extension ID 'abc'"),
            (host + ["--chrome-ids", CHROME_ID, "--firefox-ids", f"{FIREFOX_ID} qa+team@example.com"],
             "invalid Firefox add-on ID 'qa+team@example.com'"),
            (host + ["--name", "Com.Quorvia", "--chrome-ids", CHROME_ID], "invalid host name"),
        ]
        os.makedirs(os.path.join(self.root, "opt/q"))
        shutil.copy(self.host, os.path.join(self.root, "opt/q/host"))
        cases.append((system + ["--host", "/opt/q/host", "--chrome-ids", CHROME_ID], "cannot write in"))
        for args, message in cases:
            with self.subTest(args=args):
                self.assertIn(message, self.install(*args, check=2).stderr)
                self.assertEqual(files_under(self.tmp), ["plain", "root/etc/opt/chrome", "root/opt/q/host"])
        no_home = {k: v for k, v in self.env.items() if k != "HOME"}
        self.assertIn("HOME is not set", self.install(*host, "--chrome-ids", CHROME_ID, env=no_home, check=2).stderr)

    def test_scripts_work_with_cdpath_exported(self):
        env = dict(self.env, CDPATH=".")
        top, folder = os.path.split(self.scripts)
        for script, args in (("install.sh", ["--chrome-ids", CHROME_ID]), ("uninstall.sh", [])):
            pkgtest.run([f"{folder}/{script}", *args], env=env, cwd=top, check=0)
        self.assertEqual(files_under(self.home), [])


class DebianPackage(unittest.TestCase):
    """The plain package, and one with extension IDs given at build time."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-deb-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.cmake, cls.source = pkgtest.env("QUORVIA_CMAKE"), pkgtest.env("QUORVIA_SOURCE_DIR")
        cls.deb = pkgtest.cpack("DEB", os.path.join(cls.tmp, "plain"))
        cls.listing = unpack(cls.deb, os.path.join(cls.tmp, "plain"))
        cls.tree = os.path.realpath(os.path.join(cls.tmp, "plain", "tree"))
        cls.ids = os.path.join(cls.tmp, "ids")
        cls.build = ids_build()
        cls.ids_deb = pkgtest.cpack("DEB", cls.ids, cls.build)
        cls.ids_listing = unpack(cls.ids_deb, cls.ids)

    def test_control_fields(self):
        fields = pkgtest.run(["dpkg-deb", "-f", self.deb, "Package", "Version", "Architecture"], check=0).stdout
        arch = pkgtest.run(["dpkg", "--print-architecture"], check=0).stdout.strip()
        self.assertEqual(fields.splitlines(), ["Package: quorvia-host", f"Version: {pkgtest.env('QUORVIA_VERSION')}",
                                               f"Architecture: {arch}"])
        self.assertIn("libc6", pkgtest.run(["dpkg-deb", "-f", self.deb, "Depends"], check=0).stdout)

    def test_contents_and_no_manifest_or_conffile_without_ids(self):
        self.assertEqual(self.listing, CONTENTS)
        self.assertEqual(sorted(os.listdir(os.path.join(self.tmp, "plain", "control"))),
                         ["control", "md5sums", "postrm"])

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

    def test_packaged_client_reaches_the_packaged_host_through_its_link(self):
        result = pkgtest.run([os.path.join(self.tree, "usr/bin/quorvia-nm"), "call", "--key", pkgtest.random_key(32)],
                             check=0)
        self.assertIn(os.path.join(self.tree, "usr/lib/quorvia/quorvia-host"), result.stdout)
        self.assertEqual([k for k, _ in pkgtest.parse_nm_document(result.stdout)], pkgtest.DOCUMENT_KEYS)

    def test_packaged_install_script_uses_the_template_and_host_beside_it(self):
        home = os.path.join(self.tmp, "home")
        os.makedirs(home)
        pkgtest.run([os.path.join(self.tree, "usr/lib/quorvia/install.sh"), "--chrome-ids", CHROME_ID],
                    env=dict(os.environ, HOME=home), check=0)
        manifest = os.path.join(home, ".config/chromium/NativeMessagingHosts", f"{NAME}.json")
        self.assertEqual(pkgtest.read_json(manifest)["path"], os.path.join(self.tree, "usr/lib/quorvia/quorvia-host"))

    def test_purge_removes_the_manifests_of_this_host_only(self):
        # Run against a staged root through DPKG_ROOT, as dpkg runs it for one.
        # Ours: "path" is exactly the host, however the JSON is spaced or
        # escaped; theirs: the host's path appears elsewhere, or a longer one.
        root = os.path.join(self.tmp, "purged")
        compact = {"separators": (",", ":")}
        ours, theirs = [], []
        for folder in SYSTEM_DIRS.values():
            os.makedirs(os.path.join(root, folder))
            for name, text, into in (
                    (NAME, json.dumps(pkgtest.manifest(HOST, [CHROME_ID]), indent=2), ours),
                    ("com.quorvia.custom", json.dumps(pkgtest.manifest(HOST, [CHROME_ID]), **compact), ours),
                    ("com.quorvia.escaped", json.dumps(pkgtest.manifest(HOST, [CHROME_ID])).replace("/", "\\/"), ours),
                    ("org.example.other", json.dumps(pkgtest.manifest("/opt/other/host", [CHROME_ID])), theirs),
                    ("org.example.longer", json.dumps(pkgtest.manifest(HOST + "-2", [CHROME_ID])), theirs),
                    ("org.example.nested", json.dumps(dict(pkgtest.manifest("/opt/other/host", [CHROME_ID]),
                                                           wrapped={"path": HOST}), indent=2), theirs)):
                into.append(os.path.join(root, folder, f"{name}.json"))
                with open(into[-1], "w") as f:
                    f.write(text)
        for action, kept in (("remove", ours + theirs), ("upgrade", ours + theirs), ("purge", theirs)):
            pkgtest.run(["sh", os.path.join(self.source, "packaging/debian/postrm"), action],
                        env=dict(os.environ, DPKG_ROOT=root), check=0)
            self.assertEqual([p for p in ours + theirs if os.path.exists(p)], kept, action)

    def test_build_time_ids_give_system_manifests_for_every_browser_as_conffiles(self):
        manifests = {f"{folder}/{NAME}.json": ("-rw-r--r--", "root/root", None) for folder in SYSTEM_DIRS.values()}
        overrides = {path: (mode, "root/root", None) for path, mode in {
            "usr/share/lintian/": "drwxr-xr-x", "usr/share/lintian/overrides/": "drwxr-xr-x",
            "usr/share/lintian/overrides/quorvia-host": "-rw-r--r--"}.items()}
        self.assertEqual(self.ids_listing, {**CONTENTS, **MANIFEST_DIRS, **manifests, **overrides})
        for browser, folder in SYSTEM_DIRS.items():
            expected = pkgtest.manifest(HOST, [CHROME_ID, OTHER_CHROME_ID]) if browser != "firefox" else \
                pkgtest.manifest(HOST, firefox_ids=[FIREFOX_ID])
            self.assertEqual(pkgtest.read_json(os.path.join(self.ids, "tree", folder, f"{NAME}.json")), expected)
        # dpkg keeps an administrator's edits under /etc on upgrade.
        with open(os.path.join(self.ids, "control", "conffiles")) as f:
            self.assertEqual(sorted(f.read().split()),
                             sorted(f"/{SYSTEM_DIRS[b]}/{NAME}.json" for b in ("chrome", "chromium", "edge")))

    def test_invalid_build_time_ids_stop_the_build(self):
        for chrome, firefox, message in (
                (f"{CHROME_ID},{CHROME_ID}a", FIREFOX_ID, f"invalid Chrome extension ID '{CHROME_ID}a'"),
                (CHROME_ID, f"{FIREFOX_ID},qa+team@example.com", "invalid Firefox add-on ID 'qa+team@example.com'")):
            with self.subTest(message):
                pkgtest.run([self.cmake, "-S", self.source, "-B", self.build, f"-DQUORVIA_CHROME_EXTENSION_IDS={chrome}",
                             f"-DQUORVIA_FIREFOX_EXTENSION_IDS={firefox}"], check=0)
                result = pkgtest.run([self.cmake, "--build", self.build, "--target", "deb-manifests"], timeout=300)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stdout)


class RpmAndArm64Packages(unittest.TestCase):
    """The RPMs, x86-64 and (with QUORVIA_ARM64_BUILD) arm64, installed into a
    scratch root whose only program is a static busybox for the scriptlet;
    and the arm64 .deb."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-rpm-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        arm64 = os.environ.get("QUORVIA_ARM64_BUILD")
        # arch -> (package, runner, the dynamic loader it needs)
        builds = {"x86_64": (pkgtest.env("QUORVIA_BUILD_DIR"), [], "ld-linux-x86-64.so.2()(64bit)")}
        if arm64:
            builds["aarch64"] = (arm64, [pkgtest.env("QUORVIA_QEMU")], "ld-linux-aarch64.so.1()(64bit)")
            cls.arm64_deb = pkgtest.cpack("DEB", os.path.join(cls.tmp, "deb"), arm64)
        cls.rows = {arch: (pkgtest.cpack("RPM", os.path.join(cls.tmp, arch), build), *rest)
                    for arch, (build, *rest) in builds.items()}
        cls.ids_rpm = pkgtest.cpack("RPM", os.path.join(cls.tmp, "ids"), ids_build())

    def query(self, rpm, *what):
        return pkgtest.run(["rpm", "-qp", *what, rpm], check=0).stdout.splitlines()

    def test_files_scriptlet_and_requirements(self):
        # The folders the distribution owns are not the package's.
        shared = ("usr/", "usr/bin/", "usr/lib/", "usr/share/", "usr/share/doc/", "usr/share/man/", "usr/share/man/man1/")
        plain = sorted("/" + p.rstrip("/") for p in CONTENTS if p not in shared)
        firefox64 = "usr/lib64/mozilla/native-messaging-hosts"
        manifests = [f"/{folder}/{NAME}.json" for folder in [*SYSTEM_DIRS.values(), firefox64]]
        # It owns the folders below /etc/opt, /etc, /usr/lib and /usr/lib64.
        folders = ["/" + p.rstrip("/") for p in MANIFEST_DIRS if p.count("/") > 2 or p.startswith("etc/chromium")]
        self.assertEqual(self.query(self.ids_rpm, "--list"),
                         sorted(plain + manifests + folders + ["/usr/lib64/mozilla", "/" + firefox64,
                                                                "/usr/share/lintian/overrides/quorvia-host"]))
        self.assertEqual(self.query(self.ids_rpm, "--configfiles"), sorted(manifests[:3]))
        with open(os.path.join(pkgtest.env("QUORVIA_SOURCE_DIR"), "packaging/debian/postrm")) as f:
            erase_script = ["preuninstall scriptlet (using /bin/sh):", *f.read().rstrip("\n").splitlines()]
        for arch, (rpm, _, loader) in self.rows.items():
            with self.subTest(arch):
                self.assertEqual(self.query(rpm, "--qf", "%{NAME} %{VERSION} %{ARCH}"),
                                 [f"quorvia-host {pkgtest.env('QUORVIA_VERSION')} {arch}"])
                self.assertEqual(self.query(rpm, "--list"), plain)
                self.assertEqual(self.query(rpm, "--scripts"), erase_script)
                requires = self.query(rpm, "--requires")
                self.assertTrue({"/bin/sh", "libc.so.6()(64bit)", loader} <= set(requires), requires)
                # The C++ runtime and the crypto library are linked in.
                self.assertFalse([r for r in requires if r.startswith(("libstdc", "libgcc", "libnettle", "libmbed"))])

    def test_installs_answers_and_erases_leaving_only_what_was_there(self):
        for arch, (rpm, runner, _) in [*self.rows.items(), ("ids", (self.ids_rpm, [], None))]:
            with self.subTest(arch):
                root = tempfile.mkdtemp(dir=self.tmp)
                for folder in ("bin", "etc/opt", "usr/bin", "usr/lib", "usr/lib64", "var/tmp"):
                    os.makedirs(os.path.join(root, folder))
                shutil.copy(shutil.which("busybox"), os.path.join(root, "bin"))
                for tool in ("sh", "grep", "rm"):
                    os.symlink("busybox", os.path.join(root, "bin", tool))
                before = files_under(root)
                rpm_root = ["rpm", "--root", root, "--dbpath", "/var/lib/rpm"]
                pkgtest.run([*rpm_root, "-i", "--nodeps", "--ignorearch", rpm], check=0)

                key = pkgtest.random_key(32)
                request = json.dumps({"command": "DeviceInfo", "version": 1, "key": key}).encode()
                answer = subprocess.run([*runner, root + HOST, f"chrome-extension://{CHROME_ID}/"], timeout=60,
                                        input=len(request).to_bytes(4, "little") + request, capture_output=True)
                decoded = subprocess.run([pkgtest.env("QUORVIA_NM"), "decode", "--key", key], input=answer.stdout,
                                         capture_output=True, timeout=60)
                self.assertEqual([k for k, _ in pkgtest.parse_nm_document(decoded.stdout.decode())],
                                 pkgtest.DOCUMENT_KEYS)

                # install.sh --system's manifests: this host under another name, and another host.
                folders = [*SYSTEM_DIRS.values(), "usr/lib64/mozilla/native-messaging-hosts"]
                for folder in folders:
                    os.makedirs(os.path.join(root, folder), exist_ok=True)
                    for name, host in (("com.quorvia.custom", HOST), ("org.example.other", "/opt/other/host")):
                        with open(os.path.join(root, folder, f"{name}.json"), "w") as f:
                            json.dump(pkgtest.manifest(host, [CHROME_ID], name=name), f, indent=2)
                pkgtest.run([*rpm_root, "-e", "quorvia-host"], check=0)
                self.assertEqual([p for p in files_under(root) if not p.startswith("var/lib/rpm/")],
                                 sorted(before + [f"{folder}/org.example.other.json" for folder in folders]))

    @unittest.skipUnless(os.environ.get("QUORVIA_ARM64_BUILD"), "no arm64 build")
    def test_arm64_debian_package(self):
        fields = pkgtest.run(["dpkg-deb", "-f", self.arm64_deb, "Architecture", "Depends"], check=0).stdout
        self.assertEqual(fields.splitlines()[0], "Architecture: arm64")
        self.assertIn("libc6", fields)
        self.assertEqual(unpack(self.arm64_deb, os.path.join(self.tmp, "deb")), CONTENTS)


if __name__ == "__main__":
    unittest.main(verbosity=2)
