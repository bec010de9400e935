#!/usr/bin/env python3
"""End to end in a real browser: headless Chromium loads a test extension,
which calls the host through chrome.runtime.sendNativeMessage after
packaging/linux/install.sh registered it, decrypts the answers with WebCrypto
and reports them to a loopback HTTP server here. The test then holds what
the extension saw against what quorvia-nm gets from the same host.

Environment (from ctest): QUORVIA_HOST, QUORVIA_NM, QUORVIA_SOURCE_DIR."""

import base64
import hashlib
import http.server
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import pkgtest

REPORT_TIMEOUT = 90  # seconds; a round trip takes about 3


def extension_id(manifest):
    """Chrome's rule: the first 32 hex digits of the SHA-256 of the key's DER
    bytes, each digit 0-f written as a letter a-p."""
    digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
    return "".join(chr(ord("a") + int(d, 16)) for d in digest)


class ReportServer(http.server.ThreadingHTTPServer):
    """Takes the extension's one report on 127.0.0.1 only."""

    def __init__(self):
        self.report = None
        self.received = threading.Event()
        super().__init__(("127.0.0.1", 0), ReportHandler)


class ReportHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path == "/report" and not self.server.received.is_set():
            self.server.report = json.loads(body)
            self.server.received.set()
        self.send_response(204)
        self.send_header("Access-Control-Allow-Origin", "*")
        self.end_headers()

    def log_message(self, *args):
        pass


def chromium_command():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    raise AssertionError("Chromium is not installed (scripts/install-deps installs Debian's chromium)")


def stop_process_tree(process, marker):
    """Ends Chromium: its process group first, then any of its processes that
    left the group (crashpad), found by the private profile folder in their
    command line. Only processes this test started carry that marker."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    for _ in range(2):
        strays = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if marker.encode() in f.read():
                        strays.append(int(pid))
            except OSError:
                pass
        for pid in strays:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if not strays:
            return
        time.sleep(0.5)


class ChromiumEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = pkgtest.env("QUORVIA_HOST")
        cls.nm = pkgtest.env("QUORVIA_NM")
        source = pkgtest.env("QUORVIA_SOURCE_DIR")
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-chromium-")
        home = os.path.join(cls.tmp, "home")
        os.makedirs(home)
        cls.environment = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
        cls.environment["HOME"] = home

        extension_source = os.path.join(source, "tests/packaging/chromium/extension")
        with open(os.path.join(extension_source, "manifest.json")) as f:
            cls.extension_id = extension_id(json.load(f))

        # Registered exactly as a user would: the per-user install script,
        # which writes into Chromium's default profile folder.
        install = os.path.join(source, "packaging/linux/install.sh")
        pkgtest.run([install, "--host", cls.host, "--chrome-ids", cls.extension_id, "--browsers", "chromium"],
                    env=cls.environment, check=0)
        # A host this extension is not allowed to call.
        pkgtest.run([install, "--host", cls.host, "--name", "com.quorvia.forbidden",
                     "--chrome-ids", pkgtest.OTHER_CHROME_ID, "--browsers", "chromium"],
                    env=cls.environment, check=0)
        # Hosts that fail the way a broken deployment does: a program that
        # is gone, and one that answers with something that is not a frame.
        gone = os.path.join(cls.tmp, "gone-host")
        shutil.copy(cls.host, gone)
        pkgtest.run([install, "--host", gone, "--name", "com.quorvia.gone", "--chrome-ids", cls.extension_id,
                     "--browsers", "chromium"], env=cls.environment, check=0)
        os.remove(gone)
        chatty = os.path.join(cls.tmp, "chatty-host")
        with open(chatty, "w") as f:
            f.write("#!/bin/sh\necho 'starting up'\n")
        os.chmod(chatty, 0o755)
        pkgtest.run([install, "--host", chatty, "--name", "com.quorvia.chatty", "--chrome-ids", cls.extension_id,
                     "--browsers", "chromium"], env=cls.environment, check=0)
        profile = os.path.join(home, ".config/chromium")

        cls.key16 = pkgtest.random_key(16)
        cls.key32 = pkgtest.random_key(32)
        name = "com.quorvia.deviceinfo"
        cases = [
            {"name": "data16", "host": name, "key": cls.key16,
             "message": {"command": "DeviceInfo", "version": 1, "key": cls.key16}},
            {"name": "data32", "host": name, "key": cls.key32,
             "message": {"command": "DeviceInfo", "version": 10000, "key": cls.key32}},
            {"name": "unknown_command", "host": name,
             "message": {"command": "Inventory", "version": 1, "key": cls.key16}},
            {"name": "version_too_high", "host": name,
             "message": {"command": "DeviceInfo", "version": 10001, "key": cls.key16}},
            {"name": "short_key", "host": name,
             "message": {"command": "DeviceInfo", "version": 1, "key": "short"}},
            {"name": "missing_key", "host": name,
             "message": {"command": "DeviceInfo", "version": 1}},
            {"name": "not_registered", "host": "com.quorvia.not_registered",
             "message": {"command": "DeviceInfo", "version": 1, "key": cls.key16}},
            {"name": "forbidden", "host": "com.quorvia.forbidden",
             "message": {"command": "DeviceInfo", "version": 1, "key": cls.key16}},
            {"name": "host_gone", "host": "com.quorvia.gone",
             "message": {"command": "DeviceInfo", "version": 1, "key": cls.key16}},
            {"name": "not_a_frame", "host": "com.quorvia.chatty",
             "message": {"command": "DeviceInfo", "version": 1, "key": cls.key16}},
        ]

        server = ReportServer()
        server_thread = threading.Thread(target=server.serve_forever, daemon=True)
        server_thread.start()
        extension = os.path.join(cls.tmp, "extension")
        shutil.copytree(extension_source, extension)
        with open(os.path.join(extension, "config.json"), "w") as f:
            json.dump({"port": server.server_address[1], "cases": cases}, f)

        command = [
            chromium_command(), "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", f"--user-data-dir={profile}", f"--load-extension={extension}",
            "about:blank",
        ]
        log_path = os.path.join(cls.tmp, "chromium.log")
        started = time.monotonic()
        with open(log_path, "w") as log:
            process = subprocess.Popen(command, env=cls.environment, stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            received = server.received.wait(REPORT_TIMEOUT)
        finally:
            stop_process_tree(process, profile)
            server.shutdown()
            server.server_close()
        cls.seconds = time.monotonic() - started
        if not received:
            with open(log_path, errors="replace") as f:
                tail = f.read()[-4000:]
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError(f"no report from the extension within {REPORT_TIMEOUT} s; Chromium said:\n{tail}")
        cls.report = server.report
        cls.results = {r["name"]: r for r in cls.report.get("results", [])}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def result(self, name):
        self.assertNotIn("failure", self.report, self.report.get("failure"))
        self.assertIn(name, self.results, f"the extension did not report {name}: {self.report}")
        return self.results[name]

    def test_extension_id_is_the_one_derived_from_its_key(self):
        self.assertEqual(self.report["extensionId"], self.extension_id)

    def test_data_answers_decrypt_to_the_document_quorvia_nm_sees(self):
        # quorvia-nm asks the same host on this machine; every value is stable
        # between two runs, so the documents must be equal, key for key.
        expected = pkgtest.host_document([self.nm], self.host, pkgtest.random_key(32))
        self.assertEqual([k for k, _ in expected], pkgtest.DOCUMENT_KEYS)
        for name in ("data16", "data32"):
            with self.subTest(name):
                r = self.result(name)
                self.assertIsNone(r["error"])
                self.assertEqual(list(r["response"].keys()), ["data"])
                self.assertNotIn("decryptError", r, r.get("decryptError"))
                self.assertEqual(r["documentKeys"], pkgtest.DOCUMENT_KEYS)
                pairs = json.loads(r["document"], object_pairs_hook=list)
                self.assertEqual(pairs, expected)

    def test_error_answers_reach_the_extension_with_their_codes(self):
        for name, code in (("unknown_command", 3), ("version_too_high", 4), ("short_key", 27), ("missing_key", 2)):
            with self.subTest(name):
                r = self.result(name)
                self.assertIsNone(r["error"])
                self.assertEqual(r["response"]["errorCode"], code)
                self.assertIsInstance(r["response"]["errorMessage"], str)
                self.assertTrue(r["response"]["errorMessage"])

    def test_browser_errors_name_the_registration_problem(self):
        # The texts the README's troubleshooting section starts from.
        self.assertEqual(self.result("not_registered")["error"], "Specified native messaging host not found.")
        self.assertEqual(self.result("forbidden")["error"],
                         "Access to the specified native messaging host is forbidden.")
        self.assertEqual(self.result("host_gone")["error"], "Specified native messaging host not found.")
        self.assertEqual(self.result("not_a_frame")["error"],
                         "Error when communicating with the native messaging host.")


if __name__ == "__main__":
    pkgtest.main()
