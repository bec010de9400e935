"""What the packaging tests share, on Linux and Windows; paths come from the environment add_test gives."""

import glob, json, os, secrets, shutil, string, subprocess, tempfile

NAME = "com.quorvia.deviceinfo"
DOCUMENT_KEYS = ["hostName", "macAddress", "venderName", "deviceName", "cpuName", "mainMemory",
                 "storageSize", "osName", "osVersion", "authorizedOsUser", "deviceId"]
# IDs of the right form that no browser will hand out to an extension here.
CHROME_ID, OTHER_CHROME_ID = "abcdefghijklmnopabcdefghijklmnop", "ponmlkjihgfedcbaponmlkjihgfedcba"
FIREFOX_ID, FIREFOX_GUID = "deviceinfo@quorvia.example", "{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}"


def manifest(host, chrome_ids=(), firefox_ids=None, name=NAME):
    """The manifest a browser must find: Chrome's family wants origins with the trailing slash, Firefox bare IDs."""
    allowed = ({"allowed_extensions": list(firefox_ids)} if firefox_ids is not None else
               {"allowed_origins": [f"chrome-extension://{i}/" for i in chrome_ids]})
    return {"name": name, "description": "Quorvia device information", "path": host, "type": "stdio", **allowed}


def table(name):
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), name), encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")]


def read_json(path):
    with open(path) as f:
        return json.load(f)


def env(name):
    if not os.environ.get(name):
        raise RuntimeError(f"{name} is not set: run this test through ctest")
    return os.environ[name]


def run(args, timeout=120, check=None, **kwargs):
    """Runs a program, text mode; check=N asserts that exit status. The output goes through files: a pipe would keep
    the call waiting while a process started on the side holds it (under Wine, msiexec's explorer.exe /desktop)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(args, stdout=out, stderr=err, timeout=timeout, stdin=subprocess.DEVNULL, **kwargs)
        for name, f in (("stdout", out), ("stderr", err)):
            f.seek(0)
            setattr(result, name, f.read().decode().replace("\r\n", "\n"))
    if check is not None and result.returncode != check:
        raise AssertionError(f"{args} exited with {result.returncode}, expected {check}\n"
                             f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")
    return result


def cpack(generator, out, build_dir=None, version=None, *settings):
    """Builds the build folder's package of that generator into out, labelled with another version and other CPack
    settings (NAME=VALUE, of those the configuration leaves unset) if given."""
    config = os.path.join(build_dir or env("QUORVIA_BUILD_DIR"), "CPackConfig.cmake")
    # The generators' own versions: the configuration sets CPACK_PACKAGE_VERSION after any -D.
    versions = [f"CPACK_{kind}_PACKAGE_VERSION={version}" for kind in ("DEBIAN", "RPM")] if version else []
    relabel = [arg for s in versions + list(settings) for arg in ("-D", s)]
    run([env("QUORVIA_CPACK"), "--config", config, "-G", generator, "-B", out, *relabel], timeout=300, check=0)
    [package] = glob.glob(os.path.join(out, f"*.{generator.lower()}"))
    return package


def random_key(length):
    return "".join(secrets.choice(string.ascii_letters + string.digits) for _ in range(length))


def parse_nm_document(output):
    """The document `quorvia-nm call` printed, as ordered (key, value) pairs."""
    at = output.find("document:\n")
    if at < 0:
        raise AssertionError(f"quorvia-nm printed no document:\n{output}")
    return json.loads(output[at + len("document:\n"):], object_pairs_hook=list)


def host_document(nm_command, host, key):
    """Asks the host, started as a browser starts it, for its document. Under Wine, in a fresh prefix on a
    busy machine, the host has once needed more than quorvia-nm's usual 10 s."""
    return parse_nm_document(run(nm_command + ["call", "--key", key, "--host", host, "--timeout", "50"], timeout=60,
                                 check=0).stdout)


def private_wine_prefix(prefix):
    """Points every later Wine call of this process at a prefix of its own, copied from the build's (which
    scripts/wine-env makes and nothing else writes to): what a test registers or installs, or leaves behind when it
    fails, reaches neither another test nor the next run. The system's programs and DLLs, which nothing writes to,
    are hard links, so the copy takes a fraction of a second instead of seconds; the rest is copied."""
    template = os.environ.get("WINEPREFIX") or os.path.join(env("QUORVIA_SOURCE_DIR"), "build", "wineprefix")
    if not os.path.exists(os.path.join(template, "system.reg")):
        raise RuntimeError(f"no Wine prefix at {template}: run ./scripts/wine-env first")
    binary = (".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".ax", ".tlb", ".ds", ".mui")
    shutil.copytree(template, prefix, symlinks=True, copy_function=lambda source, target: (
        os.link if source.lower().endswith(binary) else shutil.copy2)(source, target))
    os.environ["WINEPREFIX"] = prefix
    # One wineserver for the whole test, so no call pays for its start again after an idle spell; it and the
    # services it started go before the folder does.
    run(["wineserver", "-p"], check=0)
    return lambda: run(["wineserver", "-k"])
