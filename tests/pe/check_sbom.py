#!/usr/bin/env python3
"""The software bill of materials beside a built setup executable: SPDX 2.3's
required fields, the executable's SHA-256, the components the link put into
it with the build machine's versions, the compiler CMake used, and that the
document is the same when written again (commit time, no build time).

    check_sbom.py BUILD_DIR SOURCE_DIR
"""

import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
from datetime import datetime, timezone

EXE = "VornquillAI-Online-Setup-x64-SELFSIGNED.exe"
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print(f"FAILED: {message}")


def cache_value(build_dir, name):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return None


def compiler_used(build_dir):
    """The C++ compiler CMake found for the tree (a toolchain file sets it
    outside the cache)."""
    files = os.path.join(build_dir, "CMakeFiles")
    for version in sorted(os.listdir(files)):
        path = os.path.join(files, version, "CMakeCXXCompiler.cmake")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                m = re.search(r'^set\(CMAKE_CXX_COMPILER "([^"]+)"\)', f.read(), re.M)
            if m:
                return m.group(1)
    return None


def dpkg_version(package):
    p = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], capture_output=True, text=True)
    return p.stdout if p.returncode == 0 else None


def owner(path):
    for candidate in (path, os.path.realpath(path)):
        p = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
        if p.returncode == 0:
            return p.stdout.split(":", 1)[0]
    return None


def main(build_dir, source_dir):
    exe = os.path.join(build_dir, EXE)
    sbom_path = os.path.join(build_dir, EXE[:-4] + ".spdx.json")
    with open(sbom_path, encoding="utf-8") as f:
        text = f.read()
    doc = json.loads(text)
    with open(exe, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()

    # Document fields SPDX 2.3 requires.
    check(doc.get("spdxVersion") == "SPDX-2.3", "spdxVersion is SPDX-2.3")
    check(doc.get("dataLicense") == "CC0-1.0", "dataLicense is CC0-1.0")
    check(doc.get("SPDXID") == "SPDXRef-DOCUMENT", "the document's SPDXID")
    check(bool(doc.get("name")), "the document has a name")
    check(re.match(r"^https://\S+$", doc.get("documentNamespace", "")) is not None and "#" not in
          doc["documentNamespace"], "documentNamespace is a URI without #")
    info = doc.get("creationInfo", {})
    check(bool(info.get("creators")) and all(re.match(r"^(Tool|Organization|Person): .+", c)
                                                for c in info["creators"]), "creators")
    commit = subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"], capture_output=True,
                            text=True).stdout.strip()
    expected_time = datetime.fromtimestamp(int(commit), timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    check(info.get("created") == expected_time,
          f"created is the commit time {expected_time}, not {info.get('created')}")

    packages = doc.get("packages", [])
    ids = [p.get("SPDXID") for p in packages]
    check(len(ids) == len(set(ids)), "package SPDXIDs are unique")
    for p in packages:
        for field in ("name", "SPDXID", "versionInfo", "downloadLocation", "licenseConcluded",
                      "licenseDeclared", "copyrightText"):
            check(bool(p.get(field)), f"package {p.get('name')} has {field}")
        check(re.match(r"^SPDXRef-[A-Za-z0-9.-]+$", p.get("SPDXID", "")) is not None,
              f"package {p.get('name')}: SPDXID form")
    by_id = {p["SPDXID"]: p for p in packages if "SPDXID" in p}
    relations = doc.get("relationships", [])
    for r in relations:
        for end in ("spdxElementId", "relatedSpdxElement"):
            check(r[end] == "SPDXRef-DOCUMENT" or r[end] in by_id, f"relationship names {r[end]}")

    # The executable: described, with the built file's SHA-256.
    described = [r["relatedSpdxElement"] for r in relations
                 if r["spdxElementId"] == "SPDXRef-DOCUMENT" and r["relationshipType"] == "DESCRIBES"]
    check(len(described) == 1, "the document describes one element")
    app = by_id.get(described[0]) if described else None
    check(app is not None and app.get("name") == EXE, "the described package is the executable")
    sums = {c["algorithm"]: c["checksumValue"] for c in (app or {}).get("checksums", [])}
    check(sums.get("SHA256") == digest, f"the executable's SHA256 {sums.get('SHA256')} is the built file's {digest}")

    # What it contains.
    contained = [by_id[r["relatedSpdxElement"]] for r in relations
                 if app is not None and r["spdxElementId"] == app["SPDXID"] and r["relationshipType"] == "CONTAINS"]
    names = {p["name"]: p for p in contained}
    sodium = names.get("libsodium")
    check(sodium is not None, "libsodium is contained")
    if sodium is not None:
        prefix = cache_value(build_dir, "VQ_SODIUM_PREFIX")
        with open(os.path.join(prefix, "include", "sodium", "version.h"), encoding="utf-8") as f:
            upstream = re.search(r'SODIUM_VERSION_STRING\s+"([^"]+)"', f.read()).group(1)
        check(sodium["versionInfo"].startswith(upstream), f"libsodium's version {sodium['versionInfo']} is {upstream}")
        check(sodium["licenseDeclared"] == "ISC", "libsodium's licence is ISC")
    # libmsvcrt.a and libmsvcrt-os.a are the same archive under two names.
    crt = [p for p in contained if re.search(r"\blib(msvcrt(-os)?|ucrt\w*)\.a\b", p.get("comment", ""))]
    check(len(crt) == 1, "one contained package holds the MinGW-w64 C runtime")
    for p in contained:
        if p["name"] == "libsodium":
            continue
        check(p["versionInfo"] == dpkg_version(p["name"]),
              f"{p['name']}'s version {p['versionInfo']} is the installed {dpkg_version(p['name'])}")
        check(p["licenseDeclared"] != "NOASSERTION", f"{p['name']} has a declared licence")

    # The compiler CMake used builds it.
    compiler = compiler_used(build_dir)
    tools = [by_id[r["spdxElementId"]]["name"] for r in relations if r["relationshipType"] == "BUILD_TOOL_OF"]
    check(owner(compiler) in tools, f"the compiler's package {owner(compiler)} is a build tool ({tools})")

    # Written again: the same bytes.
    with tempfile.TemporaryDirectory() as d:
        again = os.path.join(d, "again.spdx.json")
        p = subprocess.run(["/usr/bin/python3", os.path.join(source_dir, "tools", "make-sbom.py"),
                            "--exe", exe, "--map", os.path.join(build_dir, "setup.map"), "--out", again,
                            "--compiler", compiler, "--linker", cache_value(build_dir, "CMAKE_LINKER"),
                            "--sodium-prefix", cache_value(build_dir, "VQ_SODIUM_PREFIX"),
                            "--source-dir", source_dir, "--build-dir", build_dir,
                            "--lib-dirs=" + (cache_value(build_dir, "VQ_SBOM_LIB_DIRS") or "")],
                           capture_output=True, text=True)
        check(p.returncode == 0, f"make-sbom.py runs again: {p.stderr}")
        if p.returncode == 0:
            with open(again, encoding="utf-8") as f:
                check(f.read() == text, "a second document for the same build is byte for byte the same")

    print(f"{len(packages)} packages, {len(relations)} relationships; "
          f"{'0 failed' if not failures else str(len(failures)) + ' failed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
