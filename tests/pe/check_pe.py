#!/usr/bin/python3
"""Checks the facts of the built setup executable that administrators and
Windows rely on: subsystem, hardening bits, imports and delay-loads, the load
configuration's DependentLoadFlags, manifest, version strings, icons and the
notices resource, and Control Flow Guard: the guard bit, the guard flags and
function table in the load configuration, and every function whose address
the program hands to Windows in that table (read through the link map
setup.map beside the executable). A test build must never pass for a
production build: the production executable holds none of the test trust
anchors (the test release key's id and public key, the test certificates'
thumbprints, all read from the source tree here), and the test executable is
marked as a special build.

The guard pointers a production image starts with must be the shipped
defaults, with nothing of the test executables' checking dispatch in it
(compared with the test image named by --checking-image); a test image must
start with the checking dispatch.

usage: check_pe.py --profile production|test --source DIR [--checking-image TEST.exe]
                   SETUP.exe [DELAY-DLL...]
Prints one line per failed fact and a closing "N passed, N failed" line.
"""
import argparse
import base64
import glob
import hashlib
import os
import re
import struct
import sys

import pefile

LOAD_TIME_ALLOWED = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "ADVAPI32.DLL", "SHELL32.DLL",
                     "OLE32.DLL", "MSVCRT.DLL"}
DELAY_ALLOWED = {"WINHTTP.DLL", "BCRYPT.DLL", "WINTRUST.DLL", "CRYPT32.DLL", "COMCTL32.DLL"}

MANIFEST_FACTS = [
    'name="Hollbrek.VornquillAI.OnlineSetup" version="1.0.0.0" processorArchitecture="amd64"',
    "<description>Vornquill AI Online Setup</description>",
    '<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>',
    '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>',
    ">true</dpiAware>",
    'name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*" '
    'publicKeyToken="6595b64144ccf1df" language="*"',
]

VERSION_STRINGS = {
    "CompanyName": "Hollbrek Zedivazavedazu LLP",
    "FileDescription": "Vornquill AI Online Setup",
    "FileVersion": "1.0.0",
    "InternalName": "VornquillAI-Online-Setup",
    "OriginalFilename": "VornquillAI-Online-Setup-x64-SELFSIGNED.exe",
    "ProductName": "Vornquill AI",
    "ProductVersion": "1.0.0",
}

passed = 0
failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAILED: " + what)


def resources(pe, type_id=None, type_name=None):
    """Yields (name or id, language, data) of one resource type."""
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if (type_id is not None and t.id == type_id) or \
           (type_name is not None and t.name is not None and str(t.name) == type_name):
            for entry in t.directory.entries:
                key = str(entry.name) if entry.name is not None else entry.id
                for lang in entry.directory.entries:
                    rva = lang.data.struct.OffsetToData
                    yield key, lang.id, pe.get_data(rva, lang.data.struct.Size)


VS_FF_SPECIALBUILD = 0x20


def test_key(source, *path):
    """The id and public key bytes of a key's public file (by default the test
    release key's)."""
    fields = {}
    path = path or ("tests", "release", "keys", "test-release.public")
    with open(os.path.join(source, *path)) as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                name, value = line.strip().split("=", 1)
                fields[name] = value
    return fields["kid"], bytes.fromhex(fields["public"])


def certificate_thumbprints(source):
    """SHA-1 thumbprints (of the DER form) of every test certificate."""
    prints = {}
    for path in sorted(glob.glob(os.path.join(source, "tests", "signing", "*.crt")) +
                       glob.glob(os.path.join(source, "tests", "cloud", "pki", "*.crt"))):
        text = open(path).read()
        blocks = text.split("-----BEGIN CERTIFICATE-----")[1:]
        for i, block in enumerate(blocks):
            body = block.split("-----END CERTIFICATE-----")[0]
            der = base64.b64decode("".join(body.split()))
            prints["%s#%d" % (os.path.relpath(path, source), i)] = hashlib.sha1(der).digest()
    return prints


def pinned_thumbprint(source):
    with open(os.path.join(source, "tests", "signing", "pinned.crt")) as f:
        body = f.read().split("-----BEGIN CERTIFICATE-----")[1].split("-----END CERTIFICATE-----")[0]
    return hashlib.sha1(base64.b64decode("".join(body.split()))).digest()


def contains_text(image, text):
    return text.encode("ascii") in image or text.encode("utf-16-le") in image


def check_trust_anchors(image, profile, source):
    """The production image holds no test trust anchor; the test image does
    hold the ones it is built with (which shows that the search finds them)."""
    kid, public_key = test_key(source)
    # The freshness keys: the test one, and the vendor's (production).
    fresh_kid, fresh_public = test_key(source, "tests", "release", "keys", "test-freshness.public")
    _vendor_kid, vendor_fresh = test_key(source, "tools", "release", "keys", "production-freshness.public")
    check(fresh_public in image if profile != "production" else vendor_fresh in image,
          "the %s build holds its profile's freshness public key" % profile)
    check(fresh_public not in image if profile == "production" else vendor_fresh not in image,
          "the %s build holds no freshness key of the other profile" % profile)
    check(contains_text(image, fresh_kid) == (profile != "production"),
          "the test freshness key id %s is in the test build only" % fresh_kid)
    prints = certificate_thumbprints(source)
    check(len(public_key) == 32 and len(prints) >= 2, "test key and certificates read from %s" % source)
    if profile == "production":
        check(not contains_text(image, kid), "no test release key id %s" % kid)
        check(public_key not in image, "no test release public key bytes")
        for name, thumbprint in prints.items():
            check(thumbprint not in image, "no thumbprint of the test certificate %s" % name)
        check(not contains_text(image, "TEST BUILD"), "no test-build mark")
        check(not contains_text(image, "VQ_TEST_REFUSE_AUTOMATIC_PROXY"),
              "no test switch for refusing the automatic proxy mode")
        check(not contains_text(image, "VQ_TEST_PROGRESS_WINDOW_MS"),
              "no test setting of the slow-transfer guard's window")
    else:
        check(contains_text(image, kid), "the test build holds the test release key id %s" % kid)
        check(public_key in image, "the test build holds the test release public key")
        check(pinned_thumbprint(source) in image, "the test build pins the test certificate")
        check(contains_text(image, "VQ_TEST_REFUSE_AUTOMATIC_PROXY"),
              "the test build holds its switch for refusing the automatic proxy mode")
        check(contains_text(image, "VQ_TEST_PROGRESS_WINDOW_MS"),
              "the test build holds its setting of the slow-transfer guard's window")


# Control Flow Guard. Functions whose address the program hands to Windows
# are called by the system through the guard check: a function missing from
# the guard table ends a guarded process on Windows. They are found in the
# sources: definitions with a Windows calling-convention macro, and the
# function arguments of the calls below (API name, index of the argument;
# SetWindowLongPtrW only when it sets a window procedure).
GUARD_CF_BIT = 0x4000
GUARD_CF_INSTRUMENTED = 0x100
GUARD_CF_FUNCTION_TABLE_PRESENT = 0x400
CALLBACK_ARGUMENTS = [("CreateThread", 2), ("_beginthreadex", 2), ("SetTimer", 3),
                      ("SetWindowSubclass", 1), ("SetWindowLongPtrW", 2),
                      ("EnumWindows", 0), ("EnumChildWindows", 1), ("EnumThreadWindows", 1),
                      ("WinHttpSetStatusCallback", 1), ("CreateThreadpoolWork", 0),
                      ("CreateThreadpoolTimer", 0), ("CreateThreadpoolWait", 0),
                      ("RegisterWaitForSingleObject", 2), ("QueueUserAPC", 0),
                      ("CreateTimerQueueTimer", 2), ("SetConsoleCtrlHandler", 0),
                      ("DialogBoxParamW", 3), ("CreateDialogParamW", 3)]
CALLBACK_DEFINITION = re.compile(r"\b(?:CALLBACK|WINAPI|APIENTRY|NTAPI)\s+(\w+)\s*\(")
# The C runtime calls the entry point directly, not through a pointer.
NOT_HANDED_TO_WINDOWS = {"wWinMain"}


def call_arguments(text, start):
    """The top-level arguments of the call whose '(' is at text[start]."""
    depth, current, args = 0, "", []
    for ch in text[start:]:
        if ch == "(":
            depth += 1
            if depth == 1:
                continue
        elif ch == ")":
            depth -= 1
            if depth == 0:
                args.append(current.strip())
                return args
        elif ch == "," and depth == 1:
            args.append(current.strip())
            current = ""
            continue
        current += ch
    return args


def functions_handed_to_windows(source_dir):
    names = set()
    for root, _, files in os.walk(source_dir):
        for name in files:
            if not name.endswith((".cpp", ".h")):
                continue
            with open(os.path.join(root, name), encoding="utf-8") as f:
                text = f.read()
            names.update(CALLBACK_DEFINITION.findall(text))
            names.update(re.findall(r"\blpfnWndProc\s*=\s*(\w+)", text))
            for api, index in CALLBACK_ARGUMENTS:
                for m in re.finditer(r"\b" + api + r"\s*\(", text):
                    args = call_arguments(text, m.end() - 1)
                    if api == "SetWindowLongPtrW" and (len(args) < 2 or args[1] != "GWLP_WNDPROC"):
                        continue
                    if len(args) > index:
                        arg = re.sub(r"^\(\w+\)\s*|^&", "", args[index])
                        if re.fullmatch(r"\w+", arg) and arg not in ("nullptr", "NULL", "0"):
                            names.add(arg)
    return names - NOT_HANDED_TO_WINDOWS


def map_symbols(map_path):
    """Function name (without its parameter list) -> set of RVAs, from lld's map."""
    symbols = {}
    line_re = re.compile(r"^([0-9a-fA-F]+)\s+[0-9a-fA-F]+\s+\d+\s{8,}(\S.*)$")
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = line_re.match(line.rstrip("\n"))
            if m:
                name = m.group(2).split("(")[0].strip()
                symbols.setdefault(name, set()).add(int(m.group(1), 16))
    return symbols


def names_at(symbols, rva):
    return sorted(name for name, rvas in symbols.items() if rva in rvas and not name.endswith(":"))


def guard_pointer_target(pe, pointer_va):
    """RVA of the function that a guard pointer in the image holds before
    Windows' loader replaces it, and the first bytes of its code."""
    base = pe.OPTIONAL_HEADER.ImageBase
    target = pe.get_qword_at_rva(pointer_va - base) - base
    section = pe.get_section_by_rva(target)
    code = section.Characteristics & 0x20000000 if section else 0  # IMAGE_SCN_MEM_EXECUTE
    return target, (pe.get_data(target, CHECKING_DISPATCH_PREFIX) if code else b"")


# The first bytes of the test executables' checking dispatch: the saving of
# the target and argument registers, before any relative address.
CHECKING_DISPATCH_PREFIX = 48
GUARD_CHECK_TEXT = "guard check: invalid indirect call target"


def check_guard_dispatch(pe, image, config, profile, symbols, checking_image):
    """The guard pointers a production image starts with are the shipped
    defaults (the dispatch jumps to RAX, the check returns), and nothing of
    the test executables' checking dispatch is linked into it; a test image
    starts with the checking dispatch."""
    check_ptr, dispatch_ptr = struct.unpack_from("<QQ", config, 0x70)
    dispatch, dispatch_code = guard_pointer_target(pe, dispatch_ptr)
    check_target, check_code = guard_pointer_target(pe, check_ptr)
    dispatch_names = names_at(symbols, dispatch)
    check_names = names_at(symbols, check_target)
    print("guard dispatch starts at RVA 0x%x %s, check at RVA 0x%x %s" %
          (dispatch, dispatch_names, check_target, check_names))
    checking_symbols = {"guard_dispatch_checking", "guard_check_checking", "guard_check_target"}
    if profile == "production":
        check(dispatch_code[:2] == b"\xff\xe0" and "guard_dispatch_default" in dispatch_names,
              "the dispatch pointer starts at the default dispatch, a jump to RAX (%s, code %s)" %
              (dispatch_names, dispatch_code[:2].hex()))
        check(check_code[:1] == b"\xc3" and "guard_check_default" in check_names,
              "the check pointer starts at the default check, a return (%s, code %s)" %
              (check_names, check_code[:1].hex()))
        linked = sorted(checking_symbols & set(symbols))
        check(not linked, "no checking dispatch in the link map: %s" % linked)
        check(not contains_text(image, GUARD_CHECK_TEXT), "no checking dispatch's message in the image")
        if checking_image is None:
            check(False, "the test image given for its checking dispatch (--checking-image)")
            return
        other = pefile.PE(checking_image)
        other_lc = other.OPTIONAL_HEADER.DATA_DIRECTORY[10]
        other_ptr = struct.unpack_from("<Q", other.get_data(other_lc.VirtualAddress + 0x78, 8))[0]
        _, checking_code = guard_pointer_target(other, other_ptr)
        check(len(checking_code) == CHECKING_DISPATCH_PREFIX and checking_code[:2] != b"\xff\xe0",
              "the test image %s starts at a checking dispatch" % checking_image)
        check(checking_code not in image, "the checking dispatch's code (%s) is not in the image" %
              checking_code.hex())
    else:
        check("guard_dispatch_checking" in dispatch_names and dispatch_code[:2] != b"\xff\xe0",
              "the dispatch pointer starts at the checking dispatch (%s, code %s)" %
              (dispatch_names, dispatch_code[:8].hex()))
        check("guard_check_checking" in check_names,
              "the check pointer starts at the checking check (%s)" % check_names)
        check("guard_dispatch_default" not in symbols, "no default dispatch in the link map")
        check(contains_text(image, GUARD_CHECK_TEXT), "the checking dispatch's message is in the image")


def check_guard(pe, image_path, profile, checking_image):
    oh = pe.OPTIONAL_HEADER
    check(oh.DllCharacteristics & GUARD_CF_BIT, "DllCharacteristics has GUARD_CF (0x%x)" % oh.DllCharacteristics)
    lc = oh.DATA_DIRECTORY[10]
    if not lc.VirtualAddress:
        return
    config = pe.get_data(lc.VirtualAddress, 0xC0)
    size = struct.unpack_from("<I", config, 0)[0]
    check(size >= 0xC0, "load configuration holds the guard fields (Size 0x%x)" % size)
    check_ptr, dispatch_ptr, table_va, count = struct.unpack_from("<QQQQ", config, 0x70)
    flags = struct.unpack_from("<I", config, 0x90)[0]
    base, image_end = oh.ImageBase, oh.ImageBase + oh.SizeOfImage
    check(flags & GUARD_CF_INSTRUMENTED, "GuardFlags has CF_INSTRUMENTED (0x%x)" % flags)
    check(flags & GUARD_CF_FUNCTION_TABLE_PRESENT, "GuardFlags has the function table (0x%x)" % flags)
    check(base <= check_ptr < image_end and base <= dispatch_ptr < image_end,
          "guard check and dispatch pointers lie in the image (0x%x, 0x%x)" % (check_ptr, dispatch_ptr))
    check(count > 0 and base <= table_va < image_end, "non-empty guard function table (%d entries)" % count)
    stride = 4 + (flags >> 28)
    table = pe.get_data(table_va - base, count * stride) if count else b""
    entries = [struct.unpack_from("<I", table, i * stride)[0] for i in range(count)]
    check(entries == sorted(set(entries)), "guard function table sorted without duplicates")
    print("guard function table: %d entries, GuardFlags 0x%x" % (count, flags))

    map_path = os.path.join(os.path.dirname(os.path.abspath(image_path)), "setup.map")
    source_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")
    if not os.path.isfile(map_path):
        check(False, "link map %s present" % map_path)
        return
    symbols = map_symbols(map_path)
    check(symbols.get("_load_config_used") == {lc.VirtualAddress},
          "link map belongs to this image (_load_config_used at the load configuration)")
    with open(image_path, "rb") as f:
        check_guard_dispatch(pe, f.read(), config, profile, symbols, checking_image)
    handed = functions_handed_to_windows(source_dir)
    check({"ui_window_proc", "ui_worker_main"} <= handed,
          "the window procedure and the worker's start routine found in the sources: %s" % sorted(handed))
    table_set = set(entries)
    for name in sorted(handed):
        rvas = symbols.get(name, set())
        check(rvas, "%s is in the link map" % name)
        for rva in sorted(rvas):
            check(rva in table_set, "%s (RVA 0x%x) is in the guard function table" % (name, rva))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--profile", required=True, choices=("production", "test"))
    parser.add_argument("--source", required=True)
    parser.add_argument("--checking-image",
                        help="a test-profile image, whose checking guard dispatch the production image must not hold")
    parser.add_argument("exe")
    parser.add_argument("delay_dlls", nargs="*")
    args = parser.parse_args()
    path = args.exe
    pe = pefile.PE(path)
    oh = pe.OPTIONAL_HEADER

    check(pe.FILE_HEADER.Machine == 0x8664, "machine is x64")
    check(oh.Magic == 0x20B, "PE32+ image")
    check(oh.Subsystem == 2, "GUI subsystem (2), got %d" % oh.Subsystem)
    dc = oh.DllCharacteristics
    for bit, name in ((0x20, "HIGH_ENTROPY_VA"), (0x40, "DYNAMIC_BASE"), (0x100, "NX_COMPAT"),
                      (0x8000, "TERMINAL_SERVER_AWARE")):
        check(dc & bit, "DllCharacteristics has %s (0x%x)" % (name, dc))
    check(not (pe.FILE_HEADER.Characteristics & 0x1), "relocations not stripped")
    check(pe.FILE_HEADER.TimeDateStamp == 0, "no link time stamp (reproducible build)")

    imports = {e.dll.decode().upper() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    delays = {e.dll.decode().upper() for e in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}
    check(imports <= LOAD_TIME_ALLOWED, "load-time imports only %s: %s" % (sorted(LOAD_TIME_ALLOWED), sorted(imports)))
    check({"KERNEL32.DLL", "USER32.DLL", "SHELL32.DLL"} <= imports, "kernel32, user32, shell32 bound at load time: %s" % sorted(imports))
    check(not (imports & DELAY_ALLOWED), "no delay-loaded library bound at load time: %s" % sorted(imports & DELAY_ALLOWED))
    check(delays <= DELAY_ALLOWED, "delay-loads only %s: %s" % (sorted(DELAY_ALLOWED), sorted(delays)))
    expected_delays = set(a.upper() for a in args.delay_dlls)
    check(expected_delays <= delays, "delay-loads include %s: %s" % (sorted(expected_delays), sorted(delays)))

    lc = oh.DATA_DIRECTORY[10]
    check(lc.VirtualAddress != 0 and lc.Size >= 0x50, "load configuration directory present")
    if lc.VirtualAddress:
        size = struct.unpack("<I", pe.get_data(lc.VirtualAddress, 4))[0]
        flags = struct.unpack("<H", pe.get_data(lc.VirtualAddress + 0x4E, 2))[0]
        check(size == lc.Size, "load configuration Size matches its directory")
        check(flags == 0x800, "DependentLoadFlags is LOAD_LIBRARY_SEARCH_SYSTEM32 (0x%x)" % flags)

    manifests = list(resources(pe, type_id=24))
    check(len(manifests) == 1 and manifests[0][0] == 1, "one manifest, id 1")
    if manifests:
        text = manifests[0][2].decode("utf-8")
        for fact in MANIFEST_FACTS:
            check(fact in text, "manifest has " + fact)

    versions = list(resources(pe, type_id=16))
    check(len(versions) == 1, "one version resource")
    vs = pe.VS_FIXEDFILEINFO[0]
    check((vs.FileVersionMS, vs.FileVersionLS) == (0x10000, 0), "file version 1.0.0.0")
    check((vs.ProductVersionMS, vs.ProductVersionLS) == (0x10000, 0), "product version 1.0.0.0")
    check(vs.FileType == 1, "application")
    if args.profile == "production":
        check(vs.FileFlags == 0, "production build: no flags (0x%x)" % vs.FileFlags)
    else:
        check(vs.FileFlags == VS_FF_SPECIALBUILD,
              "test build: the special-build flag only (0x%x)" % vs.FileFlags)
        check(vs.FileFlagsMask & VS_FF_SPECIALBUILD, "the flags mask covers the special-build flag")
    strings = {}
    langs = set()
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                langs.add(table.LangID)
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    check(langs == {b"040904b0"} or langs == {b"040904B0"}, "string table 0409/1200: %s" % langs)
    for key, value in VERSION_STRINGS.items():
        check(strings.get(key) == value, "%s is %r (got %r)" % (key, value, strings.get(key)))
    special = strings.get("SpecialBuild")
    if args.profile == "production":
        check(special is None, "production build: no SpecialBuild string (got %r)" % special)
    else:
        check(special is not None and special.startswith("TEST BUILD: trusts the test release key"),
              "test build: SpecialBuild says it trusts test keys (got %r)" % special)
    expected_keys = set(VERSION_STRINGS) | ({"SpecialBuild"} if args.profile == "test" else set())
    check(set(strings) == expected_keys, "version strings are exactly %s: %s" % (sorted(expected_keys), sorted(strings)))

    with open(path, "rb") as f:
        check_trust_anchors(f.read(), args.profile, args.source)

    groups = list(resources(pe, type_id=14))
    check(len(groups) == 1 and groups[0][0] == 1, "one icon group, id 1")
    if groups:
        data = groups[0][2]
        count = struct.unpack("<H", data[4:6])[0]
        icons = {key: blob for key, _, blob in resources(pe, type_id=3)}
        sizes = []
        for i in range(count):
            w, h, _, _, planes, bpp, length, icon_id = struct.unpack("<BBBBHHIH", data[6 + 14 * i:20 + 14 * i])
            blob = icons.get(icon_id, b"")
            if blob.startswith(b"\x89PNG"):
                pw, ph = struct.unpack(">II", blob[16:24])
                sizes.append(("png", pw, ph))
            else:
                _, bw, bh2, _, bbpp = struct.unpack("<IiiHH", blob[:16])
                sizes.append(("bmp", bw, bbpp))
        # The small images as bitmaps, the larger ones PNG-compressed.
        expected = [("bmp", s, 32) for s in (16, 24, 32)] + [("png", s, s) for s in (48, 64, 128, 256)]
        check(sorted(sizes) == sorted(expected),
              "icons of 16-32 px as 32-bpp bitmaps and of 48-256 px as PNG: %s" % sizes)

    notices = list(resources(pe, type_name="THIRD_PARTY_NOTICES"))
    found = [blob for _, _, blob in notices]
    rcdata = {str(k) for k, _, _ in resources(pe, type_id=10)}
    check("THIRD_PARTY_NOTICES" in rcdata, "RCDATA THIRD_PARTY_NOTICES present: %s" % sorted(rcdata))
    for key, _, blob in resources(pe, type_id=10):
        if key == "THIRD_PARTY_NOTICES":
            text = blob.decode("utf-8")
            check("libsodium" in text and "ISC License" in text and "Frank Denis" in text
                  and "THE SOFTWARE IS PROVIDED \"AS IS\"" in text, "notices hold libsodium's ISC licence")

    check_guard(pe, path, args.profile, args.checking_image)

    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
