#!/usr/bin/env python3
"""End to end in real browsers: headless Chromium (the extension unpacked) and
headless Firefox ESR (the same extension as an unsigned XPI sideloaded into a
fresh profile) call the host through runtime.sendNativeMessage after
install.sh registered it into a temporary HOME, decrypt the answers with
WebCrypto and hand a report to the test's own native host. The test holds
what the extension saw against what quorvia-nm gets from the same host. Each
browser runs in a network namespace of its own, where no packet can leave.

Usage: browser_e2e.py Chromium|Firefox
Environment (from ctest): QUORVIA_HOST, QUORVIA_NM, QUORVIA_SOURCE_DIR."""

import base64
import contextlib
import hashlib
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import zipfile

import pkgtest

REPORT_TIMEOUT = 150  # seconds; Firefox takes about 30 in a fresh profile here
FIREFOX_OTHER_ID = "other@quorvia.example"
NOT_FOUND = "Specified native messaging host not found."
FIREFOX_UNEXPECTED = "An unexpected error occurred"
# A garbage answer's first four bytes ("star" of "starting up") read as its length.
GARBAGE_LENGTH = int.from_bytes(b"star", "little")

# A network namespace of its own: only a loopback device, so nothing can
# leave the machine. (A user namespace too where the test is not root.)
ISOLATED = ["unshare", "--net"] + ([] if os.geteuid() == 0 else ["--map-root-user"])


def chromium_id(manifest):
    """Chrome's rule: the first 32 hex digits of the SHA-256 of the key's DER
    bytes, each digit 0-f written as a letter a-p."""
    digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
    return "".join(chr(ord("a") + int(d, 16)) for d in digest)


def stop(process, marker):
    """Ends the browser's process group, then its processes that left the
    group (Chromium's crashpad), known by the private profile folder in their
    command line: only processes this test started carry it."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
            if marker.encode() in f.read():
                os.kill(int(pid), signal.SIGKILL)


class BrowserCase(unittest.TestCase):
    # Each browser gives its name, the message the extension gets per
    # failure, ids() (the option, our ID, another's) and command(profile).
    browser = None
    messages = {}

    @classmethod
    def setUpClass(cls):
        cls.host, cls.nm = pkgtest.env("QUORVIA_HOST"), pkgtest.env("QUORVIA_NM")
        cls.tmp = tempfile.mkdtemp(prefix=f"quorvia-{cls.browser}-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.home = os.path.join(cls.tmp, "home")
        os.makedirs(cls.home)
        cls.env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
        cls.env.update(HOME=cls.home, QUORVIA_REPORT=os.path.join(cls.tmp, "report.json"))
        cls.extension = os.path.join(cls.tmp, "extension")
        shutil.copytree(os.path.join(pkgtest.env("QUORVIA_SOURCE_DIR"), "tests/packaging/extension"), cls.extension)
        ids_option, ours, other = cls.ids()

        # Registered as a user would: the host; one this extension may not
        # call; one whose program is gone; one that answers with text that is
        # not a frame; one that exits without answering; the report host.
        hosts = {name: os.path.join(cls.tmp, name) for name in ("gone", "garbage", "silent")}
        shutil.copy(cls.host, hosts["gone"])
        for name, script in (("garbage", "echo 'starting up'"), ("silent", "exit 0")):
            with open(hosts[name], "w") as f:
                f.write(f"#!/bin/sh\n{script}\n")
            os.chmod(hosts[name], 0o755)
        for name, host, allowed in ((pkgtest.NAME, cls.host, ours), ("com.quorvia.forbidden", cls.host, other),
                                    *((f"com.quorvia.{n}", path, ours) for n, path in hosts.items()),
                                    ("com.quorvia.report", os.path.join(cls.extension, "report_host.py"), ours)):
            pkgtest.run([os.path.join(os.path.dirname(cls.host), "install.sh"), "--host", host, "--name", name,
                         ids_option, allowed, "--browsers", cls.browser], env=cls.env, check=0)
        os.remove(hosts["gone"])

        cls.keys = {n: pkgtest.random_key(n) for n in (16, 24, 32)}
        request = {"command": "DeviceInfo", "version": 1, "key": cls.keys[16]}
        cases = [(f"data{n}", pkgtest.NAME, key, dict(request, key=key, version=10000 if n == 32 else 1))
                 for n, key in cls.keys.items()]
        cases += [("unknown_command", pkgtest.NAME, None, dict(request, command="Inventory")),
                  ("version_too_high", pkgtest.NAME, None, dict(request, version=10001)),
                  ("short_key", pkgtest.NAME, None, dict(request, key="short")),
                  ("missing_key", pkgtest.NAME, None, {"command": "DeviceInfo", "version": 1}),
                  ("not_registered", "com.quorvia.not_registered", None, request),
                  *((n, f"com.quorvia.{n}", None, request) for n in ("forbidden", "gone", "garbage", "silent"))]
        with open(os.path.join(cls.extension, "config.json"), "w") as f:
            json.dump({"reportHost": "com.quorvia.report",
                       "cases": [dict(zip(("name", "host", "key", "message"), c)) for c in cases]}, f)

        # Chromium reads per-user manifests from its profile folder, so it
        # runs in the default one, where install.sh wrote them.
        profile = os.path.join(cls.home, ".config/chromium") if cls.browser == "chromium" else \
            os.path.join(cls.tmp, "profile")
        log_path = os.path.join(cls.tmp, "browser.log")
        with open(log_path, "w") as log:
            process = subprocess.Popen([*ISOLATED, *cls.command(profile)], env=cls.env,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                       start_new_session=True)
        try:
            deadline = time.monotonic() + REPORT_TIMEOUT
            while not os.path.exists(cls.env["QUORVIA_REPORT"]) and time.monotonic() < deadline:
                time.sleep(0.2)
        finally:
            stop(process, profile)
        if not os.path.exists(cls.env["QUORVIA_REPORT"]):
            with open(log_path, errors="replace") as f:
                raise AssertionError(f"no report within {REPORT_TIMEOUT} s; the browser said:\n{f.read()[-4000:]}")
        cls.report = pkgtest.read_json(cls.env["QUORVIA_REPORT"])
        cls.results = {r["name"]: r for r in cls.report["report"].get("results", [])}

    def result(self, name):
        self.assertNotIn("failure", self.report["report"], self.report["report"].get("failure"))
        self.assertIn(name, self.results, f"the extension did not report {name}: {self.report}")
        return self.results[name]

    def document(self, r, key):
        if "document" in r:
            return json.loads(r["document"], object_pairs_hook=list)
        # Chromium's WebCrypto has no AES-192: those answers are decoded here.
        self.assertEqual((self.browser, len(key)), ("chromium", 24), r.get("decryptError"))
        decoded = subprocess.run([self.nm, "decode", "--key", key], input=json.dumps(r["response"]), text=True,
                                 capture_output=True, timeout=60)
        return pkgtest.parse_nm_document(decoded.stdout)

    def test_data_answers_decrypt_to_the_document_quorvia_nm_sees(self):
        # Every value is stable between two runs on one machine, so the
        # documents must be equal, key for key; the host in the browser's
        # namespace sees no network adapter, so quorvia-nm runs in one too.
        expected = pkgtest.host_document([*ISOLATED, self.nm], self.host, pkgtest.random_key(32))
        self.assertEqual([k for k, _ in expected], pkgtest.DOCUMENT_KEYS)
        for n, key in self.keys.items():
            with self.subTest(key_bytes=n):
                r = self.result(f"data{n}")
                self.assertIsNone(r["error"])
                self.assertEqual(list(r["response"]), ["data"])
                self.assertEqual(self.document(r, key), expected)

    def test_errors_reach_the_extension(self):
        # The host's answers carry a code; the browser's own texts are the
        # ones the README's troubleshooting section starts from.
        codes = {"unknown_command": 3, "version_too_high": 4, "short_key": 27, "missing_key": 2}
        for name in [*codes, *self.messages]:
            with self.subTest(name):
                r = self.result(name)
                self.assertEqual(r["error"], self.messages.get(name))
                if name in codes:
                    self.assertEqual(r["response"]["errorCode"], codes[name])
                    self.assertTrue(isinstance(r["response"]["errorMessage"], str) and r["response"]["errorMessage"])


class Chromium(BrowserCase):
    browser = "chromium"
    messages = {"not_registered": NOT_FOUND, "gone": NOT_FOUND,
                "forbidden": "Access to the specified native messaging host is forbidden.",
                "garbage": "Error when communicating with the native messaging host.",
                "silent": "Native host has exited."}

    @classmethod
    def ids(cls):
        with open(os.path.join(cls.extension, "manifest.json")) as f:
            cls.extension_id = chromium_id(json.load(f))
        return "--chrome-ids", cls.extension_id, pkgtest.OTHER_CHROME_ID

    @classmethod
    def command(cls, profile):
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if not chromium:
            raise AssertionError("Chromium is not installed (scripts/install-deps installs Debian's chromium)")
        return [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                f"--user-data-dir={profile}", f"--load-extension={cls.extension}", "about:blank"]

    def test_the_host_gets_the_origin_as_its_argument(self):
        self.assertEqual(self.report["arguments"], [f"chrome-extension://{self.extension_id}/"])


class Firefox(BrowserCase):
    browser = "firefox"
    messages = {"not_registered": "No such native application com.quorvia.not_registered",
                "forbidden": "No such native application com.quorvia.forbidden",
                "gone": FIREFOX_UNEXPECTED, "silent": FIREFOX_UNEXPECTED,
                "garbage": f"Native application tried to send a message of {GARBAGE_LENGTH} bytes, which exceeds "
                           "the limit of 1048576 bytes."}

    @classmethod
    def ids(cls):
        return "--firefox-ids", pkgtest.FIREFOX_ID, FIREFOX_OTHER_ID

    @classmethod
    def command(cls, profile):
        os.makedirs(os.path.join(profile, "extensions"))
        with zipfile.ZipFile(os.path.join(profile, "extensions", f"{pkgtest.FIREFOX_ID}.xpi"), "w") as xpi:
            for folder, _, names in os.walk(cls.extension):
                for n in names:
                    xpi.write(os.path.join(folder, n), os.path.relpath(os.path.join(folder, n), cls.extension))
        shutil.copy(os.path.join(os.path.dirname(__file__), "firefox-user.prefs"), os.path.join(profile, "user.js"))
        firefox = shutil.which("firefox-esr") or shutil.which("firefox")
        if not firefox:
            raise AssertionError("Firefox is not installed (scripts/install-deps installs Debian's firefox-esr)")
        return [firefox, "--headless", "--no-remote", "--profile", profile, "about:blank"]

    def test_the_host_gets_the_manifest_and_add_on_id_and_ignores_them(self):
        # The data cases above went to the host started the same way.
        manifest = os.path.join(self.home, ".mozilla/native-messaging-hosts/com.quorvia.report.json")
        self.assertEqual(self.report["arguments"], [manifest, pkgtest.FIREFOX_ID])
        self.assertIsNone(self.result("data16")["error"])

if __name__ == "__main__":
    unittest.main(verbosity=2)
