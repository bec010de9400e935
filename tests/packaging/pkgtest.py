"""Helpers shared by the packaging tests: running programs, asking the host
for its document through quorvia-nm, and running Windows programs under Wine.

Every test reads its paths from the environment that CMake's add_test gives
it, so the same files serve the Linux and the Windows build."""

import json
import os
import secrets
import string
import subprocess
import sys
import unittest

DOCUMENT_KEYS = [
    "hostName", "macAddress", "venderName", "deviceName", "cpuName", "mainMemory",
    "storageSize", "osName", "osVersion", "authorizedOsUser", "deviceId",
]

# Two extension IDs that no browser will ever hand out together with a key
# we hold; they only have to have the right form.
CHROME_ID = "abcdefghijklmnopabcdefghijklmnop"
OTHER_CHROME_ID = "ponmlkjihgfedcbaponmlkjihgfedcba"
FIREFOX_ID = "deviceinfo@quorvia.example"
FIREFOX_GUID = "{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}"


def env(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set: run this test through ctest")
    return value


def run(args, timeout=120, check=None, **kwargs):
    """Runs a program and returns the CompletedProcess, text mode. check=0
    asserts success and says what the program printed when it failed."""
    kwargs.setdefault("text", True)
    result = subprocess.run(args, capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL, **kwargs)
    if check is not None and result.returncode != check:
        raise AssertionError(
            f"{args} exited with {result.returncode}, expected {check}\n"
            f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")
    return result


def random_key(length):
    alphabet = string.ascii_letters + string.digits
    return "".join(secrets.choice(alphabet) for _ in range(length))


def parse_nm_document(output):
    """The document that `quorvia-nm call` printed, as an ordered list of
    (key, value) pairs, or None when it printed none."""
    marker = "document:\n"
    at = output.find(marker)
    if at < 0:
        return None
    return json.loads(output[at + len(marker):], object_pairs_hook=list)


def host_document(nm_command, host, key, timeout=60):
    """Asks the host for its document through quorvia-nm, as a browser would
    start it, and returns the ordered pairs; fails the test when the answer
    is not a decryptable document."""
    result = run(nm_command + ["call", "--key", key, "--host", host], timeout=timeout)
    if result.returncode != 0:
        raise AssertionError(f"quorvia-nm call failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    pairs = parse_nm_document(result.stdout)
    if pairs is None:
        raise AssertionError(f"quorvia-nm printed no document:\n{result.stdout}")
    return pairs


class Wine:
    """Windows programs under the build's private Wine prefix, through the
    project's runner (which sets WINEPREFIX and quiets Wine)."""

    def __init__(self):
        self.runner = env("QUORVIA_RUNNER")

    def run(self, args, **kwargs):
        return run([self.runner] + args, **kwargs)

    def cmd(self, script, args, **kwargs):
        return self.run(["cmd", "/c", script] + args, **kwargs)

    def reg_default(self, key):
        """The default value of a registry key in the 64-bit view, or None."""
        result = self.run(["reg", "query", key, "/ve", "/reg:64"])
        if result.returncode != 0:
            return None
        for line in result.stdout.splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[1] == "REG_SZ":
                return parts[2].rstrip("\r")
            if len(parts) >= 2 and parts[0] == "(Default)":
                return parts[2].rstrip("\r") if len(parts) == 3 else ""
        return ""

    def reg_exists(self, key):
        return self.run(["reg", "query", key, "/reg:64"]).returncode == 0

    def unix_path(self, windows_path):
        result = self.run(["winepath", "-u", windows_path], check=0)
        return result.stdout.strip()

    def windows_path(self, unix_path):
        result = self.run(["winepath", "-w", unix_path], check=0)
        return result.stdout.strip()


BROWSER_KEYS = {
    "chrome": r"Software\Google\Chrome\NativeMessagingHosts",
    "chromium": r"Software\Chromium\NativeMessagingHosts",
    "edge": r"Software\Microsoft\Edge\NativeMessagingHosts",
    "firefox": r"Software\Mozilla\NativeMessagingHosts",
}


def main():
    unittest.main(verbosity=2, argv=[sys.argv[0]] + sys.argv[1:])
