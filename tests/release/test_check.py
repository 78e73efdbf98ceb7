"""vornquill-release check against real servers: the reference cloud (all ok,
then told to misbehave), nginx with the hosting configuration with SHA-256
entity tags (all ok) and nginx as it comes (the entity-tag warning), and the
command line's refusals.

    test_check.py <vornquill-release>
"""

import atexit
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "cloud"))
import cloudtest as ct  # noqa: E402

TOOL = None  # set from the command line
KEYS = os.path.join(HERE, "keys")
PUBLIC = os.path.join(KEYS, "test-release.public")
SECRET = os.path.join(KEYS, "test-release.secret")
FRESH_SECRET = os.path.join(KEYS, "test-freshness.secret")
FRESH_PUBLIC = os.path.join(KEYS, "test-freshness.public")
FRESH_STATEMENT = os.path.join(ct.REPO, "tests", "lib", "fresh-statement")
DAY = 86400
CLOUD = os.path.join(ct.REPO, "scripts", "cloud")
NGINX_SERVE = os.path.join(ct.REPO, "tools", "cloud", "nginx-serve")
VERSION = "2.4.1"
FILE_NAME = f"VornquillAI-Setup-x64-{VERSION}.exe"
FILES = f"/v1/public/installer/files/{VERSION}/{FILE_NAME}"
LINE = re.compile(r"^(ok|warn|FAIL) +([a-z-]+): (.*)$")
HAVE_NGINX = bool(shutil.which("nginx") or os.path.exists("/usr/sbin/nginx"))


def environment():
    """No proxy of the calling shell may stand between the checker and loopback."""
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env["NO_PROXY"] = "*"
    return env


def run_check(port, *extra, key=PUBLIC, ca=ct.CA):
    argv = [TOOL, "check", "--url", f"https://localhost:{port}", "--key", key]
    if ca is not None:
        argv += ["--ca", ca]
    p = subprocess.run(argv + list(extra), capture_output=True, text=True, timeout=120, env=environment())
    lines = [m.groups() for m in map(LINE.match, p.stdout.splitlines()) if m]
    return p.returncode, p.stdout + p.stderr, lines


def publish(root, data):
    installer = os.path.join(root, "installer.exe")
    with open(installer, "wb") as f:
        f.write(data)
    folder = os.path.join(root, "published")
    subprocess.run([TOOL, "publish", "--installer", installer, "--version", VERSION, "--key", SECRET,
                    "--fresh-key", FRESH_SECRET, "--out", folder, "--allow-refused-installer"],
                   check=True, capture_output=True, timeout=60)
    return folder


def with_statement(root, latest, *options):
    """The text of latest.txt with its statement set by tests/lib/fresh-statement."""
    out = os.path.join(root, "crafted.txt")
    subprocess.run([sys.executable, FRESH_STATEMENT, latest, "--out", out] + list(options),
                   check=True, capture_output=True, timeout=60)
    with open(out, encoding="ascii") as f:
        return f.read()


def start(argv, root, name):
    ready = os.path.join(root, f"{name}.ready")
    last = None
    for _ in range(3):  # a free port can be taken between the choice and the start
        try:
            return ct.Server(argv + ["--port", str(ct.free_port()), "--ready-file", ready], ready)
        except RuntimeError as e:
            last = e
    raise last


class Fixture:
    """One published release (200,000 bytes) shared by the cases."""
    root = None

    @classmethod
    def make(cls, case):
        if cls.root is None:
            cls.root = tempfile.mkdtemp(prefix="vq-check-test-")
            atexit.register(shutil.rmtree, cls.root, True)
            cls.data = ct.installer_bytes(200000, seed=b"check")
            cls.sha = hashlib.sha256(cls.data).hexdigest()
            cls.folder = publish(cls.root, cls.data)
            with open(os.path.join(cls.folder, "latest.txt"), "rb") as f:
                cls.envelope_size = len(f.read())
        return cls


class ReferenceCloudTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.f = Fixture.make(cls)
        cls.rules = os.path.join(cls.f.root, "rules.json")
        cls.set_rules([])
        cls.server = start([CLOUD, cls.f.folder, "--rules", cls.rules,
                            "--log", os.path.join(cls.f.root, "requests.jsonl")], cls.f.root, "cloud")
        cls.port = cls.server.port

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    @classmethod
    def set_rules(cls, rules):
        with open(cls.rules + ".tmp", "w") as f:
            json.dump(rules, f)
        os.replace(cls.rules + ".tmp", cls.rules)

    def tearDown(self):
        self.set_rules([])

    def test_well_behaved_cloud_is_all_ok(self):
        for extra in ([], ["--full"]):
            with self.subTest(extra=extra):
                code, out, lines = run_check(self.port, *extra)
                self.assertEqual(code, 0, out)
                self.assertEqual([s for s, _, _ in lines if s != "ok"], [], out)
                names = [n for _, n, _ in lines]
                self.assertEqual(names, ["release", "freshness", "stale", "envelope", "statement", "tls",
                                         "certificate", "installer", "entity-tag", "resume", "if-range",
                                         "past-end", "content", "redirects"],
                                 out)
                text = dict((n, r) for _, n, r in lines)
                self.assertIn(f"version {VERSION}, {FILE_NAME}, 200000 bytes, SHA-256 {self.f.sha}",
                              text["envelope"])
                self.assertEqual(text["entity-tag"], f'"{self.f.sha}", the file\'s quoted SHA-256')
                self.assertEqual(text["resume"], 'Range bytes=4096- with a matching If-Range gives 206 '
                                                 'with Content-Range "bytes 4096-199999/200000"')
                self.assertEqual(text["release"], f"200 with {self.f.envelope_size} bytes, "
                                                  f"Content-Length {self.f.envelope_size}")
                if extra:
                    self.assertEqual(text["content"], "the whole body's SHA-256 equals the signed release's, "
                                                      "and so does a resumed download's")
                else:
                    self.assertTrue(text["content"].startswith("sampled: the answers agree"), out)
        # What the cloud was asked: GET only, the setup's User-Agent, no Accept.
        records = [r for r in ct.read_log(os.path.join(self.f.root, "requests.jsonl")) if r["event"] == "request"]
        self.assertTrue(records)
        for r in records:
            self.assertEqual(r["method"], "GET")
            self.assertRegex(r["headers"].get("User-Agent", ""),
                             r"^VornquillAI-OnlineSetup/[0-9][^ ]* \(Windows; x64\)$")
            self.assertNotIn("Accept", r["headers"])

    def test_misbehaving_cloud_fails_its_check(self):
        size = len(self.f.data)
        lie = self.f.envelope_size + 100
        cases = [
            ("wrong Content-Range",
             [{"path": "/v1/public/installer/files/*", "content_range": f"bytes 4096-{size - 1}/{size + 1}"}],
             f'FAIL resume: 206 with Content-Range "bytes 4096-199999/200001"; the setup accepts only '
             f'"bytes 4096-199999/200000" and starts again from byte 0. Change: answer a Range request with '
             f'the exact range of the file the release names'),
            ("lying Content-Length",
             [{"path": "/v1/public/installer/latest.txt", "content_length": lie}],
             f"FAIL release: Content-Length {lie} but the body has {self.f.envelope_size} bytes; the setup "
             f"counts that as a failed attempt and tries again until it gives up. Change: send the "
             f"envelope's true length"),
            ("installer Content-Length",
             [{"path": "/v1/public/installer/files/*", "content_length": size + 1}],
             f"FAIL installer: Content-Length {size + 1} but the signed release says {size} bytes; the "
             f"setup refuses the download as the wrong size. Change: serve the file that was published "
             f"with this latest.txt"),
            ("200 to a matching If-Range",
             [{"path": "/v1/public/installer/files/*", "ignore_range": True}],
             f'FAIL resume: a matching If-Range "{self.f.sha}" was answered 200 with the whole file: '
             f'every resumption starts again from byte 0. Change: honour Range when If-Range equals the ETag'),
            ("redirect to HTTP",
             [{"path": "/v1/public/installer/files/*", "status": 302,
               "headers": {"Location": f"http://localhost:{self.port}{FILES}"}}],
             f"FAIL installer: answered 302 with a redirect to http://localhost:{self.port}{FILES}, which "
             f"the setup refuses to follow (it never goes from HTTPS to HTTP). Change: serve every hop over "
             f"HTTPS, or serve the file at this address"),
            ("no release",
             [{"path": "/v1/public/installer/latest.txt", "status": 404}],
             "FAIL release: status 404: the setup reads this as \"no release is available\" and ends with "
             "exit code 6. Change: publish latest.txt at /v1/public/installer/latest.txt?platform=win32"
             "&arch=x64&kind=windows-installer"),
        ]
        for name, rules, line in cases:
            with self.subTest(name):
                self.set_rules(rules)
                code, out, _ = run_check(self.port)
                self.assertEqual(code, 1, out)
                self.assertIn(line + "\n", out)
                self.assertRegex(out, r"summary: \d+ ok, \d+ warn, [1-9]\d* FAIL\n")

    def test_statement_time_left(self):
        """The statement's line: the time left and its window; a warning below 3 days left (or below
        half a shorter window); a FAIL for a stale, missing or foreign statement, which every setup
        refuses. Each case serves a crafted latest.txt (tests/lib/fresh-statement) in place of the
        published one."""
        latest = os.path.join(self.f.folder, "latest.txt")
        release_path = "/v1/public/installer/latest.txt"
        fresh_kid = "fresh-20261211-c40ca3d5"
        cases = [
            # (name, fresh-statement options, status, text of the line (a regular expression))
            ("as published: 7 days", [], "ok",
             r"(6 d 23 h|7 d 0 h) left: fresh until \S+Z \(window 7 d 0 h, issued \S+Z, key " + fresh_kid + r"\)"),
            ("3 days and a minute left", ["--issued", f"now-{4 * DAY - 60}", "--expires", f"now+{3 * DAY + 60}"],
             "ok", r"3 d 0 h left: fresh until"),
            ("a minute under 3 days left", ["--issued", f"now-{4 * DAY + 60}", "--expires", f"now+{3 * DAY - 60}"],
             "warn", r"2 d 23 h left: fresh until \S+Z, then every setup refuses this release \(window 7 d 0 h,"
             r" issued \S+Z, key " + fresh_kid + r"\)\. Change: run vornquill-release refresh on the publishing"
             r" host, whose timer should have renewed it by now"),
            ("a short window, more than half left", ["--issued", "now-1800", "--expires", "now+5400"], "ok",
             r"1 h (29|30) min left"),
            ("a short window, less than half left", ["--issued", "now-5400", "--expires", "now+1800"], "warn",
             r"(29|30) min left: fresh until"),
            ("expired", ["--expired"], "FAIL",
             r"stale: the statement expired at \S+Z, 1 min ago \(issued \S+Z, key " + fresh_kid + r"\): every"
             r" setup refuses this release as out of date \(exit code 2, reason release\)\. Change: run"
             r" vornquill-release refresh on the publishing host"),
            ("missing", ["--strip"], "FAIL",
             r"latest\.txt has no freshness statement \(fresh, fresh_kid, fresh_sig\): every setup refuses"
             r" this release \(exit code 2, reason release\)\. Change: publish with --fresh-key, or add the"
             r" statement with vornquill-release refresh"),
            ("signed by a release key", ["--key", SECRET], "FAIL",
             r"refused as a setup refuses it: unknown-kid: the freshness statement is signed with key"
             r" release-20261210-395dbabf, which this installer does not know as a freshness key"),
            ("of another manifest", ["--digest", "ab" * 32], "FAIL",
             r"refused as a setup refuses it: other-manifest: the freshness statement is for another manifest"
             r" \(sha256 abab"),
        ]
        for name, options, status, text in cases:
            with self.subTest(name):
                # A --key among the options is the last one given, and wins.
                body = with_statement(self.f.root, latest, "--key", FRESH_SECRET, *options)
                self.set_rules([{"path": release_path, "body": body}])
                code, out, lines = run_check(self.port)
                found = [(s, r) for s, n, r in lines if n == "statement"]
                self.assertEqual(len(found), 1, out)
                self.assertEqual(found[0][0], status, out)
                self.assertRegex(found[0][1], "^" + text, out)
                self.assertEqual(code, 1 if status == "FAIL" else 0, out)
        # The freshness key can be named; a release key is refused in its place.
        self.set_rules([])
        code, out, lines = run_check(self.port, "--fresh-key", FRESH_PUBLIC)
        self.assertEqual(code, 0, out)
        self.assertIn("statement", [n for s, n, _ in lines if s == "ok"], out)
        code, out, _ = run_check(self.port, "--fresh-key", PUBLIC)
        self.assertEqual(code, 2, out)
        self.assertIn("is a release key (kind vornquill-release-public-key), but a freshness key is needed here",
                      out)

    def test_every_severity_is_pinned(self):
        """The severities no other case shows, each pinned by its whole line: a FAIL that became a
        warning (or the reverse) fails here. Installer requests come in the order whole, resume,
        other If-Range, past the end; "nth" picks one of them."""
        files = "/v1/public/installer/files/*"
        size = len(self.f.data)
        cases = [
            ("206 to a different If-Range",
             [{"path": files, "nth": 3, "status": 206, "content_range": f"bytes 4096-{size - 1}/{size}"}],
             "FAIL if-range: a different If-Range was answered 206: a changed file would be resumed onto the "
             "old file's bytes. Change: answer Range only when If-Range equals the file's current ETag"),
            ("500 to a different If-Range",
             [{"path": files, "nth": 3, "status": 500}],
             "FAIL if-range: a different If-Range was answered 500 (Content-Length 26); the setup needs 200 "
             "with the whole file"),
            ("500 to a resumption",
             [{"path": files, "nth": 2, "status": 500}],
             "FAIL resume: status 500 to Range bytes=4096- with a matching If-Range; the setup needs 206 (or "
             "200 with the whole file). Change: serve byte ranges of the installer"),
            ("200 past the end",
             [{"path": files, "nth": 4, "ignore_range": True}],
             f"warn past-end: Range bytes={size}- gives 200 with the whole file; the setup copes, but 416 is "
             f"the answer it expects. Change: let the server answer unsatisfiable ranges with 416"),
            ("500 past the end",
             [{"path": files, "nth": 4, "status": 500}],
             f"FAIL past-end: Range bytes={size}- gives 500; the setup needs 416 to start again from byte 0. "
             f"Change: answer a range past the end with 416"),
            ("no Content-Length",
             [{"path": files, "nth": 1, "content_length": None}],
             "warn installer: 200 without a usable Content-Length; the setup cannot refuse a wrong size "
             "before it has downloaded it. Change: send the file's length"),
            ("other bytes for another If-Range",
             [{"path": files, "nth": 3, "body_size": size}],
             "FAIL content: the answers disagree about the file's bytes (sampled). Change: serve one file "
             "for every request of this path"),
        ]
        for name, rules, line in cases:
            with self.subTest(name):
                self.set_rules(rules)
                code, out, _ = run_check(self.port)
                self.assertIn("\n" + line + "\n", out)
                self.assertEqual(code, 1 if line.startswith("FAIL") else 0, out)

    def test_server_text_is_escaped(self):
        """Controls in what the server sends are shown escaped: no answer can rewrite the terminal or
        forge a line of its own."""
        files = "/v1/public/installer/files/*"
        forged = "\x1b[2K\tok   content: all fine\x7f"
        shown = "\\x1b[2K\\x09ok   content: all fine\\x7f"
        cases = [
            ("entity tag", [{"path": files, "etag": f'"tag{forged}"'}],
             f'warn entity-tag: ETag "tag{shown}" is not the file\'s quoted SHA-256 "{self.f.sha}"'),
            ("redirect address", [{"path": files, "status": 302,
                                   "headers": {"Location": f"http://localhost/{forged}"}}],
             f"FAIL installer: answered 302 with a redirect to http://localhost/{shown}, which"),
        ]
        for name, rules, line in cases:
            with self.subTest(name):
                self.set_rules(rules)
                code, out, _ = run_check(self.port)
                self.assertIn("\n" + line, out)
                self.assertNotRegex(out, "[\x00-\x09\x0b-\x1f\x7f]")

    def test_https_redirect_is_followed(self):
        self.set_rules([{"path": "/v1/public/installer/files/*", "nth": 1, "status": 307,
                         "headers": {"Location": f"https://localhost:{self.port}{FILES}"}}])
        code, out, lines = run_check(self.port)
        self.assertEqual(code, 0, out)
        self.assertIn(("ok", "redirects", f"1 HTTPS redirects followed, as the setup follows them "
                       f"(https://localhost:{self.port}{FILES} -> https://localhost:{self.port}{FILES})"),
                      lines)

    def test_envelope_of_another_key_fails(self):
        other = os.path.join(self.f.root, "other.public")
        if not os.path.exists(other):
            subprocess.run([TOOL, "keygen", "--secret", os.path.join(self.f.root, "other.secret"),
                            "--public", other, "--kid", "release-20250101-00000000"],
                           check=True, capture_output=True, timeout=30)
        code, out, lines = run_check(self.port, key=other)
        self.assertEqual(code, 1, out)
        self.assertEqual([(s, n) for s, n, _ in lines if s != "ok"], [("FAIL", "envelope")], out)
        self.assertIn("refused by the setup's verification: unknown-kid", out)
        self.assertIn("(the installer checks need a verified release)", out)

    def test_untrusted_certificate_fails(self):
        code, out, lines = run_check(self.port, ca=os.path.join(KEYS, "test-release.public"))
        self.assertEqual(code, 1, out)
        self.assertEqual(lines[0][:2], ("FAIL", "release"), out)
        self.assertIn("no answer:", lines[0][2])


class CertificateTests(unittest.TestCase):

    def test_certificate_ending_soon_warns(self):
        f = Fixture.make(type(self))
        d = tempfile.mkdtemp(prefix="vq-check-pki-")
        self.addCleanup(shutil.rmtree, d, True)

        def openssl(*argv):
            subprocess.run(["openssl", *argv], check=True, capture_output=True, cwd=d, timeout=60)
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.crt", "-days", "3650",
                "-subj", "/CN=Check Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign")
        openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
        with open(os.path.join(d, "san.cnf"), "w") as out:
            out.write("subjectAltName=DNS:localhost\n")
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                "-days", "10", "-out", "server.crt", "-extfile", "san.cnf")
        with open(os.path.join(d, "chain.crt"), "w") as out:
            for name in ("server.crt", "ca.crt"):
                with open(os.path.join(d, name)) as part:
                    out.write(part.read())
        server = start([CLOUD, f.folder, "--cert", os.path.join(d, "chain.crt"), "--key",
                        os.path.join(d, "server.key")], d, "cloud")
        self.addCleanup(server.stop)
        code, out, lines = run_check(server.port, ca=os.path.join(d, "ca.crt"))
        self.assertEqual(code, 0, out)
        self.assertEqual([(s, n) for s, n, _ in lines if s != "ok"], [("warn", "certificate")], out)
        self.assertRegex(out, r"\nwarn certificate: trusted, but valid for only (9|10) more days\. Change: "
                              r"renew the certificate before it ends, or every setup run fails\n")


@unittest.skipUnless(HAVE_NGINX, "nginx is not installed (Debian package nginx-light)")
class NginxTests(unittest.TestCase):

    def check_nginx(self, *flags):
        f = Fixture.make(type(self))
        server = start([sys.executable, NGINX_SERVE, f.folder, *flags], f.root, "nginx")
        self.addCleanup(server.stop)
        return run_check(server.port, "--full")

    def test_hosting_configuration_is_all_ok(self):
        code, out, lines = self.check_nginx("--sha256-tags")
        self.assertEqual(code, 0, out)
        self.assertEqual([s for s, _, _ in lines if s != "ok"], [], out)
        self.assertEqual(len(lines), 14, out)

    def test_stock_configuration_warns_about_the_entity_tag(self):
        code, out, lines = self.check_nginx()
        self.assertEqual(code, 0, out)
        warned = [(n, r) for s, n, r in lines if s != "ok"]
        self.assertEqual([n for n, _ in warned], ["entity-tag", "resume"], out)
        self.assertRegex(warned[0][1], r'^ETag "[0-9a-f]+-[0-9a-f]+" is not the file\'s quoted SHA-256 "'
                         + Fixture.sha + r'": every resumption will start again from byte 0\. Change: give each '
                         r'installer its SHA-256 as entity tag \(tools/cloud/README\.md, "Hosting releases"\)$')


class CommandLineTests(unittest.TestCase):

    def test_bad_command_lines_exit_2(self):
        cases = [
            ([], "--url and --key are required"),
            (["--url", "https://localhost:1"], "--url and --key are required"),
            (["--url", "http://localhost:1", "--key", PUBLIC], "must begin with https://"),
            (["--url", "https://localhost:1/v1/x", "--key", PUBLIC], "give only https://HOST[:PORT]"),
            (["--url", "https://localhost:70000", "--key", PUBLIC], "the port must be from 1 to 65535"),
            (["--url", "https://:8443", "--key", PUBLIC], "no usable host name"),
            (["--url", "https://a@b", "--key", PUBLIC], "the host holds '@'"),
            (["--url", "https://localhost", "--key", "/nonexistent/key"], "/nonexistent/key"),
            (["--url", "https://localhost", "--key", PUBLIC, "--ca", "/nonexistent/ca"], "the CA file"),
            (["--url", "https://localhost", "--key", PUBLIC, "--full", "--full"], "--full is given twice"),
            (["--url", "https://localhost", "--key", PUBLIC, "--fast"], "unknown option --fast"),
        ]
        for argv, message in cases:
            with self.subTest(argv=argv):
                p = subprocess.run([TOOL, "check", *argv], capture_output=True, text=True, timeout=30)
                self.assertEqual(p.returncode, 2, p.stdout + p.stderr)
                self.assertIn(message, p.stderr)
                self.assertEqual(p.stdout, "")

    def test_nobody_listening_fails(self):
        code, out, lines = run_check(ct.free_port())
        self.assertEqual(code, 1, out)
        self.assertEqual([(s, n) for s, n, _ in lines], [("FAIL", "release"), ("ok", "redirects")], out)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    ct.run_suite("release.check", CommandLineTests, ReferenceCloudTests, CertificateTests, NginxTests)
