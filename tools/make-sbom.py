#!/usr/bin/env python3
"""Writes the software bill of materials of the setup executable: an SPDX 2.3
JSON document beside it.

    make-sbom.py --exe EXE --map LINKMAP --out FILE --compiler PATH --linker PATH
                 --sodium-prefix DIR --source-dir DIR --build-dir DIR

Everything in it is read from the build machine, not written down here: the
executable's SHA-256; the components linked into it, found in the linker's
map (every archive member and object file that went into the image) and
traced to their Debian packages with dpkg; the packages' versions with
dpkg-query and their licences from the packages' copyright files; libsodium's
version from the record of the source package it was built from; the
compiler and linker from the paths CMake used. The document's time is the
commit time of the sources, so two builds of one commit give the same bytes.
The file is rewritten only when its content changes. Python 3 standard
library only.
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
from datetime import datetime, timezone

# Debian's short licence names (copyright format 1.0) and their SPDX ids.
DEBIAN_TO_SPDX = {
    "ISC": "ISC",
    "ZPL-2.1": "ZPL-2.1",
    "MIT": "MIT",
    "Expat": "MIT",
    "BSD-2-clause": "BSD-2-Clause",
    "BSD-3-clause": "BSD-3-Clause",
    "Apache-2.0": "Apache-2.0",
    "GPL-2+": "GPL-2.0-or-later",
    "GPL-3+": "GPL-3.0-or-later",
    "LGPL-2.1+": "LGPL-2.1-or-later",
    "public-domain": "LicenseRef-public-domain",
}


def fail(message):
    print(f"make-sbom: {message}", file=sys.stderr)
    sys.exit(1)


def run(argv, cwd=None):
    p = subprocess.run(argv, capture_output=True, text=True, cwd=cwd)
    return p.stdout.strip() if p.returncode == 0 else None


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            h.update(piece)
    return h.hexdigest()


def archive_members(path):
    """Member names of a Unix ar archive (GNU or BSD long names), read from
    its headers alone."""
    names = []
    try:
        with open(path, "rb") as f:
            if f.read(8) != b"!<arch>\n":
                return names
            long_names = b""
            while True:
                header = f.read(60)
                if len(header) < 60:
                    break
                name = header[:16].rstrip(b" ")
                size = int(header[48:58].strip() or b"0")
                data_at = f.tell()
                if name == b"//":
                    long_names = f.read(size)
                elif name.startswith(b"#1/"):
                    length = int(name[3:])
                    names.append(f.read(length).rstrip(b"\0").decode(errors="replace"))
                elif name.startswith(b"/") and name[1:].isdigit():
                    start = int(name[1:])
                    end = long_names.find(b"/\n", start)
                    names.append(long_names[start:end if end >= 0 else None].decode(errors="replace"))
                elif name not in (b"/", b"/SYM64/", b"__.SYMDEF", b"__.SYMDEF SORTED"):
                    names.append(name.rstrip(b"/").decode(errors="replace"))
                f.seek(data_at + size + (size & 1))
    except (OSError, ValueError):
        pass
    return names


def member_index(lib_dirs):
    """Member name -> the archives (in search order) that hold it."""
    index = {}
    for folder in lib_dirs:
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if name.endswith(".a"):
                path = os.path.join(folder, name)
                for member in archive_members(path):
                    index.setdefault(member, []).append(path)
    return index


def archives_of(members, lib_dirs):
    """The archives that gave the linked members. A member name found in
    several archives (the C runtime's variants share theirs) is given to the
    archive that holds the most of the linked members, the first in search
    order on a tie."""
    index = member_index(lib_dirs)
    score = {}
    for member in members:
        for path in index.get(member, []):
            score[path] = score.get(path, 0) + 1
    chosen = set()
    for member in members:
        candidates = index.get(member, [])
        if candidates:
            best = max(score[path] for path in candidates)
            chosen.add(next(path for path in candidates if score[path] == best))
    return chosen


def linked_inputs(map_path, lib_dirs=()):
    """Absolute paths of the archives and object files that gave the image
    something. Inputs that were only offered to the linker (GNU ld's LOAD
    lines) are left out. GNU ld names an archive member with its archive's
    path; lld names the member alone, which is looked up in the archives of
    the linker's search folders."""
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    paths = set()
    for archive in re.findall(r"(?:^|\s)(/[^\s():]+\.a)\([^)\s]+\)", text, re.M):
        paths.add(os.path.normpath(archive))
    members = set()
    for line in text.splitlines():
        if line.startswith("LOAD "):
            continue
        for obj in re.findall(r"(?:^|\s)(/[^\s():]+\.o)\b", line):
            paths.add(os.path.normpath(obj))
        m = re.match(r"^[0-9a-fA-F]+\s+[0-9a-fA-F]+\s+\d+\s+([^\s/():]+\.(?:o|obj)):\(", line)
        if m:
            members.add(m.group(1))
    if members and lib_dirs:
        paths.update(os.path.normpath(path) for path in archives_of(members, lib_dirs))
    return sorted(paths)


def owning_packages(paths):
    """The Debian package that installed each path (by its own name, else by
    its target's), or None; one dpkg-query call per form."""
    owners = {}
    for form in (lambda path: path, os.path.realpath):
        wanted = {form(path): path for path in paths if path not in owners}
        if not wanted:
            break
        p = subprocess.run(["dpkg-query", "-S", *wanted], capture_output=True, text=True)
        for line in p.stdout.splitlines():
            package, _, found = line.partition(": ")
            if found in wanted:
                owners[wanted[found]] = package.split(",")[0].strip()
    return {path: owners.get(path) for path in paths}


def package_facts(package):
    fields = "${Version}\t${source:Package}\t${source:Version}\t${Architecture}\t${Homepage}"
    out = run(["dpkg-query", "-W", "-f", fields, package])
    if out is None:
        fail(f"dpkg-query knows no package {package}")
    version, source, source_version, arch, homepage = (out.split("\t") + [""] * 5)[:5]
    return {"version": version, "source": source, "source_version": source_version, "arch": arch,
            "homepage": homepage}


def licence_of(copyright_path):
    """The SPDX licence expression of a Debian copyright file: the licence of
    its "Files: *" paragraph (copyright format 1.0), or for the compiler's
    runtime libraries the GPL with the GCC runtime library exception that the
    file states. NOASSERTION when neither can be read."""
    try:
        with open(copyright_path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return "NOASSERTION"
    if text.startswith("Format:"):
        for paragraph in re.split(r"\n\s*\n", text):
            if re.search(r"^Files:\s*\*\s*$", paragraph, re.M):
                m = re.search(r"^License:\s*(.+)$", paragraph, re.M)
                if m:
                    names = [n.strip() for n in re.split(r"\s+(?:and|or)\s+", m.group(1).strip())]
                    ids = [DEBIAN_TO_SPDX.get(n) for n in names]
                    if all(ids):
                        joiner = " AND " if " and " in m.group(1) else " OR "
                        return joiner.join(ids)
                    if any("llvm" in n.lower() for n in names):
                        return "Apache-2.0 WITH LLVM-exception"
        return "NOASSERTION"
    if "GCC RUNTIME LIBRARY EXCEPTION" in text and "Version 3.1" in text:
        return "GPL-3.0-or-later WITH GCC-exception-3.1"
    return "NOASSERTION"


def sodium_facts(prefix):
    """libsodium as built from Debian's source package by scripts/setup-deps."""
    record = os.path.join(prefix, "source-package")
    upstream = None
    with open(os.path.join(prefix, "include", "sodium", "version.h"), encoding="utf-8") as f:
        m = re.search(r'#define\s+SODIUM_VERSION_STRING\s+"([^"]+)"', f.read())
        upstream = m.group(1) if m else None
    if os.path.exists(record):
        with open(record, encoding="utf-8") as f:
            name, version = f.read().split()[:2]
        comment = f"built for x86_64-w64-mingw32 from the Debian source package {name} {version}"
    else:
        # A cache from before the record: the installed libsodium-dev tells the
        # Debian version when it is of the same upstream version.
        facts = package_facts("libsodium-dev")
        version = upstream
        if facts["source_version"].split("-")[0] == upstream:
            version = facts["source_version"]
        comment = f"built for x86_64-w64-mingw32 from the Debian source package libsodium (upstream {upstream})"
    if upstream is None or not version.startswith(upstream):
        fail(f"libsodium's version in {prefix} is unclear ({version}, header {upstream})")
    copyright_path = os.path.join(prefix, "copyright")
    if not os.path.exists(copyright_path):
        copyright_path = "/usr/share/doc/libsodium-dev/copyright"
    return version, licence_of(copyright_path), comment


def commit_time(source_dir):
    """The sources' commit time in UTC; SOURCE_DATE_EPOCH outside a checkout."""
    out = run(["git", "-C", source_dir, "log", "-1", "--format=%ct"])
    if not out:
        out = os.environ.get("SOURCE_DATE_EPOCH")
    if not out or not out.isdigit():
        fail("no commit time: build from a git checkout or set SOURCE_DATE_EPOCH")
    return datetime.fromtimestamp(int(out), timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def spdx_id(text):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", text)


def debian_package(package, role, inputs):
    facts = package_facts(package)
    purl = f"pkg:deb/debian/{package}@{facts['version']}?arch={facts['arch']}"
    entry = {
        "name": package,
        "SPDXID": spdx_id("deb-" + package),
        "versionInfo": facts["version"],
        "supplier": "Organization: Debian",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": "NOASSERTION",
        "licenseDeclared": licence_of(f"/usr/share/doc/{package}/copyright"),
        "copyrightText": "NOASSERTION",
        "sourceInfo": f"Debian source package {facts['source']} {facts['source_version']}",
        "comment": role + (": " + ", ".join(inputs) if inputs else ""),
        "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                          "referenceLocator": purl}],
    }
    if facts["homepage"]:
        entry["homepage"] = facts["homepage"]
    return entry


def main(argv):
    p = argparse.ArgumentParser(prog="make-sbom.py")
    for name in ("--exe", "--map", "--out", "--compiler", "--linker", "--sodium-prefix", "--source-dir",
                 "--build-dir"):
        p.add_argument(name, required=True)
    p.add_argument("--lib-dirs", default="",
                   help="the folders the linker searched for archives, in its order, separated by commas")
    args = p.parse_args(argv)
    args.lib_dir = [d for d in args.lib_dirs.split(",") if d]

    exe_name = os.path.basename(args.exe)
    digest = sha256_of(args.exe)
    sodium_prefix = os.path.normpath(args.sodium_prefix)

    # What went into the image, by owner.
    by_package, sodium_inputs, unknown = {}, [], []
    # The program's own objects and libraries (the build and source trees) are
    # the executable itself.
    own = tuple(os.path.realpath(d) + os.sep for d in (args.build_dir, args.source_dir))
    inputs = [path for path in linked_inputs(args.map, args.lib_dir)
              if not os.path.realpath(path).startswith(own)]
    owners = owning_packages([path for path in inputs if not path.startswith(sodium_prefix + os.sep)]
                             + [args.compiler, args.linker])
    for path in inputs:
        if path.startswith(sodium_prefix + os.sep):
            sodium_inputs.append(os.path.basename(path))
            continue
        package = owners[path]
        if package is None:
            unknown.append(path)
        else:
            by_package.setdefault(package, []).append(os.path.basename(path))
    if unknown:
        fail("linked inputs that no Debian package owns: " + ", ".join(unknown))
    if not sodium_inputs:
        fail("the link map shows no libsodium")

    exe_id = spdx_id(exe_name)
    packages = [{
        "name": exe_name,
        "SPDXID": exe_id,
        "versionInfo": run(["git", "-C", args.source_dir, "describe", "--always", "--dirty"]) or "NOASSERTION",
        "supplier": "Organization: Hollbrek Zedivazavedazu LLP",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "checksums": [{"algorithm": "SHA256", "checksumValue": digest}],
        "licenseConcluded": "NOASSERTION",
        "licenseDeclared": "NOASSERTION",
        "copyrightText": "NOASSERTION",
        "primaryPackagePurpose": "APPLICATION",
        "comment": "the Vornquill AI online setup, 64-bit Windows",
    }]
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": exe_id}]

    version, licence, comment = sodium_facts(sodium_prefix)
    packages.append({
        "name": "libsodium",
        "SPDXID": "SPDXRef-libsodium",
        "versionInfo": version,
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": "NOASSERTION",
        "licenseDeclared": licence,
        "copyrightText": "NOASSERTION",
        "comment": f"{comment}; linked statically: {', '.join(sorted(set(sodium_inputs)))}",
        "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                          "referenceLocator": f"pkg:deb/debian/libsodium@{version}?arch=source"}],
    })
    relationships.append({"spdxElementId": exe_id, "relationshipType": "CONTAINS",
                          "relatedSpdxElement": "SPDXRef-libsodium"})

    for package in sorted(by_package):
        entry = debian_package(package, "linked statically", sorted(set(by_package[package])))
        packages.append(entry)
        relationships.append({"spdxElementId": exe_id, "relationshipType": "CONTAINS",
                              "relatedSpdxElement": entry["SPDXID"]})

    for tool, role in ((args.compiler, "the C++ compiler"), (args.linker, "the linker")):
        package = owners[tool]
        if package is None:
            fail(f"no Debian package owns {tool}")
        entry = debian_package(package, f"{role} ({os.path.basename(tool)})", [])
        if entry["SPDXID"] in {e["SPDXID"] for e in packages}:
            continue
        packages.append(entry)
        relationships.append({"spdxElementId": entry["SPDXID"], "relationshipType": "BUILD_TOOL_OF",
                              "relatedSpdxElement": exe_id})

    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": exe_name,
        "documentNamespace": f"https://vornquill.ai/spdx/{exe_name}/{digest}",
        "creationInfo": {
            "created": commit_time(args.source_dir),
            "creators": ["Organization: Hollbrek Zedivazavedazu LLP", "Tool: make-sbom.py"],
        },
        "documentDescribes": [exe_id],
        "packages": packages,
        "relationships": relationships,
    }
    text = json.dumps(document, indent=2, sort_keys=False) + "\n"
    try:
        with open(args.out, encoding="utf-8") as f:
            if f.read() == text:
                return 0
    except OSError:
        pass
    tmp = f"{args.out}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
