"""Tests of the second server: the published folder served by a private nginx
(tools/cloud/nginx-serve) on a free loopback port."""

import hashlib
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cloudtest as ct  # noqa: E402

NGINX_SERVE = os.path.join(ct.REPO, "tools", "cloud", "nginx-serve")


@unittest.skipUnless(shutil.which("nginx") or os.path.exists("/usr/sbin/nginx"),
                     "nginx is not installed (Debian package nginx-light)")
class NginxTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.dir = ct.temp_dir(cls)
        cls.data = ct.installer_bytes(120000)
        cls.size = len(cls.data)
        cls.tag = '"' + hashlib.sha256(cls.data).hexdigest() + '"'
        cls.folder = ct.make_folder(cls.dir, cls.data)
        cls.ready = os.path.join(cls.dir, "ready")
        cls.access_log = os.path.join(cls.dir, "access.jsonl")
        cls.pidfile = os.path.join(cls.dir, "nginx-serve.pid")
        last = None
        for _ in range(3):  # a free port can be taken between the choice and the start
            try:
                cls.server = ct.Server([sys.executable, NGINX_SERVE, cls.folder, "--port", str(ct.free_port()),
                                        "--ready-file", cls.ready, "--pidfile", cls.pidfile,
                                        "--access-log", cls.access_log], cls.ready)
                break
            except RuntimeError as e:
                last = e
        else:
            raise last
        cls.port = cls.server.port

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_release_and_installer_served(self):
        with ct.Connection(self.port) as c:
            r = c.request(ct.RELEASE)
            self.assertEqual((r.status, r.body), (200, ct.ENVELOPE))
            self.assertEqual(r.header("Content-Length"), str(len(ct.ENVELOPE)))
            r = c.request(ct.INSTALLER)
            self.assertEqual((r.status, r.body), (200, self.data))
            self.assertEqual(r.header("Content-Length"), str(self.size))

    def test_access_log_holds_each_request_with_its_headers(self):
        r = ct.fetch(self.port, ct.INSTALLER, [("Range", "bytes=100-"), ("If-Range", self.tag),
                                               ("User-Agent", "access-log-test/1")])
        self.assertEqual(r.status, 200)
        record = None
        deadline = time.monotonic() + 5
        while record is None and time.monotonic() < deadline:
            for line in open(self.access_log, encoding="utf-8"):
                rec = json.loads(line)
                if rec["headers"]["User-Agent"] == "access-log-test/1":
                    record = rec
            time.sleep(0.02)
        self.assertIsNotNone(record, "the request is not in nginx's access log")
        self.assertEqual((record["method"], record["target"], record["status"], record["body_bytes"]),
                         ("GET", ct.INSTALLER, 200, self.size))
        self.assertEqual((record["headers"]["Range"], record["headers"]["If-Range"],
                          record["headers"]["Authorization"]), ("bytes=100-", self.tag, ""))

    def test_range_without_validator(self):
        r = ct.fetch(self.port, ct.INSTALLER, [("Range", "bytes=100-")])
        self.assertEqual(r.status, 206)
        self.assertEqual(r.header("Content-Range"), f"bytes 100-{self.size - 1}/{self.size}")
        self.assertEqual(r.body, self.data[100:])

    def test_if_range_with_sha256_tag_gives_whole_file(self):
        # nginx's own tags are not the SHA-256, so a resumed download restarts.
        r = ct.fetch(self.port, ct.INSTALLER, [("Range", "bytes=100-"), ("If-Range", self.tag)])
        self.assertEqual((r.status, r.body), (200, self.data))
        self.assertNotEqual(r.header("ETag"), self.tag)
        # With nginx's own tag the range is honoured.
        r = ct.fetch(self.port, ct.INSTALLER, [("Range", "bytes=100-"), ("If-Range", r.header("ETag"))])
        self.assertEqual((r.status, r.body), (206, self.data[100:]))

    def test_missing_is_404(self):
        paths = [
            f"/v1/public/installer/files/{ct.VERSION}/Other.exe",
            f"/v1/public/installer/files/9.9.9/{ct.FILE_NAME}",
            f"/v1/public/installer/files/{ct.VERSION}",
            f"/v1/public/installer/files/{ct.VERSION}/",
            "/latest.txt",
            "/",
        ]
        with ct.Connection(self.port) as c:
            for path in paths:
                with self.subTest(path=path):
                    self.assertEqual(c.request(path).status, 404)

    def test_tls_versions(self):
        def handshake(version):
            raw = socket.create_connection(("127.0.0.1", self.port), timeout=ct.STEP_TIMEOUT)
            try:
                with ct.client_context(version).wrap_socket(raw, server_hostname="localhost") as s:
                    return s.version()
            except (ssl.SSLError, ConnectionResetError):
                return None
        self.assertEqual(handshake(ssl.TLSVersion.TLSv1_2), "TLSv1.2")
        self.assertEqual(handshake(ssl.TLSVersion.TLSv1_3), "TLSv1.3")
        self.assertIsNone(handshake(ssl.TLSVersion.TLSv1_1))


@unittest.skipUnless(shutil.which("nginx") or os.path.exists("/usr/sbin/nginx"), "nginx is not installed")
class NginxSha256TagTests(unittest.TestCase):
    """With --sha256-tags (a per-file ETag map), nginx honours the program's If-Range."""

    def test_resume_with_sha256_tag(self):
        d = ct.temp_dir(type(self))
        data = ct.installer_bytes(50000, seed=b"tags")
        tag = '"' + hashlib.sha256(data).hexdigest() + '"'
        folder = ct.make_folder(d, data)
        ready = os.path.join(d, "ready")
        server = ct.Server([sys.executable, NGINX_SERVE, folder, "--port", str(ct.free_port()),
                            "--ready-file", ready, "--sha256-tags"], ready)
        self.addCleanup(server.stop)
        with ct.Connection(server.port) as c:
            r = c.request(ct.INSTALLER)
            self.assertEqual((r.status, r.header("ETag"), r.body), (200, tag, data))
            r = c.request(ct.INSTALLER, [("Range", "bytes=100-"), ("If-Range", tag)])
            self.assertEqual((r.status, r.body), (206, data[100:]))
            self.assertEqual(r.header("Content-Range"), f"bytes 100-{len(data) - 1}/{len(data)}")
            r = c.request(ct.INSTALLER, [("Range", "bytes=100-"), ("If-Range", '"' + "0" * 64 + '"')])
            self.assertEqual((r.status, r.body), (200, data))


class HostingRecipeTests(unittest.TestCase):
    """The hosting recipe in tools/cloud/README.md is the configuration these tests serve."""

    def test_readme_shows_the_tested_configuration(self):
        p = subprocess.run([sys.executable, NGINX_SERVE, "--print-recipe"], capture_output=True, text=True,
                           timeout=20)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(os.path.join(ct.REPO, "tools", "cloud", "README.md"), encoding="utf-8") as f:
            readme = f.read()
        begin, end = "<!-- hosting-recipe: begin -->\n```nginx\n", "```\n<!-- hosting-recipe: end -->"
        self.assertIn(begin, readme)
        shown = readme.split(begin, 1)[1].split(end, 1)[0]
        self.assertEqual(shown, p.stdout, "the README's recipe differs from nginx/hosting.conf.in: "
                                          "paste the output of nginx-serve --print-recipe")
        for line in ("include \"/etc/nginx/vornquill-etags.map\";", "add_header ETag $vq_sha256_etag;",
                     "listen 443 ssl;", "ssl_protocols TLSv1.2 TLSv1.3;"):
            self.assertIn(line, shown)

    def test_etag_map_names_each_installer_with_its_quoted_sha256(self):
        d = ct.temp_dir(type(self))
        data = ct.installer_bytes(3000, seed=b"map")
        folder = ct.make_folder(d, data)
        os.makedirs(os.path.join(folder, "files", "2.4.0"))
        with open(os.path.join(folder, "files", "2.4.0", "Old.exe"), "wb") as f:
            f.write(b"old")
        p = subprocess.run([sys.executable, NGINX_SERVE, folder, "--print-etag-map"], capture_output=True,
                           text=True, timeout=20)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stdout,
                         f'"/v1/public/installer/files/2.4.0/Old.exe" \'"{hashlib.sha256(b"old").hexdigest()}"\';\n'
                         f'"{ct.INSTALLER}" \'"{hashlib.sha256(data).hexdigest()}"\';\n')


class NginxServeStopTests(unittest.TestCase):

    @unittest.skipUnless(shutil.which("nginx") or os.path.exists("/usr/sbin/nginx"), "nginx is not installed")
    def test_stop_removes_private_prefix(self):
        d = ct.temp_dir(type(self))
        folder = ct.make_folder(d, b"tiny")
        ready = os.path.join(d, "ready")
        server = ct.Server([sys.executable, NGINX_SERVE, folder, "--port", str(ct.free_port()),
                            "--ready-file", ready], ready)
        self.assertEqual(ct.fetch(server.port, ct.INSTALLER).body, b"tiny")
        code, out, err = server.stop(signal.SIGTERM)
        self.assertEqual(code, 0, err)
        prefix = out.split("prefix ", 1)[1].split(")", 1)[0]
        self.assertFalse(os.path.exists(prefix), "the private prefix is removed")
        self.assertFalse(os.path.exists(ready))
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", server.port), timeout=1).close()

    def test_refuses_a_folder_nginx_cannot_quote(self):
        d = ct.temp_dir(type(self))
        folder = os.path.join(d, "a$b")
        os.makedirs(folder)
        p = subprocess.run([sys.executable, NGINX_SERVE, folder, "--port", "1"],
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(p.returncode, 2)
        self.assertIn("'$'", p.stderr)


if __name__ == "__main__":
    ct.run_suite("cloud.nginx", NginxTests, NginxSha256TagTests, HostingRecipeTests, NginxServeStopTests)
