#!/usr/bin/env python3
"""quorvia-manifest, which every installer on both platforms runs to check names and IDs and write a manifest:
every row of names_and_ids.tsv, repeated and stray options, and on Windows (under QUORVIA_RUNNER, Wine) a
manifest that another program holds open for a moment."""

import os, shutil, subprocess, tempfile, time, unittest

import pkgtest
from pkgtest import CHROME_ID, table

RUNNER = os.environ.get("QUORVIA_RUNNER")


def native(path):
    """The path as the tool sees it: Wine's Z: drive is the Unix root."""
    return "Z:" + path.replace("/", "\\") if RUNNER else path


class ManifestTool(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="quorvia-manifest-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.template = os.path.join(pkgtest.env("QUORVIA_SOURCE_DIR"), "packaging/manifest/host-manifest.json.in")
        self.check = ["--check", "--template", native(self.template), "--host", native(pkgtest.env("QUORVIA_HOST"))]

    def tool(self, *args, check=None):
        return pkgtest.run([*([RUNNER] if RUNNER else []), pkgtest.env("QUORVIA_MANIFEST_TOOL"), *args], check=check)

    def test_names_ids_and_options(self):
        # names_and_ids.tsv: kind, verdict, value; manifest_tool_options.tsv: arguments, message, status alone.
        args = {"name": ["--check-name"], **{kind: [*self.check, f"--{kind}-ids"] for kind in ("chrome", "firefox")}}
        for kind, verdict, value in table("names_and_ids.tsv"):
            with self.subTest(kind=kind, value=value):
                self.tool(*args[kind], value, check=0 if verdict == "valid" else 2)
        for extra, message, *alone in table("manifest_tool_options.tsv"):
            with self.subTest(extra=extra):
                message, status = message.format(version=pkgtest.env("QUORVIA_VERSION")), int(alone[0]) if alone else 2
                result = self.tool(*([] if alone else self.check), *extra.split(), check=status)
                self.assertIn(message, result.stdout if status == 0 else result.stderr)

    @unittest.skipUnless(RUNNER, "a sharing violation is a Windows matter")
    def test_a_manifest_held_open_for_a_moment_is_replaced_when_it_is_free(self):
        # cmd keeps the redirected file open, without sharing it for deletion,
        # until set /p has read its line; it is let go once the tool has
        # written its new manifest beside it and tried to rename it.
        out = os.path.join(self.tmp, "m.json")
        holder = subprocess.Popen([RUNNER, "cmd", "/c", f"set /p x= > {native(out)}"], stdin=subprocess.PIPE)
        self.addCleanup(lambda: holder.returncode is None and holder.communicate(b"\n"))
        while not os.path.exists(out):
            time.sleep(0.05)
        tool = subprocess.Popen([RUNNER, pkgtest.env("QUORVIA_MANIFEST_TOOL"), "--template", native(self.template),
                                 "--out", native(out), *self.check[3:], "--chrome-ids", CHROME_ID])
        while not os.path.exists(out + ".tmp") and tool.poll() is None:
            time.sleep(0.05)
        time.sleep(0.5)
        holder.communicate(b"\n")
        self.assertEqual(tool.wait(timeout=120), 0)
        self.assertEqual(pkgtest.read_json(out)["allowed_origins"], [f"chrome-extension://{CHROME_ID}/"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
