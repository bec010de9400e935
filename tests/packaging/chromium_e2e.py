#!/usr/bin/env python3
"""End to end in a real browser: headless Chromium loads a test extension,
which calls the host through the shipped client module
(clients/js/deviceinfo.js) after packaging/linux/install.sh registered it and
reports what the module gave to a loopback HTTP server here. The test then
holds what the extension saw against what quorvia-nm gets from the same host.

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
import sys
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
        # the host; the host run as a user without an account, so it answers
        # with a coded error (701); one this extension may not call; one whose
        # program is gone; one that answers with something that is not a frame;
        # one whose frame holds data that decrypts under no key.
        gone = os.path.join(cls.tmp, "gone-host")
        shutil.copy(cls.host, gone)
        scripts = {"no-account": f"#!/bin/sh\nexec unshare --user --map-user=54321 --map-group=54321 {cls.host} \"$@\"\n",
                   "chatty": "#!/bin/sh\necho 'starting up'\n",
                   # Reads the request, answers with one frame: 16 zero bytes as data.
                   "garbled": f"#!{sys.executable}\nimport struct, sys\n"
                              "sys.stdin.buffer.read(struct.unpack('<I', sys.stdin.buffer.read(4))[0])\n"
                              "body = b'{\"data\": \"AAAAAAAAAAAAAAAAAAAAAA==\"}'\n"
                              "sys.stdout.buffer.write(struct.pack('<I', len(body)) + body)\n"}
        for script, text in scripts.items():
            with open(os.path.join(cls.tmp, script), "w") as f:
                f.write(text)
            os.chmod(f.name, 0o755)
        for name, host, allowed in ((pkgtest.NAME, cls.host, ours),
                                    ("com.quorvia.no_account", os.path.join(cls.tmp, "no-account"), ours),
                                    ("com.quorvia.forbidden", cls.host, pkgtest.OTHER_CHROME_ID),
                                    ("com.quorvia.gone", gone, ours),
                                    ("com.quorvia.chatty", os.path.join(cls.tmp, "chatty"), ours),
                                    ("com.quorvia.garbled", os.path.join(cls.tmp, "garbled"), ours)):
            pkgtest.run([os.path.join(source, "packaging/linux/install.sh"), "--host", host, "--name", name,
                         "--chrome-ids", allowed, "--browsers", "chromium"], env=environment, check=0)
        os.remove(gone)

        # Every case goes through clients/js/deviceinfo.js, copied into the
        # extension as an extension's developer would.
        cases = [("data16", {"keyBytes": 16}), ("data32", {}), ("aes192", {"keyBytes": 24}),
                 ("no_account", {"hostName": "com.quorvia.no_account"}),
                 ("garbled", {"hostName": "com.quorvia.garbled"}),
                 ("not_registered", {"hostName": "com.quorvia.not_registered"}),
                 ("forbidden", {"hostName": "com.quorvia.forbidden"}), ("host_gone", {"hostName": "com.quorvia.gone"}),
                 ("not_a_frame", {"hostName": "com.quorvia.chatty"})]
        cases = [{"name": name, "options": options} for name, options in cases]

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ReportHandler)
        server.report, server.received = None, threading.Event()
        threading.Thread(target=server.serve_forever, daemon=True).start()
        extension = os.path.join(cls.tmp, "extension")
        shutil.copytree(extension_source, extension)
        shutil.copy(os.path.join(source, "clients/js/deviceinfo.js"), extension)
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
        # documents must be equal, key for key and in order.
        expected = pkgtest.host_document([pkgtest.env("QUORVIA_NM")], self.host, pkgtest.random_key(32))
        self.assertEqual([k for k, _ in expected], pkgtest.DOCUMENT_KEYS)
        for name in ("data16", "data32"):
            with self.subTest(name):
                r = self.result(name)
                self.assertNotIn("error", r, r.get("error"))
                self.assertEqual(list(r["document"].items()), expected)

    def test_errors_reach_the_extension_with_their_kind(self):
        # The browser's own texts are the ones the README's troubleshooting
        # section starts from.
        not_found = "Specified native messaging host not found."
        for name, kind, code, text in (
                ("aes192", "browser", None, "AES-192"), ("no_account", "host", 701, "user name"),
                ("garbled", "answer", None, "does not decrypt"), ("not_registered", "browser", None, not_found),
                ("host_gone", "browser", None, not_found),
                ("forbidden", "browser", None, "Access to the specified native messaging host is forbidden."),
                ("not_a_frame", "browser", None, "Error when communicating with the native messaging host.")):
            with self.subTest(name):
                error = self.result(name).get("error") or {}
                self.assertEqual((error.get("kind"), error.get("code")), (kind, code), error)
                self.assertIn(text, error["message"])
                self.assertEqual(error["hostMessage"], "userNameが取得できませんでした。" if code else None)


if __name__ == "__main__":
    unittest.main(verbosity=2)
