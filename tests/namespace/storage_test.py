#!/usr/bin/env python3
"""Disks no account can make the host wait on or see differently, in a mount
namespace of its own with a fake /sys/dev/block that calls two loop devices
fixed disks: one with ext4 behind a folder only root may enter, the other
under a FUSE mount as ntfs-3g makes one of a fixed NTFS partition (fuseblk),
whose daemon (a few lines here) answers FUSE_INIT and nothing else. The host
answers root and another account alike, within the time limit, with both
disks' sizes from sysfs. The daemon is killed in every outcome.
usage: storage_test.py HOST NM; exit 77 (skipped) without root, /dev/fuse,
loop devices or mkfs.ext4."""
import ctypes
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HOST, NM = sys.argv[1:3]
libc = ctypes.CDLL(None, use_errno=True)


def call(*prefix):
    start = time.monotonic()
    command = [*prefix, NM, "call", "--key", "0123456789abcdef", "--host", HOST, "--timeout", "10"]
    run = subprocess.run(command, capture_output=True, text=True, timeout=20)
    _, found, text = run.stdout.partition("document:\n")
    assert found and run.returncode == 0, run.stdout + run.stderr
    return json.loads(text)["storageSize"], time.monotonic() - start


def skip_unless(ready, why):
    if not ready:
        print("skipped:", why)
        sys.exit(77)


skip_unless(os.geteuid() == 0 and os.path.exists("/dev/fuse") and shutil.which("mkfs.ext4"), "needs root, FUSE, mkfs")
MS_REC, MS_PRIVATE, CLONE_NEWNS, PR_SET_PDEATHSIG, FUSE_INIT = 0x4000, 0x40000, 0x20000, 1, 26
skip_unless(libc.unshare(CLONE_NEWNS) == 0 and libc.mount(b"", b"/", None, MS_REC | MS_PRIVATE, None) == 0, "no namespace")
folder, loop, daemon = tempfile.mkdtemp(), "", 0  # the folder's mode is 0700
try:
    for name, size in (("ext4", 8 << 20), ("ntfs", 1 << 20)):
        os.mkdir(f"{folder}/{name}")
        with open(f"{folder}/{name}.img", "wb") as image:
            image.truncate(size)
    made = subprocess.run(f"mkfs.ext4 -q {folder}/ext4.img && mount -o loop {folder}/ext4.img {folder}/ext4 && "
                          f"losetup -f --show {folder}/ntfs.img", shell=True, capture_output=True, text=True)
    loop = made.stdout.strip()
    skip_unless(made.returncode == 0, "no loop devices: " + made.stderr)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "fake", "/sys/dev/block"], check=True)
    for device, name, sectors in ((os.stat(f"{folder}/ext4").st_dev, "sdy", 12345), (os.stat(loop).st_rdev, "sdz", 2048)):
        os.makedirs(f"/sys/dev/block/.disks/{name}")
        for attribute, value in (("removable", 0), ("size", sectors)):
            with open(f"/sys/dev/block/.disks/{name}/{attribute}", "w") as f:
                f.write(f"{value}\n")
        os.symlink(f".disks/{name}", f"/sys/dev/block/{os.major(device)}:{os.minor(device)}")

    # Root could measure the file system, another account only the disk.
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    assert call()[0] == call(*nobody)[0] == 12345 * 512, (call(), call(*nobody))

    fuse = os.open("/dev/fuse", os.O_RDWR)
    options = f"fd={fuse},rootmode=40000,user_id=0,group_id=0".encode()
    assert libc.mount(loop.encode(), f"{folder}/ntfs".encode(), b"fuseblk", 0, options) == 0, ctypes.get_errno()
    subprocess.run(["losetup", "-d", loop], check=True)  # in use: the kernel frees it once unmounted
    daemon = os.fork()
    if daemon == 0:
        try:
            libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
            while True:
                _, opcode, unique = struct.unpack_from("<IIQ", os.read(fuse, 1 << 20))
                if opcode == FUSE_INIT:  # protocol 7.31, no options; every later request waits
                    os.write(fuse, struct.pack("<IiQII", 80, 0, unique, 7, 31).ljust(80, b"\0"))
        finally:
            os._exit(0)
    os.close(fuse)
    size, seconds = call()
    assert size == (12345 + 2048) * 512, size
    print(f"answered in {seconds:.3f} s beside a FUSE mount that never answers")
finally:
    if daemon:
        os.kill(daemon, signal.SIGKILL)  # aborts the connection: whatever waited on it fails
        os.waitpid(daemon, 0)
    subprocess.run(["umount", "-l", f"{folder}/ntfs", f"{folder}/ext4"], capture_output=True)
    if loop:
        subprocess.run(["losetup", "-d", loop], capture_output=True)
    shutil.rmtree(folder)
print("ok")
