#!/usr/bin/env python3
"""End to end: headless Chromium (the extension unpacked) or Firefox ESR (as an unsigned XPI in a fresh
profile), in a network namespace where no packet can leave, calls hosts that install.sh registered into a
temporary HOME through clients/js/deviceinfo.js, and hands what each call gave to the test's report host. How each browser is run, and what each call gives, is in
extension/cases.json. Usage: browser_e2e.py Chromium|Firefox; environment (from ctest): QUORVIA_HOST, QUORVIA_NM, QUORVIA_SOURCE_DIR."""

import base64, contextlib, hashlib, json, os, shutil, signal, subprocess, sys, tempfile, time, unittest, zipfile

import pkgtest

REPORT_TIMEOUT = 150  # seconds; Firefox takes about 30 in a fresh profile here
# Only a loopback device, so nothing can leave the machine (a user namespace too where the test is not root).
ISOLATED = ["unshare", "--net"] + ([] if os.geteuid() == 0 else ["--map-root-user"])


def frame_host(answer):
    """A host that reads the request and answers with one fixed frame."""
    body = json.dumps(answer, ensure_ascii=False).encode()
    return ("#!/usr/bin/env python3\nimport sys\nr = sys.stdin.buffer\nr.read(int.from_bytes(r.read(4), 'little'))\n"
            f"sys.stdout.buffer.write({len(body).to_bytes(4, 'little') + body!r})")


# Registered beside the host as com.quorvia.NAME: one whose program is gone, one that answers with text that is
# not a frame (and stays, so its exit cannot overtake the text), one that exits without answering once the
# request is in (so Chromium's write cannot fail first), two that answer one fixed frame, one that counts starts.
HOSTS = {"gone": "#!/bin/sh", "garbage": "#!/bin/sh\necho 'starting up'\nexec cat >/dev/null",
         "silent": "#!/bin/sh\nhead -c 4 >/dev/null",
         "undecryptable": frame_host({"data": "A" * 20}),  # 15 bytes: no whole AES block
         "coded": frame_host({"errorCode": 601, "errorMessage": "storageSizeが取得できませんでした。"}),
         "counted": '#!/bin/sh\necho >> "$QUORVIA_REPORT.starts"\nexec "$QUORVIA_HOST" "$@"'}


def stop(process, marker):
    """Kills the browser's process group, then its processes that left the group (Chromium's crashpad), known
    by the private profile folder in their command line: only processes this test started carry it."""
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
            if marker.encode() in f.read():
                os.kill(int(pid), signal.SIGKILL)


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = pkgtest.env("QUORVIA_HOST")
        tmp = tempfile.mkdtemp(prefix=f"quorvia-{BROWSER}-")
        cls.addClassCleanup(shutil.rmtree, tmp, ignore_errors=True)
        extension, source = os.path.join(tmp, "extension"), pkgtest.env("QUORVIA_SOURCE_DIR")
        shutil.copytree(os.path.join(source, "tests/packaging/extension"), extension)
        shutil.copy(os.path.join(source, "clients/js/deviceinfo.js"), extension)
        table = pkgtest.read_json(os.path.join(extension, "cases.json"))
        cls.cases, cls.row = table["cases"], table["browsers"][BROWSER]
        key = base64.b64decode(pkgtest.read_json(os.path.join(extension, "manifest.json"))["key"])
        home = os.path.join(tmp, "home")
        # Chrome's ID rule: the first 32 hex digits of the SHA-256 of the key's DER bytes, 0-f written as a-p.
        values = dict(home=home, extension=extension, profile=os.path.join(home, cls.row["profile"]),
                      extension_id="".join(chr(ord("a") + int(d, 16)) for d in hashlib.sha256(key).hexdigest()[:32]))
        cls.fill = staticmethod(lambda texts: [t.format(**values) for t in texts])
        env = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
        env.update(HOME=home, QUORVIA_REPORT=os.path.join(tmp, "report.json"))
        cls.report_path = report = env["QUORVIA_REPORT"]
        cls.env = env

        # Registered as a user would: the host, one this extension may not call, the scripted ones, the report host.
        paths = {name: os.path.join(tmp, name) for name in HOSTS}
        for name, script in HOSTS.items():
            with open(paths[name], "w") as f:
                f.write(script + "\n")
            os.chmod(paths[name], 0o755)
        ids_option, ours, other = cls.fill(cls.row["ids"])
        for name, path, allowed in ((pkgtest.NAME, cls.host, ours), ("com.quorvia.forbidden", cls.host, other),
                                    *((f"com.quorvia.{n}", path, ours) for n, path in paths.items()),
                                    ("com.quorvia.report", os.path.join(extension, "report_host.py"), ours)):
            pkgtest.run([os.path.join(os.path.dirname(cls.host), "install.sh"), "--host", path, "--name", name,
                         ids_option, allowed, "--browsers", BROWSER.lower()], env=env, check=0)
        os.remove(paths["gone"])

        profile = values["profile"]
        if BROWSER == "Firefox":  # the extension sideloaded as an XPI, with the preferences that allow that
            os.makedirs(os.path.join(profile, "extensions"))
            with zipfile.ZipFile(os.path.join(profile, "extensions", f"{pkgtest.FIREFOX_ID}.xpi"), "w") as xpi:
                for name in os.listdir(extension):
                    xpi.write(os.path.join(extension, name), name)
            shutil.copy(os.path.join(os.path.dirname(__file__), "firefox-user.prefs"), os.path.join(profile, "user.js"))
        # Not installed: scripts/install-deps installs Debian's.
        program = next(filter(None, map(shutil.which, cls.row["programs"])), cls.row["programs"][0])
        log_path = os.path.join(tmp, "browser.log")
        with open(log_path, "w") as log:
            process = subprocess.Popen([*ISOLATED, program, *cls.fill(cls.row["command"])], env=env,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                       start_new_session=True)
        try:
            deadline = time.monotonic() + REPORT_TIMEOUT
            while not os.path.exists(report) and time.monotonic() < deadline:
                time.sleep(0.2)
        finally:
            stop(process, profile)
        if not os.path.exists(report):
            with open(log_path, errors="replace") as f:
                raise AssertionError(f"no report within {REPORT_TIMEOUT} s; the browser said:\n{f.read()[-4000:]}")
        cls.report = pkgtest.read_json(report)
        cls.results = {r["name"]: r for r in cls.report["report"]["results"]}

    def test_each_call_resolves_to_the_document_quorvia_nm_sees_or_rejects_with_its_kind(self):
        # Every value is stable between two runs on one machine, so the documents must be equal, key for key;
        # the host in the browser's namespace sees no network adapter, so quorvia-nm runs in one too.
        document = pkgtest.host_document([*ISOLATED, pkgtest.env("QUORVIA_NM")], self.host, pkgtest.random_key(32))
        self.assertEqual([k for k, _ in document], pkgtest.DOCUMENT_KEYS)
        for case in self.cases:
            with self.subTest(case["name"]):
                error = case.get("error")
                error = error.get(BROWSER, error) if error and "kind" not in error else error
                r = self.results.get(case["name"], {"error": "not reported"})
                self.assertEqual(r.get("error") or list(r["document"].items()), error or document)
        # A key this browser cannot use never leaves: the host behind data24 notes each start.
        starts = self.report_path + ".starts"
        self.assertEqual(os.path.getsize(starts) if os.path.exists(starts) else 0, int("error" not in
                         self.results["data24"]))

    def test_doctor_finds_a_problem_exactly_where_the_browser_call_fails(self):
        for case in filter(lambda c: c.get("doctor"), self.cases):
            with self.subTest(case["name"]):
                fails = "error" in self.results.get(case["name"], {"error": "not reported"})
                result = pkgtest.run([pkgtest.env("QUORVIA_NM"), "doctor", "--name", case["hostName"],
                                      *self.fill(self.row["doctor"])], env=self.env)
                self.assertEqual((result.returncode, "\nproblem: " in result.stdout), (int(fails), fails), result.stdout)

    def test_the_host_gets_its_arguments(self):
        # Chromium: the extension's origin. Firefox: its manifest and the add-on's ID, which the host ignores:
        # the data cases went to the host started the same way.
        self.assertEqual(self.report["arguments"], self.fill(self.row["host_arguments"]))


if __name__ == "__main__":
    BROWSER = sys.argv.pop(1)
    unittest.main(verbosity=2)
