#!/usr/bin/env python3
"""The Debian package, built by CPack and inspected with dpkg-deb; never
installed into this machine. A second package is built from its own build
folder with extension IDs given at build time, the way an organisation would
make one that registers itself.

Environment (from ctest): QUORVIA_BUILD_DIR, QUORVIA_SOURCE_DIR,
QUORVIA_VERSION, QUORVIA_CMAKE, QUORVIA_CPACK."""

import glob
import json
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

import pkgtest

NAME = "com.quorvia.deviceinfo"
HOST = "/usr/lib/quorvia/quorvia-host"
CHROME_FAMILY = ["etc/opt/chrome/native-messaging-hosts", "etc/chromium/native-messaging-hosts",
                 "etc/opt/edge/native-messaging-hosts"]
FIREFOX = "usr/lib/mozilla/native-messaging-hosts"

# path -> (type and mode as dpkg-deb -c shows it, link target or None)
BASE_CONTENTS = {
    "usr/": "drwxr-xr-x",
    "usr/bin/": "drwxr-xr-x",
    "usr/bin/quorvia-nm": "lrwxrwxrwx",
    "usr/lib/": "drwxr-xr-x",
    "usr/lib/quorvia/": "drwxr-xr-x",
    "usr/lib/quorvia/common.sh": "-rw-r--r--",
    "usr/lib/quorvia/host-manifest.json.in": "-rw-r--r--",
    "usr/lib/quorvia/install.sh": "-rwxr-xr-x",
    "usr/lib/quorvia/uninstall.sh": "-rwxr-xr-x",
    "usr/lib/quorvia/quorvia-host": "-rwxr-xr-x",
    "usr/lib/quorvia/quorvia-nm": "-rwxr-xr-x",
}


def build_deb(cpack, config, out):
    pkgtest.run([cpack, "--config", config, "-G", "DEB", "-B", out], timeout=300, check=0)
    debs = glob.glob(os.path.join(out, "*.deb"))
    if len(debs) != 1:
        raise AssertionError(f"expected one .deb in {out}, found {debs}")
    return debs[0]


def contents(deb):
    """{path: (mode text, owner, link target)} from dpkg-deb -c."""
    listing = {}
    for line in pkgtest.run(["dpkg-deb", "-c", deb], check=0).stdout.splitlines():
        mode, owner, _size, _date, _time, rest = line.split(None, 5)
        target = None
        if " -> " in rest:
            rest, target = rest.split(" -> ", 1)
        listing[rest.removeprefix("./")] = (mode, owner, target)
    listing.pop("", None)
    return listing


def control_field(deb, field):
    return pkgtest.run(["dpkg-deb", "-f", deb, field], check=0).stdout.strip()


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-deb-")
        cls.source = pkgtest.env("QUORVIA_SOURCE_DIR")
        cls.cmake = pkgtest.env("QUORVIA_CMAKE")
        cls.cpack = pkgtest.env("QUORVIA_CPACK")
        build = pkgtest.env("QUORVIA_BUILD_DIR")
        cls.deb = build_deb(cls.cpack, os.path.join(build, "CPackConfig.cmake"), os.path.join(cls.tmp, "plain"))
        cls.tree = os.path.join(cls.tmp, "plain-tree")
        pkgtest.run(["dpkg-deb", "-x", cls.deb, cls.tree], check=0)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_control_fields(self):
        self.assertEqual(control_field(self.deb, "Package"), "quorvia-host")
        self.assertEqual(control_field(self.deb, "Version"), pkgtest.env("QUORVIA_VERSION"))
        self.assertEqual(control_field(self.deb, "Architecture"),
                         pkgtest.run(["dpkg", "--print-architecture"], check=0).stdout.strip())
        depends = control_field(self.deb, "Depends")
        self.assertIn("libc6", depends)
        self.assertTrue(control_field(self.deb, "Maintainer"))
        self.assertEqual(control_field(self.deb, "Section"), "misc")
        self.assertIn("native messaging host", control_field(self.deb, "Description"))

    def test_contents_owners_and_permissions(self):
        listing = contents(self.deb)
        self.assertEqual({path: mode for path, (mode, _, _) in listing.items()}, BASE_CONTENTS)
        for path, (_, owner, _) in listing.items():
            self.assertEqual(owner, "root/root", path)
        self.assertEqual(listing["usr/bin/quorvia-nm"][2], "../lib/quorvia/quorvia-nm")

    def test_without_ids_there_is_no_manifest_and_no_conffile(self):
        listing = contents(self.deb)
        self.assertFalse([p for p in listing if p.startswith("etc/") or "mozilla" in p])
        control = pkgtest.run(["dpkg-deb", "--ctrl-tarfile", self.deb], check=0, text=False)
        names = subprocess.run(["tar", "-t"], input=control.stdout, capture_output=True, check=True).stdout.decode()
        self.assertNotIn("conffiles", names)
        self.assertIn("postrm", names)

    def test_packaged_client_reaches_the_packaged_host_through_its_link(self):
        nm = os.path.join(self.tree, "usr/bin/quorvia-nm")
        result = pkgtest.run([nm, "call", "--key", pkgtest.random_key(32)], check=0)
        self.assertIn(os.path.join(os.path.realpath(self.tree), "usr/lib/quorvia/quorvia-host"), result.stdout)
        self.assertEqual([k for k, _ in pkgtest.parse_nm_document(result.stdout)], pkgtest.DOCUMENT_KEYS)

    def test_packaged_install_script_finds_its_template_and_host(self):
        root = os.path.join(self.tmp, "staged")
        pkgtest.run([os.path.join(self.tree, "usr/lib/quorvia/install.sh"), "--system", "--root", root,
                     "--chrome-ids", pkgtest.CHROME_ID, "--firefox-ids", pkgtest.FIREFOX_ID], check=0)
        host = os.path.join(os.path.realpath(self.tree), "usr/lib/quorvia/quorvia-host")
        for folder in CHROME_FAMILY + [FIREFOX]:
            with open(os.path.join(root, folder, f"{NAME}.json")) as f:
                self.assertEqual(json.load(f)["path"], host)


class PostRemoval(unittest.TestCase):
    """The package's postrm, run against a staged root through DPKG_ROOT, as
    dpkg runs it for an alternative root."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="quorvia-postrm-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.postrm = os.path.join(pkgtest.env("QUORVIA_SOURCE_DIR"), "packaging/debian/postrm")
        self.ours, self.theirs = [], []
        for folder in CHROME_FAMILY + [FIREFOX]:
            os.makedirs(os.path.join(self.root, folder))
            for name, host, into in ((NAME, HOST, self.ours), ("org.example.other", "/opt/other/host", self.theirs),
                                     ("com.quorvia.custom", HOST, self.ours)):
                path = os.path.join(self.root, folder, f"{name}.json")
                # The layout install.sh writes.
                with open(path, "w") as f:
                    f.write(f'{{\n  "name": "{name}",\n  "path": "{host}",\n  "type": "stdio"\n}}\n')
                into.append(path)

    def run_postrm(self, action):
        pkgtest.run(["sh", self.postrm, action], env=dict(os.environ, DPKG_ROOT=self.root), check=0)

    def test_purge_removes_the_manifests_of_this_host_only(self):
        self.run_postrm("purge")
        self.assertFalse([p for p in self.ours if os.path.exists(p)])
        self.assertEqual([p for p in self.theirs if os.path.exists(p)], self.theirs)

    def test_remove_and_upgrade_keep_every_manifest(self):
        for action in ("remove", "upgrade"):
            self.run_postrm(action)
        self.assertTrue(all(os.path.exists(p) for p in self.ours + self.theirs))


class PackageWithBuildTimeIds(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-deb-ids-")
        source = pkgtest.env("QUORVIA_SOURCE_DIR")
        cls.cmake = pkgtest.env("QUORVIA_CMAKE")
        build = os.path.join(cls.tmp, "build")
        pkgtest.run([cls.cmake, "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                     "-DBUILD_TESTING=OFF",
                     f"-DQUORVIA_CHROME_EXTENSION_IDS={pkgtest.CHROME_ID},{pkgtest.OTHER_CHROME_ID}",
                     f"-DQUORVIA_FIREFOX_EXTENSION_IDS={pkgtest.FIREFOX_ID}"], timeout=300, check=0)
        pkgtest.run([cls.cmake, "--build", build, "--target", "quorvia-host", "quorvia-nm"], timeout=900, check=0)
        cls.deb = build_deb(pkgtest.env("QUORVIA_CPACK"), os.path.join(build, "CPackConfig.cmake"),
                            os.path.join(cls.tmp, "out"))
        cls.tree = os.path.join(cls.tmp, "tree")
        pkgtest.run(["dpkg-deb", "-x", cls.deb, cls.tree], check=0)
        cls.control = os.path.join(cls.tmp, "control")
        pkgtest.run(["dpkg-deb", "-e", cls.deb, cls.control], check=0)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_system_manifests_for_every_browser(self):
        listing = contents(self.deb)
        for folder in CHROME_FAMILY + [FIREFOX]:
            with self.subTest(folder):
                mode, owner, _ = listing[f"{folder}/{NAME}.json"]
                self.assertEqual((mode, owner), ("-rw-r--r--", "root/root"))
                with open(os.path.join(self.tree, folder, f"{NAME}.json")) as f:
                    manifest = json.load(f)
                expected = {"name": NAME, "description": "Quorvia device information", "path": HOST,
                            "type": "stdio"}
                if folder == FIREFOX:
                    expected["allowed_extensions"] = [pkgtest.FIREFOX_ID]
                else:
                    expected["allowed_origins"] = [f"chrome-extension://{pkgtest.CHROME_ID}/",
                                                   f"chrome-extension://{pkgtest.OTHER_CHROME_ID}/"]
                self.assertEqual(manifest, expected)
        # Everything else is as in the package without IDs.
        for path, mode in BASE_CONTENTS.items():
            self.assertEqual(listing[path][0], mode, path)

    def test_the_files_under_etc_are_conffiles(self):
        with open(os.path.join(self.control, "conffiles")) as f:
            self.assertEqual(sorted(f.read().split()), sorted(f"/{d}/{NAME}.json" for d in CHROME_FAMILY))
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.control, "postrm")).st_mode), 0o755)

    def test_invalid_build_time_ids_stop_the_configuration(self):
        for n, (variable, bad, message) in enumerate((
            ("QUORVIA_CHROME_EXTENSION_IDS", "not-an-id", "invalid Chrome extension ID 'not-an-id'"),
            ("QUORVIA_CHROME_EXTENSION_IDS", f"{pkgtest.CHROME_ID},{pkgtest.CHROME_ID}a",
             f"invalid Chrome extension ID '{pkgtest.CHROME_ID}a'"),
            ("QUORVIA_FIREFOX_EXTENSION_IDS", "no at sign", "invalid Firefox add-on ID 'no at sign'"),
            ("QUORVIA_FIREFOX_EXTENSION_IDS", "{0f1e2d3c-4b5a}", "invalid Firefox add-on ID '{0f1e2d3c-4b5a}'"),
        )):
            with self.subTest(bad):
                result = pkgtest.run([self.cmake, "-S", pkgtest.env("QUORVIA_SOURCE_DIR"),
                                      "-B", os.path.join(self.tmp, f"bad-{n}"), "-G", "Ninja",
                                      "-DBUILD_TESTING=OFF", f"-D{variable}={bad}"], timeout=300)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)


if __name__ == "__main__":
    pkgtest.main()
