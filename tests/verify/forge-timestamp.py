#!/usr/bin/env python3
"""Makes forged time stamps and signature blocks from Authenticode signatures
(DER, as osslsigncode extract-signature writes them) for the signature tests.

    forge-timestamp.py copy SOURCE.der TARGET.der OUT.der
        TARGET's first signer gets SOURCE's unauthenticated attributes (its
        time stamp), replacing its own: a genuine token, bound to another file.
    forge-timestamp.py break SIGNED.der OUT.der
        One byte changed in the signature value of the RFC 3161 time-stamp
        token among the first signer's unauthenticated attributes.
    forge-timestamp.py encrypted-digest SIGNED.der OUT.bin
        The first signer's encrypted digest (the value a counter-signature
        signs).
    forge-timestamp.py add-countersignature TARGET.der CMS.der OUT.der
        TARGET's first signer gets, as its only unauthenticated attribute, a
        PKCS #9 counter-signature: the first signer of CMS.der (signed data,
        as openssl cms -sign writes it); CMS.der's certificates are added to
        TARGET's.
    forge-timestamp.py content SIGNED.der FROM.der OUT.der
        SIGNED with its signed content (the SpcIndirectDataContent that holds
        the file's digest) replaced by FROM's: a signature block taken from
        one file, with the digest inside rewritten to another file's. Its
        signer's signature and time stamp are left as they were.
    forge-timestamp.py swap-certificate SIGNED.exe OLD.der NEW.der OUT.exe
        Every copy of the certificate OLD in SIGNED.exe replaced by NEW, a
        certificate of the same length (outside the hashed parts of the file).
    forge-timestamp.py attach SIGNED.exe SIGNATURE.der OUT.exe
        SIGNED.exe with its signature replaced by SIGNATURE.der (the file's
        hashed parts stay as they are; nothing is verified, unlike
        osslsigncode attach-signature).

Only the outer structure is walked (tag, length, value); the lengths of every
element on the way are written anew. Python 3 standard library only.
"""

import sys

RFC3161_ATTRIBUTE = bytes.fromhex("060a2b0601040182370303 01".replace(" ", ""))
UNAUTHENTICATED = 0xA1
OCTET_STRING = 0x04


def element(data, at=0):
    """(tag, value, end) of the element at offset `at`."""
    tag = data[at]
    first = data[at + 1]
    if first < 0x80:
        start, length = at + 2, first
    else:
        count = first & 0x7F
        start = at + 2 + count
        length = int.from_bytes(data[at + 2:start], "big")
    end = start + length
    if end > len(data):
        raise SystemExit("forge-timestamp: element at %d runs past the end" % at)
    return tag, data[start:end], end


def children(value):
    items, at = [], 0
    while at < len(value):
        _, _, end = element(value, at)
        items.append(value[at:end])
        at = end
    return items


def encode(tag, value):
    n = len(value)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + value


def edit(raw, path, change):
    """`raw` with the element at `path` (child indices) passed through `change`
    (a function of the list of its children)."""
    tag, value, _ = element(raw)
    items = children(value)
    if path:
        items[path[0]] = edit(items[path[0]], path[1:], change)
    else:
        items = change(items)
    return encode(tag, b"".join(items))


def find(raw, path):
    for index in path:
        _, value, _ = element(raw)
        raw = children(value)[index]
    return raw


# ContentInfo -> [0] -> SignedData -> signerInfos (last) -> first SignerInfo
FIRST_SIGNER = [1, 0, -1, 0]


def unauthenticated(signer_items):
    return [item for item in signer_items if item[0] == UNAUTHENTICATED]


def copy(source, target):
    taken = unauthenticated(children(element(find(source, FIRST_SIGNER))[1]))
    if not taken:
        raise SystemExit("forge-timestamp: the source signer has no unauthenticated attributes")
    return edit(target, FIRST_SIGNER,
                lambda items: [i for i in items if i[0] != UNAUTHENTICATED] + taken)


def break_token(signed):
    def change_attributes(items):
        for n, attribute in enumerate(items):
            oid_and_values = children(element(attribute)[1])
            if oid_and_values[0] == RFC3161_ATTRIBUTE:
                # attribute -> values SET -> token ContentInfo -> [0] ->
                # SignedData -> signerInfos -> first SignerInfo
                items[n] = edit(attribute, [1, 0, 1, 0, -1, 0], change_signer)
                return items
        raise SystemExit("forge-timestamp: no RFC 3161 time-stamp token found")

    def change_signer(items):
        for n, item in enumerate(items):
            if item[0] == OCTET_STRING:  # the signature value
                flipped = bytearray(item)
                flipped[len(flipped) // 2] ^= 0x01
                items[n] = bytes(flipped)
                return items
        raise SystemExit("forge-timestamp: the token's signer has no signature value")

    def change_first_signer(items):
        for n, item in enumerate(items):
            if item[0] == UNAUTHENTICATED:
                tag, value, _ = element(item)
                items[n] = encode(tag, b"".join(change_attributes(children(value))))
                return items
        raise SystemExit("forge-timestamp: the signer has no unauthenticated attributes")

    return edit(signed, FIRST_SIGNER, change_first_signer)


def attach(pe, signature):
    """The PE file `pe` (64-bit, signed: its certificate table ends the file)
    with the table holding `signature` instead."""
    pe = bytearray(pe)
    header = int.from_bytes(pe[0x3C:0x40], "little")
    if pe[header:header + 4] != b"PE\0\0" or int.from_bytes(pe[header + 24:header + 26], "little") != 0x20B:
        raise SystemExit("forge-timestamp: not a 64-bit PE file")
    entry = header + 24 + 112 + 4 * 8  # data directory 4: the certificate table
    offset = int.from_bytes(pe[entry:entry + 4], "little")
    size = int.from_bytes(pe[entry + 4:entry + 8], "little")
    if offset == 0 or offset + size != len(pe):
        raise SystemExit("forge-timestamp: the certificate table does not end the file")
    body = signature + b"\0" * (-len(signature) % 8)
    table = (8 + len(body)).to_bytes(4, "little") + (0x0200).to_bytes(2, "little") + (2).to_bytes(2, "little")
    table += body
    pe[entry + 4:entry + 8] = len(table).to_bytes(4, "little")
    return bytes(pe[:offset]) + table


PKCS9_COUNTERSIGNATURE = bytes.fromhex("06092a864886f70d010906")
CERTIFICATES = 0xA0
SET = 0x31


def signer_value(signed):
    for item in children(element(find(signed, FIRST_SIGNER))[1]):
        if item[0] == OCTET_STRING:
            return element(item)[1]
    raise SystemExit("forge-timestamp: the signer has no encrypted digest")


def add_countersignature(target, cms):
    counter = find(cms, FIRST_SIGNER)
    attribute = encode(0x30, PKCS9_COUNTERSIGNATURE + encode(SET, counter))
    added = [item for item in children(element(find(cms, [1, 0]))[1]) if item[0] == CERTIFICATES]
    extra = b"".join(children(element(added[0])[1])) if added else b""

    def change_signed_data(items):
        for n, item in enumerate(items):
            if item[0] == CERTIFICATES:
                items[n] = encode(CERTIFICATES, element(item)[1] + extra)
                break
        return items

    out = edit(target, [1, 0], change_signed_data)
    return edit(out, FIRST_SIGNER, lambda items: [i for i in items if i[0] != UNAUTHENTICATED] +
                [encode(UNAUTHENTICATED, attribute)])


# ContentInfo -> [0] -> SignedData -> contentInfo (the signed content)
SIGNED_CONTENT = [1, 0, 2]


def content(signed, source):
    taken = find(source, SIGNED_CONTENT)
    return edit(signed, [1, 0], lambda items: items[:2] + [taken] + items[3:])


def swap_certificate(pe, old, new):
    if len(old) != len(new):
        raise SystemExit("forge-timestamp: the certificates differ in length (%d, %d)" % (len(old), len(new)))
    if pe.count(old) < 1:
        raise SystemExit("forge-timestamp: the certificate to replace is not in the file")
    return pe.replace(old, new)


def main(argv):
    if len(argv) == 5 and argv[1] == "copy":
        out = copy(open(argv[2], "rb").read(), open(argv[3], "rb").read())
    elif len(argv) == 4 and argv[1] == "break":
        out = break_token(open(argv[2], "rb").read())
    elif len(argv) == 4 and argv[1] == "encrypted-digest":
        out = signer_value(open(argv[2], "rb").read())
    elif len(argv) == 5 and argv[1] == "add-countersignature":
        out = add_countersignature(open(argv[2], "rb").read(), open(argv[3], "rb").read())
    elif len(argv) == 5 and argv[1] == "content":
        out = content(open(argv[2], "rb").read(), open(argv[3], "rb").read())
    elif len(argv) == 6 and argv[1] == "swap-certificate":
        out = swap_certificate(*(open(name, "rb").read() for name in argv[2:5]))
    elif len(argv) == 5 and argv[1] == "attach":
        out = attach(open(argv[2], "rb").read(), open(argv[3], "rb").read())
    else:
        raise SystemExit(__doc__)
    with open(argv[-1], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
