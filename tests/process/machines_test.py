#!/usr/bin/env python3
"""The built host asked as the extension asks it, with requests whose bulk
sits in any one member, and on machines set up the way real ones are: a host
name holding control characters (sethostname accepts them) in a UTS
namespace of its own, a uid that no passwd file lists (which must be told
everything as root is but its name), a passwd file glibc reads its own way,
and /proc without cpuinfo. Every answer must be a document that a strict JSON
parser reads."""
import json
import os
import pwd
import subprocess
import sys
import tempfile
import time

HOST, NM, KEY = os.environ["QUORVIA_HOST"], os.environ["QUORVIA_NM"], "0123456789abcdef"


def document(*prefix):
    run = subprocess.run([*prefix, NM, "call", "--key", KEY, "--host", HOST], capture_output=True, text=True)
    _, found, text = run.stdout.partition("document:\n")
    assert found and run.returncode == 0, run.stdout + run.stderr
    return json.loads(text)  # strict: a raw control character fails


def as_user(uid, gid):
    return ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups"]


def size_peak_and_time(path, mib, bulk):
    """The host's peak memory and time for a request whose one member carries `mib`
    MiB, written without holding it, so this process stays small beside the host."""
    head, tail = {
        "key": ('{"command":"DeviceInfo","version":1,"key":"', '"}'),
        "command": (f'{{"version":1,"key":"{KEY}","command":"', '"}'),
        "version": (f'{{"command":"DeviceInfo","key":"{KEY}","version":', "}"),
        "name": (f'{{"command":"DeviceInfo","version":1,"key":"{KEY}","', '":1}'),
        "ignored": (f'{{"command":"DeviceInfo","version":1,"key":"{KEY}","x":"', '"}'),
    }[bulk]
    size = len(head) + mib * 2**20 + len(tail)
    with open(path, "wb") as f:
        f.write(size.to_bytes(4, "little") + head.encode())
        for _ in range(mib):
            f.write((b"1" if bulk == "version" else b"x") * 2**20)
        f.write(tail.encode())
    with open(path, "rb") as frame:
        start = time.monotonic()
        _, _, usage = os.wait4(subprocess.Popen([HOST], stdin=frame, stdout=subprocess.DEVNULL).pid, 0)
        return size, usage.ru_maxrss * 1024, time.monotonic() - start


# Memory stays under twice the body and 16 MiB whatever member carries the
# bulk, and time grows with the body, not faster.
if os.environ.get("QUORVIA_SANITIZED") != "1":
    with tempfile.TemporaryDirectory() as folder:
        for bulk in ("key", "command", "version", "name", "ignored"):
            _, _, quarter = size_peak_and_time(folder + "/frame", 8, bulk)
            size, peak, seconds = size_peak_and_time(folder + "/frame", 32, bulk)
            assert peak < 2 * size + 16 * 2**20, (bulk, peak, size)
            assert seconds < 8 * quarter + 0.5, (bulk, seconds, quarter)

if subprocess.run(["unshare", "-u", "true"], capture_output=True).returncode != 0:
    print("skipped: unshare -u is not available here (it needs root)")
    sys.exit(77)

own, name, listed = document(), "tab\there\x01\x1f", pwd.getpwall()[-1]
nameless = next(u for u in range(54321, 60000) if not any(e.pw_uid == u for e in pwd.getpwall()))
rename = f"import os, socket, sys; socket.sethostname({name!r}); os.execvp(sys.argv[1], sys.argv[1:])"
with tempfile.TemporaryDirectory() as folder:
    # A passwd file with lines glibc skips or reads its own way, asked as
    # getpwuid_r asks it (nscd, which would answer from the real file, out of reach).
    with open(folder + "/passwd", "w") as passwd, open(folder + "/nsswitch.conf", "w") as nsswitch:
        passwd.write(f"#olduser:x:{nameless}:0::/:/bin/sh\n \tnewuser:x:{nameless}:0::/:/bin/sh\n")
        nsswitch.write("passwd: files\n")
    binds = f"mount --bind {folder}/passwd /etc/passwd && mount --bind {folder}/nsswitch.conf /etc/nsswitch.conf"
    files_only = ["unshare", "-m", "sh", "-c", f"{binds} && {{ mount -t tmpfs q /var/run/nscd 2>/dev/null; exec \"$@\"; }}", "sh"]
    glibc = subprocess.run([*files_only, *as_user(nameless, 0), "id", "-un"], capture_output=True, text=True).stdout
    try:  # no /proc/cpuinfo, as /proc with subset=pid shows it: the next sources name the processor
        with open("/sys/firmware/devicetree/base/model") as model:
            processor = model.read().rstrip("\0") or os.uname().machine
    except OSError:
        processor = os.uname().machine
    pids_only = ["unshare", "-m", "sh", "-c", "mount -t proc -o subset=pid proc /proc && exec \"$@\"", "sh"]
    for prefix, expected in [
        (["unshare", "-u", sys.executable, "-c", rename], {"hostName": name}),
        (as_user(listed.pw_uid, listed.pw_gid), {"authorizedOsUser": listed.pw_name}),
        # Named by its number; one machine, one answer, whoever asks.
        (as_user(nameless, nameless), {**own, "authorizedOsUser": str(nameless)}),
        ([*files_only, *as_user(nameless, 0)], {"authorizedOsUser": glibc.strip() or "(id -un failed)"}),
        (pids_only, {"cpuName": processor}),
    ]:
        got = document(*prefix)
        assert all(got[member] == value for member, value in expected.items()), (prefix, expected, got)
print("ok")
