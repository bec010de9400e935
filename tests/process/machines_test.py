#!/usr/bin/env python3
"""The built host asked as the extension asks it, with requests whose bulk
sits in any one member, and on machines set up the way real ones are: a host
name holding control characters (sethostname accepts them) in a UTS
namespace of its own, and a uid that no passwd file lists. Every answer must
be a document that a strict JSON parser reads."""
import json
import os
import pwd
import subprocess
import sys
import tempfile
import time

HOST, NM = os.environ["QUORVIA_HOST"], os.environ["QUORVIA_NM"]


def document(*prefix):
    run = subprocess.run([*prefix, NM, "call", "--key", "0123456789abcdef", "--host", HOST],
                         capture_output=True, text=True)
    _, found, text = run.stdout.partition("document:\n")
    assert found and run.returncode == 0, run.stdout + run.stderr
    return json.loads(text)  # strict: a raw control character fails


def bulky_request(path, mib, bulk):
    """A request whose one member carries `mib` MiB (key, command, version's
    digits, a member name, an ignored value), written without holding it, so
    this process stays small beside the host it measures."""
    fill = b"1" if bulk == "version" else b"x"
    head, tail = {
        "key": (b'{"command":"DeviceInfo","version":1,"key":"', b'"}'),
        "command": (b'{"version":1,"key":"0123456789abcdef","command":"', b'"}'),
        "version": (b'{"command":"DeviceInfo","key":"0123456789abcdef","version":', b'}'),
        "name": (b'{"command":"DeviceInfo","version":1,"key":"0123456789abcdef","', b'":1}'),
        "ignored": (b'{"command":"DeviceInfo","version":1,"key":"0123456789abcdef","x":"', b'"}'),
    }[bulk]
    size = len(head) + mib * 2**20 + len(tail)
    with open(path, "wb") as f:
        f.write(size.to_bytes(4, "little") + head)
        for _ in range(mib):
            f.write(fill * 2**20)
        f.write(tail)
    return size


def peak_and_time(path):
    with open(path, "rb") as frame:
        start = time.monotonic()
        child = subprocess.Popen([HOST], stdin=frame, stdout=subprocess.DEVNULL)
        _, _, usage = os.wait4(child.pid, 0)
        return usage.ru_maxrss * 1024, time.monotonic() - start


# Memory stays under twice the body and 16 MiB whatever member carries the
# bulk, and time grows with the body, not faster.
if os.environ.get("QUORVIA_SANITIZED", "").upper() not in ("1", "ON", "TRUE"):
    with tempfile.TemporaryDirectory() as folder:
        frame = os.path.join(folder, "frame")
        for bulk in ("key", "command", "version", "name", "ignored"):
            bulky_request(frame, 8, bulk)
            _, quarter = peak_and_time(frame)
            size = bulky_request(frame, 32, bulk)
            peak, seconds = peak_and_time(frame)
            assert peak < 2 * size + 16 * 2**20, (bulk, peak, size)
            assert seconds < 8 * quarter + 0.5, (bulk, seconds, quarter)

if subprocess.run(["unshare", "-u", "true"], capture_output=True).returncode != 0:
    print("skipped: unshare -u is not available here (it needs root)")
    sys.exit(77)

own = document()
name = "tab\there\x01\x1f"
renamed = document("unshare", "-u", sys.executable, "-c",
                   f"import os, socket, sys; socket.sethostname({name!r}); os.execvp(sys.argv[1], sys.argv[1:])")
assert renamed["hostName"] == name, renamed

listed = pwd.getpwall()[-1]
assert document("setpriv", f"--reuid={listed.pw_uid}", f"--regid={listed.pw_gid}", "--clear-groups")[
    "authorizedOsUser"] == listed.pw_name
uid = next(u for u in range(54321, 60000) if not any(e.pw_uid == u for e in pwd.getpwall()))
nameless = document("setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups")
assert nameless["authorizedOsUser"] == str(uid), nameless
# One machine, one identity, whoever asks.
assert nameless["deviceId"] == own["deviceId"] != "" or not os.path.exists("/etc/machine-id"), (own, nameless)
print("ok")
