#!/usr/bin/env python3
"""End to end in a real browser: headless Chromium loads a test extension,
which calls the host through chrome.runtime.sendNativeMessage after
packaging/linux/install.sh registered it, decrypts the answers with WebCrypto
and reports them to a loopback HTTP server here. The test then holds what
the extension saw against what quorvia-nm gets from the same host.

Environment (from ctest): QUORVIA_HOST, QUORVIA_NM, QUORVIA_SOURCE_DIR."""

import base64
import contextlib
import hashlib
import http.server
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import unittest

import pkgtest

REPORT_TIMEOUT = 90  # seconds; a round trip takes about 3


def extension_id(manifest):
    """Chrome's rule: the first 32 hex digits of the SHA-256 of the key's DER
    bytes, each digit 0-f written as a letter a-p."""
    digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
    return "".join(chr(ord("a") + int(d, 16)) for d in digest)


class ReportHandler(http.server.BaseHTTPRequestHandler):
    """Takes the extension's one report, on 127.0.0.1 only."""

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


def stop_chromium(process, marker):
    """Ends Chromium's process group, then its processes that left the group
    (crashpad), known by the private profile folder in their command line:
    only processes this test started carry it."""
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


class ChromiumEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = pkgtest.env("QUORVIA_HOST")
        source = pkgtest.env("QUORVIA_SOURCE_DIR")
        cls.tmp = tempfile.mkdtemp(prefix="quorvia-chromium-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        home = os.path.join(cls.tmp, "home")
        os.makedirs(home)
        environment = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
        environment["HOME"] = home
        extension_source = os.path.join(source, "tests/packaging/chromium/extension")
        with open(os.path.join(extension_source, "manifest.json")) as f:
            ours = extension_id(json.load(f))

        # Registered as a user would, into Chromium's default profile folder:
        # the host; one this extension may not call; one whose program is
        # gone; one that answers with something that is not a frame.
        gone = os.path.join(cls.tmp, "gone-host")
        shutil.copy(cls.host, gone)
        chatty = os.path.join(cls.tmp, "chatty-host")
        with open(chatty, "w") as f:
            f.write("#!/bin/sh\necho 'starting up'\n")
        os.chmod(chatty, 0o755)
        for name, host, allowed in ((pkgtest.NAME, cls.host, ours),
                                    ("com.quorvia.forbidden", cls.host, pkgtest.OTHER_CHROME_ID),
                                    ("com.quorvia.gone", gone, ours), ("com.quorvia.chatty", chatty, ours)):
            pkgtest.run([os.path.join(os.path.dirname(cls.host), "install.sh"), "--host", host, "--name", name,
                         "--chrome-ids", allowed, "--browsers", "chromium"], env=environment, check=0)
        os.remove(gone)

        key16, key32 = pkgtest.random_key(16), pkgtest.random_key(32)
        request = {"command": "DeviceInfo", "version": 1, "key": key16}
        cases = [("data16", pkgtest.NAME, key16, request),
                 ("data32", pkgtest.NAME, key32, dict(request, version=10000, key=key32)),
                 ("unknown_command", pkgtest.NAME, None, dict(request, command="Inventory")),
                 ("version_too_high", pkgtest.NAME, None, dict(request, version=10001)),
                 ("short_key", pkgtest.NAME, None, dict(request, key="short")),
                 ("missing_key", pkgtest.NAME, None, {"command": "DeviceInfo", "version": 1}),
                 ("not_registered", "com.quorvia.not_registered", None, request),
                 ("forbidden", "com.quorvia.forbidden", None, request),
                 ("host_gone", "com.quorvia.gone", None, request),
                 ("not_a_frame", "com.quorvia.chatty", None, request)]
        cases = [dict(zip(("name", "host", "key", "message"), case)) for case in cases]

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ReportHandler)
        server.report, server.received = None, threading.Event()
        threading.Thread(target=server.serve_forever, daemon=True).start()
        extension = os.path.join(cls.tmp, "extension")
        shutil.copytree(extension_source, extension)
        with open(os.path.join(extension, "config.json"), "w") as f:
            json.dump({"port": server.server_address[1], "cases": cases}, f)

        profile = os.path.join(home, ".config/chromium")
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if not chromium:
            raise AssertionError("Chromium is not installed (scripts/install-deps installs Debian's chromium)")
        log_path = os.path.join(cls.tmp, "chromium.log")
        with open(log_path, "w") as log:
            process = subprocess.Popen([
                chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                f"--user-data-dir={profile}", f"--load-extension={extension}", "about:blank",
            ], env=environment, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            received = server.received.wait(REPORT_TIMEOUT)
        finally:
            stop_chromium(process, profile)
            server.shutdown()
            server.server_close()
        if not received:
            with open(log_path, errors="replace") as f:
                tail = f.read()[-4000:]
            raise AssertionError(f"no report from the extension within {REPORT_TIMEOUT} s; Chromium said:\n{tail}")
        cls.report = server.report
        cls.results = {r["name"]: r for r in cls.report.get("results", [])}

    def result(self, name):
        self.assertNotIn("failure", self.report, self.report.get("failure"))
        self.assertIn(name, self.results, f"the extension did not report {name}: {self.report}")
        return self.results[name]

    def test_data_answers_decrypt_to_the_document_quorvia_nm_sees(self):
        # Every value is stable between two runs on one machine, so the
        # documents must be equal, key for key.
        expected = pkgtest.host_document([pkgtest.env("QUORVIA_NM")], self.host, pkgtest.random_key(32))
        self.assertEqual([k for k, _ in expected], pkgtest.DOCUMENT_KEYS)
        for name in ("data16", "data32"):
            with self.subTest(name):
                r = self.result(name)
                self.assertIsNone(r["error"])
                self.assertEqual(list(r["response"]), ["data"])
                self.assertNotIn("decryptError", r, r.get("decryptError"))
                self.assertEqual(json.loads(r["document"], object_pairs_hook=list), expected)

    def test_errors_reach_the_extension(self):
        # The host's answers carry a code; the browser's own texts are the
        # ones the README's troubleshooting section starts from.
        not_found = "Specified native messaging host not found."
        for name, code, error in (
                ("unknown_command", 3, None), ("version_too_high", 4, None), ("short_key", 27, None),
                ("missing_key", 2, None), ("not_registered", None, not_found), ("host_gone", None, not_found),
                ("forbidden", None, "Access to the specified native messaging host is forbidden."),
                ("not_a_frame", None, "Error when communicating with the native messaging host.")):
            with self.subTest(name):
                r = self.result(name)
                self.assertEqual(r["error"], error)
                if code is not None:
                    self.assertEqual(r["response"]["errorCode"], code)
                    self.assertTrue(isinstance(r["response"]["errorMessage"], str) and r["response"]["errorMessage"])

if __name__ == "__main__":
    unittest.main(verbosity=2)
