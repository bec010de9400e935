#!/usr/bin/env python3
"""Writes the SPDX 2.3 bill of materials of one build: the project, and every Debian package of the build machine
that put code into the programs, as the linker maps show it (the objects and archive members the linker took) and
the headers compiled in. Versions come from dpkg-query and licences from each package's copyright file, so the
document describes the build machine as it was when the programs were linked."""

import argparse, datetime, hashlib, json, os, re, subprocess, sys

DEP5 = "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
# Debian's short licence names (copyright-format 1.0) that SPDX spells otherwise; any other becomes a LicenseRef.
SPDX_NAMES = {"bsd-2-clause": "BSD-2-Clause", "bsd-3-clause": "BSD-3-Clause", "expat": "MIT", "isc": "ISC",
              "apache-2.0": "Apache-2.0", "zpl-2.1": "ZPL-2.1", "gpl-2+": "GPL-2.0-or-later",
              "gpl-3+": "GPL-3.0-or-later", "lgpl-2+": "LGPL-2.0-or-later", "lgpl-2.1+": "LGPL-2.1-or-later"}
# Copyright files older than that format still state their licence in words.
STATEMENTS = [(re.compile(r"GCC RUNTIME LIBRARY EXCEPTION", re.I), "GPL-3.0-or-later WITH GCC-exception-3.1"),
              (re.compile(r"GNU Lesser General Public\s+License.{0,200}version 2\.1", re.I | re.S),
               "LGPL-2.1-or-later")]


def usage_error(message):
    print(f"write-sbom: {message}", file=sys.stderr)
    sys.exit(2)


def map_inputs(path):
    """The files the linker took code from: the objects it loaded, and the archives a member was taken from."""
    inputs, members = set(), False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("Archive member included"):
                members = True
            elif line.startswith(("Discarded input sections", "Allocating common symbols", "Memory Configuration")):
                members = False
            elif members and (m := re.match(r"(\S+)\((.+?)\)\s*$", line.rstrip("\n"))) and not line[0].isspace():
                inputs.add(os.path.normpath(m.group(1)))
            elif m := re.match(r"LOAD (\S+\.(o|obj))$", line.strip()):
                inputs.add(os.path.normpath(m.group(1)))
    return inputs


def dpkg(*args):
    return subprocess.run(["dpkg-query", *args], capture_output=True, text=True, env=dict(os.environ, LC_ALL="C"))


def owners(paths):
    """{path: the installed package that holds it (package:arch as dpkg names it)}; paths no package holds are left
    out. One dpkg-query for all, as the Windows programs link dozens of import libraries."""
    candidates = {candidate: path for path in paths for candidate in (path, os.path.realpath(path))}
    found = {}
    for line in dpkg("-S", *candidates).stdout.splitlines():
        packages, _, candidate = line.partition(": ")
        if candidate in candidates:
            found.setdefault(candidates[candidate], packages.split(", ")[0])
    return found


def licences(package):
    """The SPDX expression of the package's copyright file, and the LicenseRefs it uses."""
    path = f"/usr/share/doc/{package.split(':')[0]}/copyright"
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return "NOASSERTION", {}
    if not text.startswith("Format:") or DEP5.rstrip("/") not in text.split("\n", 1)[0]:
        found = [expression for pattern, expression in STATEMENTS if pattern.search(text)]
        return (found[0] if found else "NOASSERTION"), {}
    expressions, refs = [], {}
    for line in text.splitlines():
        if line.startswith("License:") and line[8:].strip():
            # "A or B" is a choice, "A and B" both; each name is translated.
            words = re.split(r"\s+(or|and)\s+", line[8:].strip(), flags=re.I)
            for i in range(0, len(words), 2):
                name = words[i].rstrip(",")
                words[i] = SPDX_NAMES.get(name.lower()) or "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)
                if words[i].startswith("LicenseRef-"):
                    refs[words[i]] = f"{name}: see {path} of the Debian package {package.split(':')[0]}."
            expression = " ".join(w.upper() if i % 2 else w for i, w in enumerate(words))
            expression = f"({expression})" if len(words) > 1 else expression
            if expression not in expressions:
                expressions.append(expression)
    return (" AND ".join(sorted(expressions)) if expressions else "NOASSERTION"), refs


def spdx_id(text):
    return re.sub(r"[^A-Za-z0-9.-]", "-", text)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--name", required=True, help="the package name, e.g. quorvia-host")
    parser.add_argument("--version", required=True)
    parser.add_argument("--platform", required=True, help="what the programs run on, e.g. linux-amd64 or windows-x64")
    parser.add_argument("--licence", required=True, help="the project's SPDX licence expression")
    parser.add_argument("--licence-file", required=True, help="the text of the project's licence")
    parser.add_argument("--header", action="append", default=[], help="a third-party header compiled in")
    parser.add_argument("--out", required=True)
    parser.add_argument("programs", nargs="+", help="PROGRAM=MAP: a shipped program and its linker map")
    for word in sys.argv[1:]:
        if word.startswith("-") and word.split("=")[0] not in parser._option_string_actions:
            usage_error(f"unknown argument '{word}' (see --help)")
    args = parser.parse_args()

    used = {}  # input file -> the programs that took code from it
    program_digests = []
    for pair in args.programs:
        program, _, map_file = pair.partition("=")
        if not map_file or not os.path.exists(program) or not os.path.exists(map_file):
            usage_error(f"no program or linker map in '{pair}' (PROGRAM=MAP)")
        with open(program, "rb") as f:
            program_digests.append(hashlib.sha256(f.read()).hexdigest())
        # Relative paths are the project's own objects, in the build folder.
        for path in filter(os.path.isabs, map_inputs(map_file)):
            used.setdefault(path, set()).add(os.path.basename(program))
    for header in args.header:
        used.setdefault(header, {"compiled in"})
    build = os.path.realpath(os.getcwd()) + os.sep
    found, components = owners(used), {}
    for path, programs in sorted(used.items()):
        if path in found:
            components.setdefault(found[path], {})[path] = programs
        elif not os.path.realpath(path).startswith(build):  # else the project's own library
            print(f"write-sbom: {path} (in {', '.join(sorted(programs))}) belongs to no installed package: "
                  "build with Debian's packages only, so that the bill of materials can name it", file=sys.stderr)
            sys.exit(1)

    # A package build gives the time of the last commit, so that two builds give the same document.
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or datetime.datetime.now().timestamp())
    created = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    project = f"SPDXRef-Package-{spdx_id(args.name)}"
    digest = hashlib.sha256("".join(sorted(program_digests)).encode()).hexdigest()
    doc = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"{args.name}-{args.version}-{args.platform}",
        "documentNamespace": f"https://quorvia.invalid/spdx/{args.name}-{args.version}-{args.platform}-{digest}",
        "creationInfo": {"created": created, "creators": ["Organization: Quorvia", "Tool: write-sbom.py"]},
        "packages": [{"SPDXID": project, "name": args.name, "versionInfo": args.version,
                      "supplier": "Organization: Quorvia", "downloadLocation": "NOASSERTION",
                      "filesAnalyzed": False, "licenseConcluded": args.licence, "licenseDeclared": args.licence,
                      "copyrightText": "NOASSERTION", "primaryPackagePurpose": "APPLICATION"}],
        "relationships": [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                           "relatedSpdxElement": project}],
    }
    extracted = {}
    if args.licence.startswith("LicenseRef-"):
        with open(args.licence_file, encoding="utf-8") as f:
            extracted[args.licence] = f.read()
    for package in sorted(components):
        fields = dpkg("-W", "-f", "${binary:Package}\t${Version}\t${source:Package}\t${Architecture}",
                      package).stdout.split("\t")
        if len(fields) != 4:
            usage_error(f"dpkg-query knows no version of {package}")
        binary, version, source, arch = fields
        licence, refs = licences(package)
        extracted.update(refs)
        files = components[package]
        purl_name = binary.split(":")[0].replace("+", "%2B")
        doc["packages"].append({
            "SPDXID": f"SPDXRef-Package-deb-{spdx_id(binary)}", "name": binary.split(":")[0], "versionInfo": version,
            "supplier": "Organization: Debian",
            "downloadLocation": "NOASSERTION", "filesAnalyzed": False, "licenseConcluded": "NOASSERTION",
            "licenseDeclared": licence, "copyrightText": "NOASSERTION", "primaryPackagePurpose": "LIBRARY",
            "sourceInfo": "built from the Debian source package " + source + "; in the programs: "
                          + "; ".join(f"{path} ({', '.join(sorted(users))})" for path, users in sorted(files.items())),
            "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                              "referenceLocator": f"pkg:deb/debian/{purl_name}@{version}?arch={arch}"}],
        })
        doc["relationships"].append({"spdxElementId": project, "relationshipType": "CONTAINS",
                                     "relatedSpdxElement": f"SPDXRef-Package-deb-{spdx_id(binary)}"})
    if extracted:
        doc["hasExtractedLicensingInfos"] = [{"licenseId": k, "extractedText": v} for k, v in sorted(extracted.items())]
    text = json.dumps(doc, indent=2, ensure_ascii=False) + "\n"
    # Replaced whole, so a failed run never leaves half a document behind.
    with open(args.out + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(args.out + ".tmp", args.out)


if __name__ == "__main__":
    main()
