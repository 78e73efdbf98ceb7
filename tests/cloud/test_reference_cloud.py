"""Tests of the reference cloud (scripts/cloud): the paths, entity tags, ranges,
TLS versions, fault rules and the request log, against a server on a free
loopback port."""

import hashlib
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cloudtest as ct  # noqa: E402

CLOUD = os.path.join(ct.REPO, "scripts", "cloud")


def server_env():
    env = dict(os.environ)
    env["VQ_PYTHON"] = sys.executable  # the server runs under the same interpreter as the tests
    return env


class ReferenceCloudCase(unittest.TestCase):
    """One server for the class, over a folder with one 200,000-byte installer."""

    server_args = []  # further options of the class's server

    @classmethod
    def setUpClass(cls):
        cls.dir = ct.temp_dir(cls)
        cls.data = ct.installer_bytes()
        cls.size = len(cls.data)
        cls.sha = hashlib.sha256(cls.data).hexdigest()
        cls.tag = f'"{cls.sha}"'
        cls.folder = ct.make_folder(cls.dir, cls.data)
        cls.rules = os.path.join(cls.dir, "rules.json")
        cls.log = os.path.join(cls.dir, "requests.jsonl")
        cls.pidfile = os.path.join(cls.dir, "cloud.pid")
        ready = os.path.join(cls.dir, "ready")
        cls.server = ct.Server(
            [CLOUD, cls.folder, "--port", "0", "--rules", cls.rules, "--log", cls.log,
             "--pidfile", cls.pidfile, "--ready-file", ready] + cls.server_args, ready,
            env=server_env())
        cls.port = cls.server.port
        cls.serial = 0

    @classmethod
    def tearDownClass(cls):
        code, out, err = cls.server.stop()
        cls.stop_result = (code, out, err)

    def setUp(self):
        self.set_rules([])

    def set_rules(self, rules):
        """Replaces the rules file atomically; every replacement restarts the counts."""
        tmp = self.rules + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"rules": rules}, f)
        os.replace(tmp, self.rules)

    def tagged(self, headers=()):
        """Request headers with a unique X-Test header, and that header's value."""
        type(self).serial += 1
        mark = f"{self.id().rsplit('.', 1)[-1]}-{self.serial}"
        return [("X-Test", mark)] + list(headers), mark

    def record_of(self, mark):
        record = ct.wait_for_record(
            self.log, lambda r: r.get("event") == "request" and r.get("headers", {}).get("X-Test") == mark)
        self.assertIsNotNone(record, f"no log record for request {mark}")
        return record

    def resume_headers(self, first, tag=None):
        return [("Range", f"bytes={first}-"), ("If-Range", tag if tag is not None else self.tag)]


class ServingTests(ReferenceCloudCase):

    def test_release_envelope_is_served_and_logged(self):
        headers, mark = self.tagged([("User-Agent", "VornquillAI-OnlineSetup/1.0.0 (Windows; x64)")])
        r = ct.fetch(self.port, ct.RELEASE, headers)
        self.assertEqual(r.status, 200)
        self.assertEqual(r.body, ct.ENVELOPE)
        self.assertEqual(r.header("Content-Length"), str(len(ct.ENVELOPE)))
        rec = self.record_of(mark)
        self.assertEqual(rec["method"], "GET")
        self.assertEqual(rec["path"], "/v1/public/installer/latest.txt")
        self.assertEqual(rec["target"], ct.RELEASE)
        self.assertEqual(rec["headers"]["User-Agent"], "VornquillAI-OnlineSetup/1.0.0 (Windows; x64)")
        self.assertNotIn("Accept", rec["headers"])
        self.assertEqual((rec["status"], rec["body_bytes"], rec["outcome"]), (200, len(ct.ENVELOPE), "complete"))
        self.assertIn(rec["tls"], ("TLSv1.2", "TLSv1.3"))

    def test_release_query_must_name_this_platform(self):
        cases = [
            ("/v1/public/installer/latest.txt?kind=windows-installer&arch=x64&platform=win32", 200),
            ("/v1/public/installer/latest.txt", 400),
            ("/v1/public/installer/latest.txt?platform=win32&arch=x64", 400),
            ("/v1/public/installer/latest.txt?platform=win32&arch=x64&arch=x64&kind=windows-installer", 400),
            ("/v1/public/installer/latest.txt?platform=win32&arch=arm64&kind=windows-installer", 404),
        ]
        with ct.Connection(self.port) as c:
            for path, status in cases:
                with self.subTest(path=path):
                    self.assertEqual(c.request(path).status, status)

    def test_missing_release_is_204(self):
        latest = os.path.join(self.folder, "latest.txt")
        os.rename(latest, latest + ".away")
        try:
            r = ct.fetch(self.port, ct.RELEASE)
        finally:
            os.rename(latest + ".away", latest)
        self.assertEqual(r.status, 204)
        self.assertIsNone(r.header("Content-Length"))
        self.assertEqual(r.body, b"")

    def test_installer_whole_file_with_sha256_tag(self):
        for method in ("GET", "HEAD"):
            with self.subTest(method=method):
                r = ct.fetch(self.port, ct.INSTALLER, method=method)
                self.assertEqual(r.status, 200)
                self.assertEqual(r.header("ETag"), self.tag)
                self.assertEqual(r.header("Content-Length"), str(self.size))
                self.assertIsNone(r.header("Content-Range"))
                self.assertEqual(r.body, self.data if method == "GET" else b"")

    def test_ranges_and_if_range(self):
        size, tag = self.size, self.tag
        whole = (200, None, self.data)
        cases = [
            # Range, If-Range, expected (status, Content-Range, body)
            ("bytes=100-", tag, (206, f"bytes 100-{size - 1}/{size}", self.data[100:])),
            ("bytes=100-", None, (206, f"bytes 100-{size - 1}/{size}", self.data[100:])),
            (f"bytes={size - 1}-", tag, (206, f"bytes {size - 1}-{size - 1}/{size}", self.data[-1:])),
            ("bytes=0-0", tag, (206, f"bytes 0-0/{size}", self.data[:1])),
            ("bytes=10-19", tag, (206, f"bytes 10-19/{size}", self.data[10:20])),
            ("bytes=-10", tag, (206, f"bytes {size - 10}-{size - 1}/{size}", self.data[-10:])),
            ("bytes=100-", '"' + "0" * 64 + '"', whole),
            # The tag but for its last digit: a comparison over a prefix would match.
            ("bytes=100-", tag[:-2] + ("0" if tag[-2] != "0" else "1") + '"', whole),
            ("bytes=100-", "W/" + tag, whole),
            ("bytes=100-", self.sha, whole),
            ("bytes=100-", tag.upper(), whole),
            ("bytes=100-", "Thu, 01 Jan 2026 00:00:00 GMT", whole),
            ("bytes=abc-", tag, whole),
            ("bytes=0-9,20-29", tag, whole),
            ("items=100-", tag, whole),
            (f"bytes={size}-", '"' + "0" * 64 + '"', whole),
            (f"bytes={size}-", tag, (416, f"bytes */{size}", None)),
        ]
        with ct.Connection(self.port) as c:
            for rng, if_range, (status, content_range, body) in cases:
                with self.subTest(range=rng, if_range=if_range):
                    headers = [("Range", rng)] + ([("If-Range", if_range)] if if_range else [])
                    r = c.request(ct.INSTALLER, headers)
                    self.assertEqual(r.status, status)
                    self.assertEqual(r.header("Content-Range"), content_range)
                    if body is not None:
                        self.assertEqual(r.body, body)
                        self.assertEqual(r.header("Content-Length"), str(len(body)))
                        self.assertEqual(r.header("ETag"), tag)

    def test_resume_request_is_logged_with_its_headers(self):
        headers, mark = self.tagged(self.resume_headers(1234))
        r = ct.fetch(self.port, ct.INSTALLER, headers)
        self.assertEqual(r.status, 206)
        rec = self.record_of(mark)
        self.assertEqual(rec["headers"]["Range"], "bytes=1234-")
        self.assertEqual(rec["headers"]["If-Range"], self.tag)
        self.assertEqual(rec["response_headers"]["Content-Range"], f"bytes 1234-{self.size - 1}/{self.size}")
        self.assertEqual(rec["body_bytes"], self.size - 1234)

    def test_changed_installer_gets_a_new_tag(self):
        path = os.path.join(self.folder, "files", ct.VERSION, ct.FILE_NAME)
        other = ct.installer_bytes(150000, seed=b"other")
        tmp = path + ".new"
        with open(tmp, "wb") as f:
            f.write(other)
        os.replace(tmp, path)
        try:
            r = ct.fetch(self.port, ct.INSTALLER, self.resume_headers(100))
            self.assertEqual(r.status, 200, "the old tag must not match the new file")
            self.assertEqual(r.body, other)
            self.assertEqual(r.header("ETag"), '"' + hashlib.sha256(other).hexdigest() + '"')
        finally:
            with open(tmp, "wb") as f:
                f.write(self.data)
            os.replace(tmp, path)
        r = ct.fetch(self.port, ct.INSTALLER, self.resume_headers(100))
        self.assertEqual((r.status, r.body), (206, self.data[100:]))

    def test_what_is_not_there_is_404(self):
        outside = os.path.join(self.dir, "secret.exe")
        with open(outside, "wb") as f:
            f.write(b"not published")
        link = os.path.join(self.folder, "files", ct.VERSION, "link.exe")
        os.symlink(outside, link)
        self.addCleanup(os.unlink, link)
        paths = [
            f"/v1/public/installer/files/{ct.VERSION}/Other.exe",
            f"/v1/public/installer/files/9.9.9/{ct.FILE_NAME}",
            f"/v1/public/installer/files/{ct.VERSION}",
            f"/v1/public/installer/files/{ct.VERSION}/",
            f"/v1/public/installer/files/{ct.VERSION}/{ct.FILE_NAME}/x",
            "/v1/public/installer/files/..%2f..%2f/secret.exe",
            f"/v1/public/installer/files/{ct.VERSION}/..%2f..%2f..%2fsecret.exe",
            f"/v1/public/installer/files/{ct.VERSION}/link.exe",
            "/v1/public/installer/files/%ff/x",
            "/latest.txt",
            "/",
        ]
        with ct.Connection(self.port) as c:
            for path in paths:
                with self.subTest(path=path):
                    r = c.request(path)
                    self.assertEqual(r.status, 404)
                    self.assertEqual(r.header("Content-Length"), str(len(r.body)))
            r = c.request(ct.INSTALLER, method="POST", headers=[("Content-Length", "0")])
            self.assertEqual((r.status, r.header("Allow")), (405, "GET, HEAD"))

    def test_one_connection_serves_many_requests(self):
        marks = []
        with ct.Connection(self.port) as c:
            for path in (ct.RELEASE, ct.INSTALLER, ct.RELEASE):
                headers, mark = self.tagged()
                marks.append(mark)
                self.assertEqual(c.request(path, headers).status, 200)
        records = [self.record_of(m) for m in marks]
        self.assertEqual(len({r["conn"] for r in records}), 1)
        self.assertEqual([r["conn_request"] for r in records],
                         [records[0]["conn_request"] + i for i in range(3)])

    def test_pidfile_names_the_server(self):
        # scripts/cloud execs the interpreter, so the pid is the one started.
        with open(self.pidfile) as f:
            self.assertEqual(int(f.read()), self.server.proc.pid)


class TlsTests(ReferenceCloudCase):

    def handshake(self, port, version):
        raw = socket.create_connection(("127.0.0.1", port), timeout=ct.STEP_TIMEOUT)
        try:
            with ct.client_context(version, verify=False).wrap_socket(raw, server_hostname="localhost") as s:
                return s.version()
        except (ssl.SSLError, ConnectionResetError):
            return None

    def test_tls_1_2_and_1_3_accepted(self):
        for version, name in ((ssl.TLSVersion.TLSv1_2, "TLSv1.2"), (ssl.TLSVersion.TLSv1_3, "TLSv1.3")):
            with self.subTest(version=name):
                self.assertEqual(self.handshake(self.port, version), name)

    def test_tls_1_1_refused(self):
        # Control: this machine's TLS library can speak 1.1 at all, against a
        # listener that allows it; otherwise the refusal would prove nothing.
        server_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server_ctx.load_cert_chain(os.path.join(ct.PKI, "chain.crt"), os.path.join(ct.PKI, "server.key"))
        try:
            server_ctx.minimum_version = ssl.TLSVersion.TLSv1_1
            server_ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        except (ValueError, ssl.SSLError):
            self.skipTest("this TLS library cannot offer TLS 1.1")
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)

        def serve_one():
            listener.settimeout(ct.STEP_TIMEOUT)
            try:
                conn, _ = listener.accept()
                with server_ctx.wrap_socket(conn, server_side=True):
                    pass
            except (OSError, ssl.SSLError):
                pass

        t = threading.Thread(target=serve_one)
        t.start()
        control = self.handshake(listener.getsockname()[1], ssl.TLSVersion.TLSv1_1)
        t.join(ct.STEP_TIMEOUT)
        if control != "TLSv1.1":
            self.skipTest("this TLS library refuses TLS 1.1 on its own")

        refused = lambda r: r.get("event") == "handshake-failed"
        before = ct.count_records(self.log, refused)
        self.assertIsNone(self.handshake(self.port, ssl.TLSVersion.TLSv1_1))
        rec = ct.wait_for_record(self.log, refused, skip=before)
        self.assertIsNotNone(rec, "this refused handshake is logged (a new record)")

    def test_connections_are_logged_with_their_request_count(self):
        # A client that quits after the handshake (as one that refuses the
        # certificate does) leaves a record with 0 requests.
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=ct.STEP_TIMEOUT)
        with ct.client_context().wrap_socket(raw, server_hostname="localhost"):
            pass
        rec = ct.wait_for_record(self.log, lambda r: r.get("event") == "connection-closed"
                                 and r.get("requests") == 0)
        self.assertIsNotNone(rec, "no record of the connection without a request")
        self.assertIn(rec["tls"], ("TLSv1.2", "TLSv1.3"))
        marks = []
        with ct.Connection(self.port) as c:
            for _ in range(2):
                headers, mark = self.tagged()
                marks.append(mark)
                self.assertEqual(c.request(ct.RELEASE, headers).status, 200)
        conn = self.record_of(marks[0])["conn"]
        rec = ct.wait_for_record(self.log, lambda r: r.get("event") == "connection-closed"
                                 and r.get("conn") == conn)
        self.assertIsNotNone(rec, "no record of the connection's end")
        self.assertEqual(rec["requests"], 2)

    def test_certificate_valid_for_localhost_and_127_0_0_1(self):
        for host in ("localhost", "127.0.0.1"):
            with self.subTest(host=host):
                with ct.Connection(self.port, host=host) as c:
                    cert = c.sock.getpeercert()
                self.assertIn(("DNS", "localhost"), cert["subjectAltName"])
        with self.assertRaises(ssl.SSLCertVerificationError):
            ct.Connection(self.port, host="example.invalid")


class LegacyTlsTests(ReferenceCloudCase):
    """--legacy-tls: TLS 1.0 and 1.1 only, for tests of clients that must refuse it."""

    server_args = ["--legacy-tls"]

    def test_only_tls_1_0_and_1_1_are_spoken(self):
        tls = TlsTests.handshake
        self.assertEqual(tls(self, self.port, ssl.TLSVersion.TLSv1_1), "TLSv1.1")
        self.assertEqual(tls(self, self.port, ssl.TLSVersion.TLSv1), "TLSv1")
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(version=version):
                self.assertIsNone(tls(self, self.port, version))
        rec = ct.wait_for_record(self.log, lambda r: r.get("event") == "handshake-failed")
        self.assertIsNotNone(rec, "the refused handshake is logged")

    def test_requests_are_served_over_tls_1_1(self):
        with ct.Connection(self.port, ctx=ct.client_context(ssl.TLSVersion.TLSv1_1)) as c:
            headers, mark = self.tagged()
            self.assertEqual(c.request(ct.RELEASE, headers).status, 200)
        self.assertEqual(self.record_of(mark)["tls"], "TLSv1.1")


class RotatingRefusalTests(ReferenceCloudCase):
    """--refusals: each new connection meets the next refused server in turn,
    and the log names the one it met."""

    offers = ["untrusted", "expired", "other-host", "legacy-tls"]
    server_args = ["--refusals", ",".join(offers)]
    # Why a client that trusts only the test CAs and takes TLS 1.2 or newer
    # refuses each (OpenSSL's words).
    strict_refusals = {
        "untrusted": "self-signed certificate in certificate chain",
        "expired": "certificate has expired",
        "other-host": "Hostname mismatch",
        "legacy-tls": "alert protocol version",
    }

    def connection_records(self, skip):
        """The connection records after the first SKIP, once two rounds are in."""
        ended = lambda r: r.get("event") in ("handshake-failed", "connection-closed")
        self.assertIsNotNone(ct.wait_for_record(self.log, ended, skip=skip + 2 * len(self.offers) - 1),
                             "a connection's end is not logged")
        # In the order of the connections (their ends are logged as they come).
        return sorted([r for r in ct.read_log(self.log) if ended(r)][skip:], key=lambda r: r["conn"])

    def test_each_connection_meets_the_next_refusal_and_the_log_names_it(self):
        ended = lambda r: r.get("event") in ("handshake-failed", "connection-closed")
        skip = ct.count_records(self.log, ended)
        strict = ct.client_context()
        strict.load_verify_locations(os.path.join(ct.PKI, "refusal", "refusal-ca.crt"))
        strict.minimum_version = ssl.TLSVersion.TLSv1_2
        errors = []
        for _ in range(len(self.offers)):
            raw = socket.create_connection(("127.0.0.1", self.port), timeout=ct.STEP_TIMEOUT)
            try:
                with strict.wrap_socket(raw, server_hostname="localhost"):
                    errors.append(None)
            except ssl.SSLError as e:
                errors.append(str(e))
        # A client that checks nothing and takes TLS 1.0 is served by each.
        lenient = ct.client_context(verify=False)
        lenient.minimum_version = ssl.TLSVersion.TLSv1
        lenient.set_ciphers("DEFAULT:@SECLEVEL=0")
        versions = []
        for _ in range(len(self.offers)):
            with ct.Connection(self.port, ctx=lenient) as c:
                self.assertEqual(c.request(ct.RELEASE).status, 200)
                versions.append(c.sock.version())
        records = self.connection_records(skip)
        self.assertEqual([r.get("offer") for r in records], self.offers * 2)
        for name, error in zip(self.offers, errors):
            with self.subTest(offer=name):
                self.assertIsNotNone(error, "a strict client was served")
                self.assertIn(self.strict_refusals[name], error)
        self.assertEqual([r["requests"] for r in records[len(self.offers):]], [1] * len(self.offers))
        self.assertIn(versions[3], ("TLSv1", "TLSv1.1"))
        self.assertTrue(all(v in ("TLSv1.2", "TLSv1.3") for v in versions[:3]), versions)


class FaultTests(ReferenceCloudCase):

    def test_hold_until_answers_once_the_file_exists(self):
        flag = os.path.join(self.dir, "hold-flag")
        self.set_rules([{"path": "/v1/public/installer/latest.txt", "hold_until": flag}])
        # The cloud loads new rules when the first request after the change
        # arrives, and records that at once: the record says the request is
        # there (its own record is written only once it is answered).
        loaded = lambda r: r.get("event") == "rules-loaded" and r.get("rules") == 1
        before = ct.count_records(self.log, loaded)
        got = []
        client = threading.Thread(target=lambda: got.append(ct.fetch(self.port, ct.RELEASE)))
        client.start()
        self.assertIsNotNone(ct.wait_for_record(self.log, loaded, ct.STEP_TIMEOUT, skip=before),
                             "the request never reached the cloud")
        # Arrived and held: no answer while the file is absent.
        client.join(0.5)
        self.assertTrue(client.is_alive() and not got, "answered before the file existed")
        open(flag, "w").close()
        client.join(ct.STEP_TIMEOUT)
        self.assertEqual([r.status for r in got], [200])
        self.assertEqual(got[0].body, ct.ENVELOPE)

    def test_nth_request_gets_status_and_retry_after(self):
        self.set_rules([{"path": "/v1/public/installer/latest.txt", "nth": 2, "status": 503,
                         "retry_after": 120}])
        with ct.Connection(self.port) as c:
            got = [c.request(ct.RELEASE) for _ in range(3)]
        self.assertEqual([r.status for r in got], [200, 503, 200])
        self.assertEqual(got[1].header("Retry-After"), "120")
        self.assertIsNone(got[0].header("Retry-After"))
        self.assertEqual(got[2].body, ct.ENVELOPE)

    def test_status_table(self):
        # Each rule: what a single request then gets.
        cases = [
            ({"status": 429, "retry_after": "Wed, 21 Oct 2026 07:28:00 GMT"}, ct.RELEASE, 429,
             {"Retry-After": "Wed, 21 Oct 2026 07:28:00 GMT"}),
            ({"status": 500, "retry_after": "  30  "}, ct.INSTALLER, 500, {"Retry-After": "30"}),
            ({"status": 404}, ct.RELEASE, 404, {}),
            ({"status": 204}, ct.INSTALLER, 204, {"Content-Length": None}),
            ({"status": 407, "headers": {"Proxy-Authenticate": "Basic realm=x"}}, ct.RELEASE, 407,
             {"Proxy-Authenticate": "Basic realm=x"}),
            ({"status": 416}, ct.INSTALLER, 416, {"Content-Range": f"bytes */{self.size}"}),
            ({"status": 302, "headers": {"Location": "http://localhost/x"}}, ct.RELEASE, 302,
             {"Location": "http://localhost/x"}),
        ]
        for rule, path, status, headers in cases:
            with self.subTest(rule=rule):
                self.set_rules([dict(rule, path="*")])
                r = ct.fetch(self.port, path)
                self.assertEqual(r.status, status)
                for name, value in headers.items():
                    # Header values travel trimmed, as the client reads them.
                    self.assertEqual(r.header(name), value if value is None else value.strip())

    def test_nth_list_and_path_prefix(self):
        self.set_rules([{"path": "/v1/public/installer/files/*", "nth": [1, 3], "status": 503}])
        with ct.Connection(self.port) as c:
            statuses = [c.request(ct.INSTALLER).status for _ in range(4)]
            release = c.request(ct.RELEASE).status
        self.assertEqual(statuses, [503, 200, 503, 200])
        self.assertEqual(release, 200)

    def test_rewriting_rules_restarts_counts(self):
        rule = {"path": "/v1/public/installer/latest.txt", "nth": 1, "status": 500}
        self.set_rules([rule])
        self.assertEqual(ct.fetch(self.port, ct.RELEASE).status, 500)
        self.assertEqual(ct.fetch(self.port, ct.RELEASE).status, 200)
        self.set_rules([rule])
        self.assertEqual(ct.fetch(self.port, ct.RELEASE).status, 500)

    def test_content_length_lies(self):
        size = self.size
        # rule, expected header, expected body bytes on the wire
        cases = [
            ({"content_length": size + 1}, str(size + 1), self.data),
            ({"content_length": size - 1}, str(size - 1), self.data),
            ({"content_length": "+5"}, "+5", self.data),
            ({"content_length": None, "append_bytes": 100}, None, self.data + b"x" * 100),
            ({"append_bytes": 7}, str(size + 7), self.data + b"x" * 7),
        ]
        for rule, header, body in cases:
            with self.subTest(rule=rule):
                self.set_rules([dict(rule, path=ct.INSTALLER.split("?")[0])])
                lie = "content_length" in rule
                r = ct.fetch(self.port, ct.INSTALLER, to_close=lie)
                self.assertEqual(r.status, 200)
                self.assertEqual(r.header("Content-Length"), header)
                self.assertEqual(r.body, body)
                # After a false length the connection ends cleanly after the body.
                self.assertEqual(r.ended, "close" if lie else "length")

    def test_release_body_size(self):
        self.set_rules([{"path": "/v1/public/installer/latest.txt", "body_size": 2150401,
                         "content_length": None}])
        r = ct.fetch(self.port, ct.RELEASE, to_close=True)
        self.assertEqual((r.status, len(r.body), r.header("Content-Length")), (200, 2150401, None))

    def test_wrong_content_range_on_resume(self):
        self.set_rules([{"path": "*", "content_range": f"bytes 100-{self.size - 1}/{self.size + 100}"}])
        r = ct.fetch(self.port, ct.INSTALLER, self.resume_headers(100))
        self.assertEqual(r.status, 206)
        self.assertEqual(r.header("Content-Range"), f"bytes 100-{self.size - 1}/{self.size + 100}")
        self.assertEqual(r.body, self.data[100:])

    def test_ignore_range_and_tag_override(self):
        self.set_rules([{"path": "*", "nth": 1, "ignore_range": True}])
        r = ct.fetch(self.port, ct.INSTALLER, self.resume_headers(100))
        self.assertEqual((r.status, r.body), (200, self.data))
        other = '"' + "ab" * 32 + '"'
        self.set_rules([{"path": "*", "etag": other}])
        r = ct.fetch(self.port, ct.INSTALLER, self.resume_headers(100))
        self.assertEqual((r.status, r.header("ETag")), (200, other))
        r = ct.fetch(self.port, ct.INSTALLER, self.resume_headers(100, other))
        self.assertEqual((r.status, r.body), (206, self.data[100:]))

    def test_drop_after_n_bytes(self):
        # Through TLS a reset can surface as an end without close_notify.
        for reset, ended in ((False, ("abrupt",)), (True, ("reset", "abrupt"))):
            with self.subTest(reset=reset):
                self.set_rules([{"path": "*", "drop_after": 3000, "reset": reset}])
                headers, mark = self.tagged()
                r = ct.fetch(self.port, ct.INSTALLER, headers)
                self.assertIn(r.ended, ended)
                if not reset:
                    self.assertEqual(r.status, 200)
                    self.assertEqual(r.header("Content-Length"), str(self.size))
                    self.assertEqual(r.body, self.data[:3000])
                else:
                    # A reset may discard what was still in flight, even the headers.
                    self.assertEqual(r.body, self.data[:len(r.body)])
                rec = self.record_of(mark)
                self.assertEqual((rec["outcome"], rec["body_bytes"], rec["rule"]), ("dropped", 3000, 1))

    def test_drop_on_resume_keeps_range(self):
        self.set_rules([{"path": "*", "drop_after": 0}])
        r = ct.fetch(self.port, ct.INSTALLER, self.resume_headers(5000))
        self.assertEqual((r.status, r.body, r.ended), (206, b"", "abrupt"))
        self.assertEqual(r.header("Content-Range"), f"bytes 5000-{self.size - 1}/{self.size}")

    def test_hang_up_without_answer(self):
        self.set_rules([{"path": "*", "hang_up": True}])
        headers, mark = self.tagged()
        r = ct.fetch(self.port, ct.RELEASE, headers)
        self.assertIsNone(r.status)
        self.assertIn(r.ended, ("abrupt", "reset", "close"))
        self.assertEqual(self.record_of(mark)["outcome"], "hung-up")

    def test_slow_sending(self):
        # 30,000 bytes at 20,000 bytes per second cannot arrive in under one second.
        self.set_rules([{"path": "*", "rate": 20000}])
        start = time.monotonic()
        r = ct.fetch(self.port, ct.INSTALLER, [("Range", f"bytes=0-29999")])
        elapsed = time.monotonic() - start
        self.assertEqual((r.status, r.body), (206, self.data[:30000]))
        self.assertGreaterEqual(elapsed, 1.0)

    def test_pause_in_the_body(self):
        # The first 1000 bytes at once, then nothing for 0.5 s, then the rest.
        self.set_rules([{"path": "*", "pause_after": 1000, "pause_ms": 500}])
        with ct.Connection(self.port) as conn:
            conn.sock.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n"
                               % ct.INSTALLER).encode())
            reply = ct.Reply()
            while b"\r\n\r\n" not in conn.buffer:
                self.assertTrue(conn._fill(reply))
            head, conn.buffer = conn.buffer.split(b"\r\n\r\n", 1)
            start = time.monotonic()
            while len(conn.buffer) < 1000:
                self.assertTrue(conn._fill(reply))
            self.assertEqual(len(conn.buffer), 1000)
            self.assertLess(time.monotonic() - start, 0.4)
            while len(conn.buffer) < self.size:
                self.assertTrue(conn._fill(reply))
            self.assertGreaterEqual(time.monotonic() - start, 0.45)
            self.assertEqual(conn.buffer, self.data)
        with open(self.rules, "w") as f:
            f.write('[{"path": "*", "pause_after": 10}]')
        self.assertEqual(ct.fetch(self.port, ct.RELEASE).status, 200)
        rec = ct.wait_for_record(self.log, lambda r: r.get("event") == "rules-error"
                                 and "pause_ms" in r.get("message", ""))
        self.assertIsNotNone(rec)

    def test_chunked_bodies_endless_bodies_and_framing_trickles(self):
        path = ct.INSTALLER.split("?")[0]

        def head_and_rest(conn, mark):
            conn.sock.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\nX-Test: %s\r\n\r\n"
                               % (ct.INSTALLER, mark)).encode())
            reply = ct.Reply()
            while b"\r\n\r\n" not in conn.buffer:
                self.assertTrue(conn._fill(reply), "the head did not come")
            head, conn.buffer = conn.buffer.split(b"\r\n\r\n", 1)
            return head.decode("latin-1").lower()

        # A chunked answer: the file in chunks, then the last chunk; the
        # connection stays open for the next request.
        self.set_rules([{"path": path, "chunked": True}])
        headers, mark = self.tagged()
        with ct.Connection(self.port) as conn:
            head = head_and_rest(conn, mark)
            self.assertIn("transfer-encoding: chunked", head)
            self.assertNotIn("content-length", head)
            body = b""
            while True:
                while b"\r\n" not in conn.buffer:
                    self.assertTrue(conn._fill(ct.Reply()))
                size_line, conn.buffer = conn.buffer.split(b"\r\n", 1)
                size = int(size_line, 16)
                while len(conn.buffer) < size + 2:
                    self.assertTrue(conn._fill(ct.Reply()))
                self.assertEqual(conn.buffer[size:size + 2], b"\r\n")
                body += conn.buffer[:size]
                conn.buffer = conn.buffer[size + 2:]
                if size == 0:
                    break
            self.assertEqual(body, self.data)
            self.assertEqual(conn.request(ct.INSTALLER).status, 200)
        self.assertEqual(self.record_of(mark)["body_bytes"], self.size)

        # An endless body: the file, then filler made as it is sent, for as
        # long as the client reads; its record shows what went out.
        self.set_rules([{"path": path, "endless": True}])
        headers, mark = self.tagged()
        with ct.Connection(self.port) as conn:
            head = head_and_rest(conn, mark)
            self.assertNotIn("content-length", head)
            while len(conn.buffer) < self.size + 3 * 1048576:
                self.assertTrue(conn._fill(ct.Reply()))
            self.assertEqual(conn.buffer[:self.size], self.data)
            self.assertEqual(set(conn.buffer[self.size:]), {ord("x")})
        record = self.record_of(mark)
        self.assertEqual(record["outcome"], "client-closed")
        self.assertGreaterEqual(record["body_bytes"], self.size + 3 * 1048576)

        # Chunk framing that never brings data, 20 bytes a second, until the
        # client goes.
        for kind, framing in (("size-zeros", b"0000"), ("extension", b"1;xx")):
            with self.subTest(kind=kind):
                self.set_rules([{"path": path, "chunked": kind}])
                headers, mark = self.tagged()
                start = time.monotonic()
                with ct.Connection(self.port) as conn:
                    head = head_and_rest(conn, mark)
                    self.assertIn("transfer-encoding: chunked", head)
                    while len(conn.buffer) < 4:
                        self.assertTrue(conn._fill(ct.Reply()))
                    self.assertEqual(conn.buffer[:4], framing)
                    self.assertGreaterEqual(time.monotonic() - start, 0.1)
                record = self.record_of(mark)
                self.assertEqual((record["outcome"], record["body_bytes"]), ("client-closed", 0))
                self.assertGreaterEqual(record["framing_bytes"], 4)

    def test_rule_applies_only_to_matching_query(self):
        self.set_rules([{"path": "/v1/public/installer/latest.txt?platform=win32&arch=x64"
                                 "&kind=windows-installer", "status": 503}])
        self.assertEqual(ct.fetch(self.port, ct.RELEASE).status, 503)
        other = "/v1/public/installer/latest.txt?kind=windows-installer&platform=win32&arch=x64"
        self.assertEqual(ct.fetch(self.port, other).status, 200)

    def test_bad_rules_file_applies_no_faults_and_says_why(self):
        with open(self.rules + ".tmp", "w") as f:
            f.write('{"rules": [{"path": "*", "status": 503, "colour": "red"}]}')
        os.replace(self.rules + ".tmp", self.rules)
        self.assertEqual(ct.fetch(self.port, ct.RELEASE).status, 200)
        rec = ct.wait_for_record(self.log, lambda r: r.get("event") == "rules-error"
                                 and "colour" in r.get("message", ""))
        self.assertIsNotNone(rec)


class CommandLineTests(unittest.TestCase):
    """Start-up refusals, and a clean stop on each signal."""

    @classmethod
    def setUpClass(cls):
        cls.dir = ct.temp_dir(cls)
        cls.folder = ct.make_folder(cls.dir, ct.installer_bytes(1000))

    def run_cloud(self, *args):
        return subprocess.run([CLOUD, *args], capture_output=True, text=True, timeout=20, env=server_env())

    def test_refusals_name_the_problem(self):
        bad_rules = os.path.join(self.dir, "bad.json")
        with open(bad_rules, "w") as f:
            f.write('[{"path": "*", "nth": 0}]')
        cases = [
            ([os.path.join(self.dir, "nope")], "does not exist"),
            ([self.folder, "--bind", "0.0.0.0"], "loopback"),
            ([self.folder, "--port", "70000"], "--port"),
            ([self.folder, "--rules", bad_rules], "nth"),
            ([self.folder, "--cert", os.path.join(self.dir, "none.crt")], "certificate"),
            ([self.folder, "--refusals", "expired,revoked"], "--refusals"),
            ([self.folder, "--refusals", "expired", "--legacy-tls"], "--refusals"),
        ]
        for args, words in cases:
            with self.subTest(args=args[1:]):
                p = self.run_cloud(*args)
                self.assertEqual(p.returncode, 2)
                self.assertIn(words, p.stderr)

    def test_signals_stop_cleanly_and_remove_files(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                ready = os.path.join(self.dir, f"ready-{sig.name}")
                pidfile = os.path.join(self.dir, f"pid-{sig.name}")
                server = ct.Server([CLOUD, self.folder, "--port", "0", "--ready-file", ready,
                                    "--pidfile", pidfile], ready, env=server_env())
                # A connection left open must not hold up the stop.
                idle = ct.Connection(server.port)
                self.addCleanup(idle.close)
                code, out, err = server.stop(sig)
                self.assertEqual(code, 0, err)
                self.assertIn(f"cloud: listening on https://localhost:{server.port}", out)
                self.assertFalse(os.path.exists(ready))
                self.assertFalse(os.path.exists(pidfile))

    def test_port_in_use_is_refused(self):
        with socket.create_server(("127.0.0.1", 0)) as busy:
            p = self.run_cloud(self.folder, "--port", str(busy.getsockname()[1]))
        self.assertEqual(p.returncode, 2)
        self.assertIn("cannot listen", p.stderr)


if __name__ == "__main__":
    ct.run_suite("cloud.reference", ServingTests, TlsTests, LegacyTlsTests, RotatingRefusalTests,
                 FaultTests,
                 CommandLineTests)
