"""Helpers shared by the packaging tests. Every test reads its paths from the
environment that CMake's add_test gives it, so the same files serve the Linux
and the Windows build."""

import glob
import json
import os
import secrets
import string
import subprocess
import tempfile

NAME = "com.quorvia.deviceinfo"
DOCUMENT_KEYS = [
    "hostName", "macAddress", "venderName", "deviceName", "cpuName", "mainMemory",
    "storageSize", "osName", "osVersion", "authorizedOsUser", "deviceId",
]
# IDs of the right form that no browser will hand out to an extension here.
CHROME_ID = "abcdefghijklmnopabcdefghijklmnop"
OTHER_CHROME_ID = "ponmlkjihgfedcbaponmlkjihgfedcba"
FIREFOX_ID = "deviceinfo@quorvia.example"
FIREFOX_GUID = "{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}"


def manifest(host, chrome_ids=(), firefox_ids=(), name=NAME):
    """The manifest a browser must find: Chrome's family wants origins with
    the trailing slash, Firefox bare add-on IDs."""
    allowed = ({"allowed_extensions": list(firefox_ids)} if firefox_ids else
               {"allowed_origins": [f"chrome-extension://{i}/" for i in chrome_ids]})
    return {"name": name, "description": "Quorvia device information", "path": host, "type": "stdio", **allowed}


def read_json(path):
    with open(path) as f:
        return json.load(f)


def env(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set: run this test through ctest")
    return value


def run(args, timeout=120, check=None, **kwargs):
    """Runs a program, text mode; check=N asserts that exit status and shows
    what the program printed when it differs. The output goes through files:
    a pipe would stay open, and the call wait, for as long as a process the
    program started on the side inherits it (under Wine, every msiexec call
    starts explorer.exe /desktop, which outlives it by seconds)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(args, stdout=out, stderr=err, timeout=timeout, stdin=subprocess.DEVNULL, **kwargs)
        for name, f in (("stdout", out), ("stderr", err)):
            f.seek(0)
            setattr(result, name, f.read().decode().replace("\r\n", "\n"))
    if check is not None and result.returncode != check:
        raise AssertionError(f"{args} exited with {result.returncode}, expected {check}\n"
                             f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")
    return result


def cpack(generator, out, build_dir=None):
    """Builds the build folder's package of that generator into out."""
    config = os.path.join(build_dir or env("QUORVIA_BUILD_DIR"), "CPackConfig.cmake")
    run([env("QUORVIA_CPACK"), "--config", config, "-G", generator, "-B", out], timeout=300, check=0)
    found = glob.glob(os.path.join(out, f"*.{generator.lower()}"))
    if len(found) != 1:
        raise AssertionError(f"expected one {generator} package in {out}, found {found}")
    return found[0]


def random_key(length):
    return "".join(secrets.choice(string.ascii_letters + string.digits) for _ in range(length))


def parse_nm_document(output):
    """The document `quorvia-nm call` printed, as ordered (key, value) pairs."""
    marker = "document:\n"
    at = output.find(marker)
    if at < 0:
        raise AssertionError(f"quorvia-nm printed no document:\n{output}")
    return json.loads(output[at + len(marker):], object_pairs_hook=list)


def host_document(nm_command, host, key):
    """Asks the host, started as a browser starts it, for its document."""
    return parse_nm_document(run(nm_command + ["call", "--key", key, "--host", host], timeout=60, check=0).stdout)

