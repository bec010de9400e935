#!/usr/bin/env python3
"""packaging/linux/install.sh and uninstall.sh, run with HOME in a temporary
folder and --system staged under --root, never in the machine's own folders.

Environment (from ctest): QUORVIA_HOST, QUORVIA_NM, QUORVIA_SOURCE_DIR."""

import json
import os
import shutil
import stat
import tempfile
import unittest

import pkgtest

NAME = "com.quorvia.deviceinfo"
USER_DIRS = {
    "chrome": ".config/google-chrome/NativeMessagingHosts",
    "chromium": ".config/chromium/NativeMessagingHosts",
    "edge": ".config/microsoft-edge/NativeMessagingHosts",
    "firefox": ".mozilla/native-messaging-hosts",
}
SYSTEM_DIRS = {
    "chrome": "etc/opt/chrome/native-messaging-hosts",
    "chromium": "etc/chromium/native-messaging-hosts",
    "edge": "etc/opt/edge/native-messaging-hosts",
    "firefox": "usr/lib/mozilla/native-messaging-hosts",
}


class ScriptCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = pkgtest.env("QUORVIA_HOST")
        cls.nm = pkgtest.env("QUORVIA_NM")
        source = pkgtest.env("QUORVIA_SOURCE_DIR")
        cls.install_sh = os.path.join(source, "packaging/linux/install.sh")
        cls.uninstall_sh = os.path.join(source, "packaging/linux/uninstall.sh")

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="quorvia-scripts-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(self.home)
        self.env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
        self.env["HOME"] = self.home

    def install(self, *args, check=0, env=None):
        return pkgtest.run([self.install_sh, *args], env=env or self.env, check=check)

    def uninstall(self, *args, check=0):
        return pkgtest.run([self.uninstall_sh, *args], env=self.env, check=check)

    def files_under(self, top):
        found = []
        for folder, _, names in os.walk(top):
            found += [os.path.relpath(os.path.join(folder, n), top) for n in names]
        return sorted(found)

    def read(self, path):
        with open(path) as f:
            return json.load(f, object_pairs_hook=dict)

    def expected(self, allowed_key, allowed, name=NAME, path=None):
        return {"name": name, "description": "Quorvia device information", "path": path or self.host,
                "type": "stdio", allowed_key: allowed}


class PerUserInstall(ScriptCase):
    def test_writes_one_manifest_per_browser_family_into_the_users_folders(self):
        out = self.install("--host", self.host, "--chrome-ids", f"{pkgtest.CHROME_ID},{pkgtest.OTHER_CHROME_ID}",
                           "--firefox-ids", pkgtest.FIREFOX_ID).stdout
        chrome = self.expected("allowed_origins", [f"chrome-extension://{pkgtest.CHROME_ID}/",
                                                   f"chrome-extension://{pkgtest.OTHER_CHROME_ID}/"])
        firefox = self.expected("allowed_extensions", [pkgtest.FIREFOX_ID])
        self.assertEqual(self.files_under(self.home), sorted(f"{d}/{NAME}.json" for d in USER_DIRS.values()))
        for browser, folder in USER_DIRS.items():
            with self.subTest(browser):
                path = os.path.join(self.home, folder, f"{NAME}.json")
                self.assertEqual(self.read(path), firefox if browser == "firefox" else chrome)
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o644)
                self.assertIn(path, out)

    def test_chrome_ids_alone_register_only_the_chromium_family(self):
        self.install("--host", self.host, "--chrome-ids", pkgtest.CHROME_ID)
        self.assertEqual(self.files_under(self.home),
                         sorted(f"{USER_DIRS[b]}/{NAME}.json" for b in ("chrome", "chromium", "edge")))

    def test_firefox_ids_alone_register_only_firefox(self):
        self.install("--host", self.host, "--firefox-ids", f"{pkgtest.FIREFOX_GUID},{pkgtest.FIREFOX_ID}")
        self.assertEqual(self.files_under(self.home), [f"{USER_DIRS['firefox']}/{NAME}.json"])
        manifest = self.read(os.path.join(self.home, USER_DIRS["firefox"], f"{NAME}.json"))
        self.assertEqual(manifest["allowed_extensions"], [pkgtest.FIREFOX_GUID, pkgtest.FIREFOX_ID])
        self.assertNotIn("allowed_origins", manifest)

    def test_browsers_option_limits_the_folders(self):
        self.install("--host", self.host, "--chrome-ids", pkgtest.CHROME_ID, "--firefox-ids", pkgtest.FIREFOX_ID,
                     "--browsers", "edge,firefox")
        self.assertEqual(self.files_under(self.home),
                         sorted(f"{USER_DIRS[b]}/{NAME}.json" for b in ("edge", "firefox")))

    def test_xdg_config_home_moves_the_chromium_family_folders(self):
        config = os.path.join(self.tmp, "xdg")
        self.install("--host", self.host, "--chrome-ids", pkgtest.CHROME_ID, "--browsers", "chromium",
                     env=dict(self.env, XDG_CONFIG_HOME=config))
        self.assertTrue(os.path.isfile(os.path.join(config, "chromium/NativeMessagingHosts", f"{NAME}.json")))
        self.assertEqual(self.files_under(self.home), [])

    def test_ids_may_be_repeated_spaced_and_duplicated(self):
        self.install("--host", self.host, "--chrome-ids", f"{pkgtest.CHROME_ID}, {pkgtest.OTHER_CHROME_ID}",
                     "--chrome-ids", pkgtest.CHROME_ID, "--browsers", "chrome")
        manifest = self.read(os.path.join(self.home, USER_DIRS["chrome"], f"{NAME}.json"))
        self.assertEqual(manifest["allowed_origins"], [f"chrome-extension://{pkgtest.CHROME_ID}/",
                                                       f"chrome-extension://{pkgtest.OTHER_CHROME_ID}/"])

    def test_another_name_gives_another_file_and_manifest_name(self):
        self.install("--host", self.host, "--name", "org.example.device_info_2", "--chrome-ids", pkgtest.CHROME_ID,
                     "--browsers", "chrome")
        path = os.path.join(self.home, USER_DIRS["chrome"], "org.example.device_info_2.json")
        self.assertEqual(self.read(path)["name"], "org.example.device_info_2")

    def test_installing_again_replaces_the_manifest(self):
        self.install("--host", self.host, "--chrome-ids", pkgtest.CHROME_ID, "--browsers", "chrome")
        self.install("--host", self.host, "--chrome-ids", pkgtest.OTHER_CHROME_ID, "--browsers", "chrome")
        folder = os.path.join(self.home, USER_DIRS["chrome"])
        self.assertEqual(os.listdir(folder), [f"{NAME}.json"])
        self.assertEqual(self.read(os.path.join(folder, f"{NAME}.json"))["allowed_origins"],
                         [f"chrome-extension://{pkgtest.OTHER_CHROME_ID}/"])


class HostPath(ScriptCase):
    def test_the_manifest_path_starts_a_host_that_answers(self):
        self.install("--host", self.host, "--chrome-ids", pkgtest.CHROME_ID, "--browsers", "chrome")
        manifest = self.read(os.path.join(self.home, USER_DIRS["chrome"], f"{NAME}.json"))
        self.assertTrue(os.path.isabs(manifest["path"]))
        pairs = pkgtest.host_document([self.nm], manifest["path"], pkgtest.random_key(16))
        self.assertEqual([k for k, _ in pairs], pkgtest.DOCUMENT_KEYS)

    def test_a_relative_host_path_is_made_absolute(self):
        link_dir = os.path.join(self.tmp, "bin")
        os.makedirs(link_dir)
        shutil.copy(self.host, os.path.join(link_dir, "quorvia-host"))
        pkgtest.run([self.install_sh, "--host", "bin/quorvia-host", "--chrome-ids", pkgtest.CHROME_ID,
                     "--browsers", "chrome"], env=self.env, cwd=self.tmp, check=0)
        manifest = self.read(os.path.join(self.home, USER_DIRS["chrome"], f"{NAME}.json"))
        self.assertEqual(manifest["path"], os.path.realpath(os.path.join(link_dir, "quorvia-host")))

    def test_quotes_backslashes_and_placeholders_in_the_path_stay_literal(self):
        odd = os.path.join(self.tmp, 'a "quoted" \\dir & @ALLOWED@ @NAME@')
        os.makedirs(odd)
        copy = os.path.join(odd, "quorvia-host")
        shutil.copy(self.host, copy)
        self.install("--host", copy, "--chrome-ids", pkgtest.CHROME_ID, "--browsers", "chrome")
        manifest = self.read(os.path.join(self.home, USER_DIRS["chrome"], f"{NAME}.json"))
        self.assertEqual(manifest, self.expected("allowed_origins", [f"chrome-extension://{pkgtest.CHROME_ID}/"],
                                                 path=copy))

    def test_the_default_host_is_the_one_beside_the_script(self):
        # The layout of the Debian package: scripts, template and host together.
        folder = os.path.join(self.tmp, "lib")
        os.makedirs(folder)
        source = os.path.dirname(self.install_sh)
        for name in ("install.sh", "common.sh"):
            shutil.copy(os.path.join(source, name), folder)
        shutil.copy(os.path.join(source, "../manifest/host-manifest.json.in"), folder)
        shutil.copy(self.host, os.path.join(folder, "quorvia-host"))
        pkgtest.run([os.path.join(folder, "install.sh"), "--chrome-ids", pkgtest.CHROME_ID, "--browsers", "chrome"],
                    env=self.env, check=0)
        manifest = self.read(os.path.join(self.home, USER_DIRS["chrome"], f"{NAME}.json"))
        self.assertEqual(manifest["path"], os.path.join(os.path.realpath(folder), "quorvia-host"))


class SystemInstall(ScriptCase):
    def test_system_folders_are_written_under_the_root_prefix(self):
        root = os.path.join(self.tmp, "root")
        self.install("--system", "--root", root, "--host", self.host, "--chrome-ids", pkgtest.CHROME_ID,
                     "--firefox-ids", pkgtest.FIREFOX_ID)
        self.assertEqual(self.files_under(root), sorted(f"{d}/{NAME}.json" for d in SYSTEM_DIRS.values()))
        self.assertEqual(self.files_under(self.home), [])
        for browser, folder in SYSTEM_DIRS.items():
            with self.subTest(browser):
                manifest = self.read(os.path.join(root, folder, f"{NAME}.json"))
                key = "allowed_extensions" if browser == "firefox" else "allowed_origins"
                self.assertIn(key, manifest)
                self.assertEqual(manifest["path"], self.host)
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(root, folder)).st_mode), 0o755)

    def test_uninstall_system_removes_them_again(self):
        root = os.path.join(self.tmp, "root")
        self.install("--system", "--root", root, "--host", self.host, "--chrome-ids", pkgtest.CHROME_ID,
                     "--firefox-ids", pkgtest.FIREFOX_ID)
        out = self.uninstall("--system", "--root", root).stdout
        self.assertEqual(self.files_under(root), [])
        self.assertEqual(out.count("removed"), 4)


class Uninstall(ScriptCase):
    def test_removes_every_browsers_manifest_of_that_name_only(self):
        self.install("--host", self.host, "--chrome-ids", pkgtest.CHROME_ID, "--firefox-ids", pkgtest.FIREFOX_ID)
        self.install("--host", self.host, "--name", "org.example.other", "--chrome-ids", pkgtest.CHROME_ID)
        self.uninstall()
        self.assertEqual(self.files_under(self.home),
                         sorted(f"{USER_DIRS[b]}/org.example.other.json" for b in ("chrome", "chromium", "edge")))

    def test_a_second_uninstall_succeeds_and_says_nothing_was_there(self):
        self.install("--host", self.host, "--chrome-ids", pkgtest.CHROME_ID)
        self.uninstall()
        out = self.uninstall().stdout
        self.assertIn("not registered", out)

    def test_browsers_option_limits_what_is_removed(self):
        self.install("--host", self.host, "--chrome-ids", pkgtest.CHROME_ID)
        self.uninstall("--browsers", "chrome")
        self.assertEqual(self.files_under(self.home),
                         sorted(f"{USER_DIRS[b]}/{NAME}.json" for b in ("chromium", "edge")))

    def test_names_that_could_leave_the_folder_are_refused(self):
        outside = os.path.join(self.home, ".config", "victim.json")
        os.makedirs(os.path.dirname(outside), exist_ok=True)
        open(outside, "w").close()
        for name in ("../../victim", "", "Victim"):
            with self.subTest(name=name):
                result = self.uninstall("--name", name, check=2)
                self.assertIn("invalid host name", result.stderr)
        self.assertTrue(os.path.exists(outside))


class Refusals(ScriptCase):
    """Each mistake exits with 2, says what is wrong, and writes nothing."""

    def refused(self, args, message, env=None):
        result = self.install(*args, check=2, env=env)
        self.assertIn(message, result.stderr)
        self.assertEqual(self.files_under(self.home), [])

    def test_no_ids(self):
        self.refused(["--host", self.host], "no extension IDs given")
        self.refused(["--host", self.host, "--chrome-ids", ""], "no extension IDs given")

    def test_invalid_chrome_ids(self):
        for bad in ("abc", pkgtest.CHROME_ID.upper(), "abcdefghijklmnopabcdefghijklmnoq",
                    f"chrome-extension://{pkgtest.CHROME_ID}/", pkgtest.CHROME_ID + "a"):
            with self.subTest(bad):
                self.refused(["--host", self.host, "--chrome-ids", f"{pkgtest.CHROME_ID},{bad}"],
                             "invalid Chrome extension ID")

    def test_invalid_firefox_ids(self):
        for bad in ("no-at-sign", "a@b@c", '"quoted"@x.org', "{not-a-guid}", "a@b/c"):
            with self.subTest(bad):
                self.refused(["--host", self.host, "--firefox-ids", bad], "invalid Firefox add-on ID")

    def test_invalid_names(self):
        for bad in ("Com.Quorvia", ".com.quorvia", "com.quorvia.", "com..quorvia", "com/quorvia", "com-quorvia", ""):
            with self.subTest(bad):
                self.refused(["--host", self.host, "--name", bad, "--chrome-ids", pkgtest.CHROME_ID],
                             "invalid host name")

    def test_host_missing_or_not_executable(self):
        self.refused(["--host", os.path.join(self.tmp, "nothing"), "--chrome-ids", pkgtest.CHROME_ID],
                     "host program not found")
        plain = os.path.join(self.tmp, "plain")
        open(plain, "w").close()
        self.refused(["--host", plain, "--chrome-ids", pkgtest.CHROME_ID], "not an executable file")
        self.refused(["--host", self.tmp, "--chrome-ids", pkgtest.CHROME_ID], "not an executable file")

    def test_default_host_missing_in_the_source_tree(self):
        # Beside packaging/linux/install.sh there is no host.
        self.refused(["--chrome-ids", pkgtest.CHROME_ID], "host program not found")

    def test_browser_without_its_ids(self):
        self.refused(["--host", self.host, "--chrome-ids", pkgtest.CHROME_ID, "--browsers", "firefox"],
                     "firefox chosen but no --firefox-ids")
        self.refused(["--host", self.host, "--firefox-ids", pkgtest.FIREFOX_ID, "--browsers", "chrome"],
                     "chrome chosen but no --chrome-ids")
        self.refused(["--host", self.host, "--chrome-ids", pkgtest.CHROME_ID, "--browsers", "opera"],
                     "unknown browser 'opera'")

    def test_usage_mistakes(self):
        self.refused(["--host", self.host, "--chrome-ids", pkgtest.CHROME_ID, "--bogus"], "unknown argument '--bogus'")
        self.refused(["--host", self.host, "--chrome-ids"], "--chrome-ids needs a value")
        self.refused(["--root", self.tmp, "--host", self.host, "--chrome-ids", pkgtest.CHROME_ID],
                     "--root only applies with --system")

    def test_no_home(self):
        env = {k: v for k, v in self.env.items() if k != "HOME"}
        self.refused(["--host", self.host, "--chrome-ids", pkgtest.CHROME_ID], "HOME is not set", env=env)

    def test_unwritable_system_folder(self):
        # A file where a folder should be stands in for a folder root may not
        # write (the tests run as root, so permissions would not stop them).
        root = os.path.join(self.tmp, "root")
        os.makedirs(os.path.join(root, "etc/opt"))
        open(os.path.join(root, "etc/opt/chrome"), "w").close()
        result = self.install("--system", "--root", root, "--host", self.host, "--chrome-ids", pkgtest.CHROME_ID,
                              "--browsers", "chrome", check=2)
        self.assertIn("cannot create", result.stderr)


if __name__ == "__main__":
    pkgtest.main()
