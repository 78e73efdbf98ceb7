#!/usr/bin/env python3
"""Writes the seed corpora of the structured fuzz targets (cloud_headers,
options, text_format, fresh_statement) from the cases of their unit tests, in
the input layout each target reads (see the comment at the top of each
target). The freshness statements are signed with the test keys through
tests/lib/fresh-statement (openssl).
    tests/fuzz/make-seeds.py          rewrites tests/fuzz/corpus/<target>/
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(n):
    return struct.pack('<H', n & 0xFFFF)


def u64(n):
    return struct.pack('<Q', n & 0xFFFFFFFFFFFFFFFF)


def text(s, wide=False, long_count=False):
    units = [ord(c) for c in s]
    count = u16(len(units)) if long_count else bytes([len(units)])
    if wide:
        return count + b''.join(u16(u) for u in units)
    return count + bytes(u & 0xFF for u in units)


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


# ---------------------------------------------------------------- cloud_headers
RETRY_AFTER = ['30', '120', '  120', '120  ', '0', '0000007', '9999999', '10000000', '00000001',
               '30s', '1.5', '-3', '+3', '', '   ', 'Wed, 21 Oct 2026 07:28:00 GMT', '30 s',
               '\t30', '30\t']
CONTENT_LENGTH = ['0', '500', '2150400', '000123', '999999999999999', '1000000000000000', '',
                  '+5', '-5', ' 5', '5 ', '5x', '0x10']
CONTENT_RANGE = [('bytes 100-499/500', 100, 500), ('bytes 0-499/500', 0, 500),
                 ('bytes 499-499/500', 499, 500),
                 ('bytes 2147483647-2147483647/2147483648', 2147483647, 2147483648),
                 ('bytes 100-499/600', 100, 500), ('bytes 101-499/500', 100, 500),
                 ('bytes 100-299/500', 100, 500), ('bytes 100-499/*', 100, 500),
                 ('bytes */500', 100, 500), ('bytes  100-499/500', 100, 500),
                 ('bytes 100-499/500 ', 100, 500), (' bytes 100-499/500', 100, 500),
                 ('Bytes 100-499/500', 100, 500), ('bytes 0100-499/500', 100, 500),
                 ('bytes 100-499/500', 100, 5000), ('bytes 100-499/50', 100, 500),
                 ('', 100, 500), ('bytes 500-499/500', 500, 500), ('bytes 0--1/0', 0, 0)]
STATUS = {200: 0, 206: 1, 416: 2, 404: 3, 503: 4, 204: 5, 407: 6}


def answer(status, length=None, delta=0, length_text=None, range_pick=0, range_first=0,
           range_size=0, range_text=None, body=0, piece=255):
    """One answer of the played download; length: None absent, 'total' the
    total plus delta, or length_text; range_pick 0 the tail asked for, 1
    another range, 2 range_text."""
    out = bytes([STATUS[status]])
    if length is None and length_text is None:
        out += bytes([0, 0])
    elif length_text is None:
        out += bytes([1, delta & 0xFF])
    else:
        out += bytes([2, 0]) + text(length_text)
    if range_text is not None:
        range_pick = 2
    out += bytes([range_pick]) + u16(range_first) + u16(range_size)
    if range_pick == 2:
        out += text(range_text)
    return out + u16(body) + bytes([piece])


def download(total, held, answers):
    return u16(total - 1) + u16(held) + b''.join(answers)


def headers(ra='', cl='', cr='', first=0, size=0):
    return bytes([0]) + text(ra) + text(cl) + text(cr) + u64(first) + u64(size)


def cloud_headers():
    plain = download(500, 0, [answer(200, 'total', body=500)])
    for i, ra in enumerate(RETRY_AFTER):
        write('cloud_headers', 'retry-after-%02d.bin' % i, headers(ra=ra) + plain)
    for i, cl in enumerate(CONTENT_LENGTH):
        write('cloud_headers', 'content-length-%02d.bin' % i, headers(cl=cl) + plain)
    for i, (cr, first, size) in enumerate(CONTENT_RANGE):
        write('cloud_headers', 'content-range-%02d.bin' % i, headers(cr=cr, first=first, size=size) + plain)
    scenarios = {
        'tail-after-100': download(500, 100, [answer(206, body=400)]),
        'whole-again-after-100': download(500, 100, [answer(200, 'total', body=500)]),
        'other-total': download(500, 100, [answer(206, range_text='bytes 100-499/600', body=400),
                                           answer(200, 'total', body=500)]),
        '416-then-whole': download(500, 100, [answer(416), answer(200, body=500)]),
        'oversized-announced': download(500, 0, [answer(200, 'total', delta=1, body=501)]),
        'undersized-announced': download(500, 0, [answer(200, 'total', delta=-1, body=499)]),
        'oversized-body': download(500, 0, [answer(200, body=599, piece=64)]),
        'dropped-then-tail': download(500, 0, [answer(200, 'total', body=300),
                                               answer(206, body=200)]),
        'status-then-whole': download(500, 1000 % 550, [answer(404), answer(503), answer(200, body=500)]),
        'longer-than-total': download(500, 540, [answer(200, body=500)]),
        'complete-held': download(500, 500, [answer(404)]),
    }
    for name, data in scenarios.items():
        write('cloud_headers', name + '.bin', headers() + data)


# ---------------------------------------------------------------- options
OPTION_CASES = [
    [], ['/silent'], ['/SiLeNt', '/NoRestart'], ['/SILENT', '/VERYSILENT'], ['/REPAIR'],
    ['/SUPPRESSMSGBOXES', '/VERYSILENT'], ['/SILENT=1'], ['/DIRX=C:\\x'], ['/DIR'], ['/DIR='],
    ['/dir=C:\\Program Files\\Vornquill'], ['/DIR=C:\\x"'], ['/DIR=a\tb'], ['/DIR=' + 'd' * 1022],
    ['/DIR=' + 'd' * 1023], ['/LANG=' + 'x' * 32], ['/LANG=' + 'x' * 33], ['/LANG=pt_BR-x'],
    ['/LANG=de,en'], ['/COMPONENTS=main,!extra\\sub,*all_x'], ['/COMPONENTS=a b'], ['/TASKS=a.b'],
    ['/TASKS=' + 'a' * 250], ['/TASKS=' + 'a' * 251], ['/COMPONENTS=\u00e9'], ['/SILENT', '/SILENT'],
    ['/LANG=en', '/LANG=de'], ['/bogus', '/other', '/SILENT'], ['/SILENT', '--help', '/SUPPRESSMSGBOXES'],
    ['/SILENT', '/VERYSILENT', '/SUPPRESSMSGBOXES', '/NORESTART', '/REPAIR', '/DIR=' + 'd' * 1022,
     '/COMPONENTS=' + 'c' * 250, '/TASKS=' + 'c' * 250, '/LANG=' + 'l' * 32],
    ['/unknown-switch'], ['/DIR=C:\\with space\\'],
]


def options():
    for i, args in enumerate(OPTION_CASES):
        wide = any(ord(c) > 0xFF for a in args for c in a) or i % 2 == 1
        error_capacity = 5 if args == ['/unknown-switch'] else 256
        forward_capacity = 1634 if len(args) == 9 else 2048
        data = bytes([1 if wide else 0, error_capacity & 0xFF]) + u16(forward_capacity) + bytes([len(args)])
        for a in args:
            data += bytes([9, 0]) + text(a, wide=wide, long_count=True)
        write('options', 'case-%02d.bin' % i, data)


# ---------------------------------------------------------------- text_format
FLAGS = {'-': 1, '+': 2, ' ': 4, '#': 8, '0': 16}
SIZES = ['', 'hh', 'h', 'l', 'll', 'z', 'j', 't', 'L', 'I64']
CONVS = 'diuxXocsSfFeEgGp%'


def conversion(flags='', width=None, precision=None, size='', conv='d', integer=0, real=0.0,
               string='', capacity=64, before='', after=''):
    out = bytes([2]) + text(before, wide=True) + text(after, wide=True)
    out += bytes([sum(FLAGS[f] for f in flags)])
    if width is None:
        out += bytes([0])
    elif width == '*':
        out += bytes([2])  # followed by the int argument below
    else:
        out += bytes([1]) + struct.pack('<I', width)[:3]
    if width == '*':
        out += struct.pack('<i', integer)
    if precision is None:
        out += bytes([0])
    elif precision == '.':
        out += bytes([1])
    else:
        out += bytes([2]) + struct.pack('<I', precision)[:3]
    out += bytes([SIZES.index(size), CONVS.index(conv)])
    out += u64(integer) + struct.pack('<d', real) + text(string, wide=True)
    return out + bytes([1, capacity])


def text_format():
    cases = [
        dict(conv='d', integer=-42), dict(width=5, conv='d', integer=42),
        dict(flags='-', width=5, conv='d', integer=42, after='|'), dict(flags='0', width=5, conv='d', integer=-42),
        dict(flags='+', conv='d', integer=7), dict(flags=' ', conv='d', integer=7),
        dict(precision=3, conv='d', integer=5), dict(conv='x', integer=255), dict(flags='#', conv='X', integer=255),
        dict(conv='o', integer=8), dict(flags='#', conv='o', integer=8), dict(conv='u', integer=4000000000),
        dict(flags='0', width=2, conv='u', integer=7), dict(flags='0', width=4, conv='u', integer=2026),
        dict(precision='.', conv='d', integer=0, after='|'), dict(size='l', conv='u', integer=4294967295),
        dict(size='ll', conv='u', integer=18446744073709551615), dict(size='z', conv='u', integer=3),
        dict(precision=0, conv='f', real=1536.5), dict(precision=1, conv='f', real=0.25),
        dict(conv='s', string='ab'), dict(width=5, conv='s', string='x'), dict(flags='-', width=3, conv='s', string='y'),
        dict(conv='%'), dict(conv='s', string='0123456789abc', capacity=10),
        dict(conv='s', string='012345678', capacity=10), dict(conv='d', capacity=0), dict(conv='d', capacity=1),
        dict(size='l', conv='s', string='wide', after='|'), dict(size='h', conv='s', string='\u00c3\u00a9t\u00c3\u00a9'),
        dict(size='h', conv='s', string='\u00f0\u009f\u0098\u0080', before='ab', capacity=4),
        dict(size='I64', conv='d', integer=-5), dict(width='*', conv='d', integer=-7),
    ]
    for i, c in enumerate(cases):
        write('text_format', 'format-%02d.bin' % i, conversion(**c))
    conversions = [('h\u00c3\u00a9llo \u00f0\u009f\u0098\u0080', 64), ('a' * 70, 64), ('abc', 4), ('abc', 3),
                   ('a\u00ffb\u00c3', 16), ('\u00ed\u00a0\u0080', 16)]
    for i, (s, capacity) in enumerate(conversions):
        wide = 'x\ud800y' if i == 4 else 'h\u00e9llo \U0001F600'
        units = wide.encode('utf-16-le', 'surrogatepass')
        data = bytes([0]) + text(s, wide=True, long_count=True) + bytes([capacity])
        data += u16(len(units) // 2) + units + u16(capacity)
        write('text_format', 'conversion-%02d.bin' % i, data)
    write('text_format', 'hex.bin', bytes([1]) + text('\u0000\u00ab\u00ff', wide=True))


# -------------------------------------------------------------- fresh_statement
FRESH_NOW = 1796983862      # the target's fixed time
# release_test::good_manifest() of tests/release/signing_support.h
GOOD_MANIFEST = ('{"v":1,"product":"vornquill-ai","version":"1.4.2","channel":"stable","artifacts":'
                 '[{"platform":"win32","arch":"x64","kind":"windows-installer","fileName":'
                 '"VornquillAI-Setup-x64-1.4.2.exe","size":73400320,"sha256":'
                 '"00ff112233445566778899aabbccddeeff00112233445566778899aabbccddee"}]}').encode()


def fresh_statement():
    import hashlib
    import importlib.util
    from importlib.machinery import SourceFileLoader
    root = os.path.dirname(os.path.dirname(HERE))
    loader = SourceFileLoader('fresh_statement', os.path.join(root, 'tests', 'lib', 'fresh-statement'))
    tool = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(tool)
    keys = os.path.join(root, 'tests', 'release', 'keys')
    release_kid, release_seed = tool.read_key(os.path.join(keys, 'test-release.secret'))
    fresh_kid, fresh_seed = tool.read_key(os.path.join(keys, 'test-freshness.secret'))
    release = (b'kid=' + release_kid.encode() + b'\npayload=' + tool.b64url(GOOD_MANIFEST) + b'\nsig=' +
               tool.b64url(tool.sign(release_seed, GOOD_MANIFEST)) + b'\n')
    digest = hashlib.sha256(GOOD_MANIFEST).hexdigest()

    def statement(sha=digest, issued=FRESH_NOW - 86400, expires=FRESH_NOW + 6 * 86400, extra=''):
        return ('{"v":1,"product":"vornquill-ai","manifest_sha256":"%s","issued":%d,"expires":%d%s}'
                % (sha, issued, expires, extra)).encode()

    def lines(st, seed=fresh_seed, kid=fresh_kid):
        return (b'fresh=' + tool.b64url(st) + b'\nfresh_kid=' + kid.encode() + b'\nfresh_sig=' +
                tool.b64url(tool.sign(seed, st)) + b'\n')

    statements = {
        'good': statement(), 'last-second': statement(expires=FRESH_NOW),
        'expired': statement(expires=FRESH_NOW - 1), 'other-manifest': statement(sha='ab' * 32),
        'empty-window': statement(issued=FRESH_NOW, expires=FRESH_NOW),
        'extra-members': statement(extra=',"note":"re-signed","n":[1,2,{"a":null}]'),
        'upper-hex': statement(sha='AB' * 32), 'not-json': b'{"v":1,',
        'fraction': statement().replace(b'"v":1', b'"v":1.0'),
    }
    for name, st in statements.items():
        write('fresh_statement', 'statement-%s.bin' % name, b'\0' + st)
    good = lines(statements['good'])
    parts = {
        'good': good, 'expired': lines(statements['expired']),
        'other-manifest': lines(statements['other-manifest']),
        'release-key': lines(statements['good'], release_seed, release_kid),
        'repeated': good + good.split(b'\n')[0] + b'\n',
        'no-sig': b'\n'.join(good.split(b'\n')[:2]) + b'\n',
        'crlf': good.replace(b'\n', b'\r\n'),
    }
    for name, part in parts.items():
        write('fresh_statement', 'lines-%s.bin' % name, b'\x01' + part)
    write('fresh_statement', 'latest-good.txt', release + good)
    write('fresh_statement', 'latest-without-lines.txt', release)
    # The release check's own corpus gets a latest.txt with its statement too.
    write('release_verify', 'envelope-with-freshness.txt', release + good)


if __name__ == '__main__':
    fresh_statement()
    cloud_headers()
    options()
    text_format()
