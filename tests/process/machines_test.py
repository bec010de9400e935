#!/usr/bin/env python3
"""The built host asked as the extension asks it, on machines set up the way
real ones are: a host name holding control characters (sethostname accepts
them) in a UTS namespace of its own, and a uid that no passwd file lists.
Every answer must be a document that a strict JSON parser reads."""
import json
import os
import pwd
import subprocess
import sys

HOST, NM = os.environ["QUORVIA_HOST"], os.environ["QUORVIA_NM"]


def document(*prefix):
    run = subprocess.run([*prefix, NM, "call", "--key", "0123456789abcdef", "--host", HOST],
                         capture_output=True, text=True)
    _, found, text = run.stdout.partition("document:\n")
    assert found and run.returncode == 0, run.stdout + run.stderr
    return json.loads(text)  # strict: a raw control character fails


if subprocess.run(["unshare", "-u", "true"], capture_output=True).returncode != 0:
    print("skipped: unshare -u is not available here (it needs root)")
    sys.exit(77)

own = document()
name = "tab\there\x01\x1f"
renamed = document("unshare", "-u", sys.executable, "-c",
                   f"import os, socket, sys; socket.sethostname({name!r}); os.execvp(sys.argv[1], sys.argv[1:])")
assert renamed["hostName"] == name, renamed

uid = next(u for u in range(54321, 60000) if not any(e.pw_uid == u for e in pwd.getpwall()))
nameless = document("setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups")
assert nameless["authorizedOsUser"] == str(uid), nameless
# One machine, one identity, whoever asks.
assert nameless["deviceId"] == own["deviceId"] != "" or not os.path.exists("/etc/machine-id"), (own, nameless)
print("ok")
