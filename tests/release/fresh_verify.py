#!/usr/bin/env python3
"""Checks the freshness statement of a latest.txt on its own, without the
release tool's code: Python's base64, json and hashlib, and the Ed25519
signature with openssl pkeyutl -verify -rawin.

    fresh_verify.py LATEST PUBLIC-KEY-FILE [--days N] [--now T]

The last three lines must be fresh, fresh_kid, fresh_sig, in this order, each
once; the statement must be exactly the one-line JSON the tool writes, of
the manifest in payload, issued within 5 s of now (or --now), and expire
--days N days after it (default 7). Prints "issued=I expires=E" and exits 0,
or prints the fault and exits 1.
"""

import base64
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time

B64URL = re.compile(rb"^[A-Za-z0-9_-]+$")


def fail(message):
    print(f"fresh_verify: {message}")
    sys.exit(1)


def decode(text):
    if not B64URL.match(text) or len(text) % 4 == 1:
        fail(f"not base64url: {text[:40]!r}")
    data = base64.urlsafe_b64decode(text + b"=" * (-len(text) % 4))
    if base64.urlsafe_b64encode(data).rstrip(b"=") != text:
        fail(f"not canonical base64url: {text[:40]!r}")
    return data


def main():
    args = sys.argv[1:]
    days, now = 7, None
    while len(args) > 2:
        if args[-2] == "--days":
            days = int(args[-1])
        elif args[-2] == "--now":
            now = int(args[-1])
        else:
            break
        args = args[:-2]
    latest, public = args
    key = {}
    for line in open(public, encoding="ascii"):
        if "=" in line and not line.startswith("#"):
            k, v = line.rstrip("\n").split("=", 1)
            key[k] = v
    raw = open(latest, "rb").read()
    lines = raw.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    fields = {}
    for line in lines:
        k, _, v = line.rstrip(b"\r").partition(b"=")
        if k in fields:
            fail(f"{k!r} appears twice")
        fields[k] = v
    tail = [line.split(b"=", 1)[0] for line in lines[-3:]]
    if tail != [b"fresh", b"fresh_kid", b"fresh_sig"]:
        fail(f"the last three lines are {tail!r}, not fresh, fresh_kid, fresh_sig")
    statement = decode(fields[b"fresh"])
    signature = decode(fields[b"fresh_sig"])
    if len(fields[b"fresh_sig"]) != 86 or len(signature) != 64:
        fail("fresh_sig is not 86 characters of 64 bytes")
    if fields[b"fresh_kid"].decode() != key["kid"]:
        fail(f"fresh_kid {fields[b'fresh_kid']!r} is not the key's {key['kid']}")
    manifest = decode(fields[b"payload"])
    doc = json.loads(statement)
    want = {"v": 1, "product": "vornquill-ai",
            "manifest_sha256": hashlib.sha256(manifest).hexdigest(),
            "issued": doc.get("issued"), "expires": doc.get("expires")}
    exact = json.dumps(want, separators=(",", ":")).encode()
    if statement != exact:
        fail(f"the statement is {statement!r}, not {exact!r}")
    if not isinstance(doc["issued"], int) or not isinstance(doc["expires"], int):
        fail("issued or expires is not an integer")
    now = int(time.time()) if now is None else now
    if abs(doc["issued"] - now) > 5:
        fail(f"issued {doc['issued']} is not now ({now})")
    if doc["expires"] - doc["issued"] != days * 86400:
        fail(f"the window is {doc['expires'] - doc['issued']} s, not {days} days")
    spki = bytes.fromhex("302a300506032b6570032100") + bytes.fromhex(key["public"])
    with tempfile.TemporaryDirectory() as d:
        pem = os.path.join(d, "key.pem")
        with open(pem, "wb") as f:
            f.write(b"-----BEGIN PUBLIC KEY-----\n" + base64.encodebytes(spki) + b"-----END PUBLIC KEY-----\n")
        for name, data in (("msg", statement), ("sig", signature)):
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)
        r = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", pem, "-rawin",
                            "-in", os.path.join(d, "msg"), "-sigfile", os.path.join(d, "sig")],
                           capture_output=True, text=True)
        if r.returncode != 0:
            fail(f"openssl does not verify the statement's signature: {r.stdout.strip()} {r.stderr.strip()}")
    print(f"issued={doc['issued']} expires={doc['expires']}")


main()
