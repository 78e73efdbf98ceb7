"""Helpers shared by the cloud server tests: a published folder, a server
process with its ready file, and a raw HTTPS client that shows exactly what
came over the wire (headers as sent, body bytes, how the connection ended)."""

import hashlib
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

TESTS = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(TESTS))
PKI = os.path.join(TESTS, "pki")
CA = os.path.join(PKI, "ca.crt")

RELEASE = "/v1/public/installer/latest.txt?platform=win32&arch=x64&kind=windows-installer"
VERSION = "2.4.1"
FILE_NAME = "VornquillAI-2.4.1-setup.exe"
INSTALLER = f"/v1/public/installer/files/{VERSION}/{FILE_NAME}"
ENVELOPE = b"kid=test-2024\npayload=eyJ2IjoxfQ\nsig=" + b"A" * 86 + b"\n"
STEP_TIMEOUT = 5.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def installer_bytes(size=200000, seed=b"vornquill"):
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(seed + counter.to_bytes(8, "little")).digest()
        counter += 1
    return bytes(out[:size])


def make_folder(root, data):
    """Lays out a published folder the way the release tool does."""
    folder = os.path.join(root, "published")
    os.makedirs(os.path.join(folder, "files", VERSION))
    with open(os.path.join(folder, "latest.txt"), "wb") as f:
        f.write(ENVELOPE)
    with open(os.path.join(folder, "files", VERSION, FILE_NAME), "wb") as f:
        f.write(data)
    return folder


def client_context(version=None, verify=True):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    if verify:
        ctx.load_verify_locations(CA)
    else:
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    # An end of the connection without TLS close_notify must show as such.
    ctx.options &= ~getattr(ssl, "OP_IGNORE_UNEXPECTED_EOF", 0)
    if version is not None:
        ctx.minimum_version = version
        ctx.maximum_version = version
        if version < ssl.TLSVersion.TLSv1_2:
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    return ctx


class Reply:
    def __init__(self):
        self.status = None
        self.reason = ""
        self.headers = {}      # lower-case name -> value
        self.raw_headers = []  # (name, value) as sent
        self.body = b""
        self.ended = None      # "length" | "close" (clean EOF) | "abrupt" | "reset" | "timeout"

    def header(self, name):
        return self.headers.get(name.lower())


class Connection:
    """One TLS connection; several requests may go over it (keep-alive)."""

    def __init__(self, port, host="localhost", ctx=None):
        self.ctx = ctx or client_context()
        raw = socket.create_connection(("127.0.0.1", port), timeout=STEP_TIMEOUT)
        self.sock = self.ctx.wrap_socket(raw, server_hostname=host, suppress_ragged_eofs=False)
        self.buffer = b""

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _recv(self):
        """More bytes; b"" at a clean end; raises on an abrupt one."""
        return self.sock.recv(65536)

    def _fill(self, reply):
        try:
            data = self._recv()
        except ssl.SSLEOFError:
            reply.ended = "abrupt"
            return False
        except ssl.SSLError as e:
            reply.ended = "abrupt" if "EOF" in str(e) else "reset"
            return False
        except ConnectionResetError:
            reply.ended = "reset"
            return False
        except socket.timeout:
            reply.ended = "timeout"
            return False
        if not data:
            reply.ended = "close"
            return False
        self.buffer += data
        return True

    def request(self, path, headers=(), method="GET", to_close=False, host="localhost"):
        """Sends one request. The body is read by Content-Length, or until the
        connection ends when to_close is set or there is no Content-Length."""
        lines = [f"{method} {path} HTTP/1.1", f"Host: {host}"]
        lines += [f"{k}: {v}" for k, v in headers]
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        reply = Reply()
        while b"\r\n\r\n" not in self.buffer:
            if not self._fill(reply):
                return reply
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        status_line, *header_lines = head.decode("latin-1").split("\r\n")
        _, status, *reason = status_line.split(" ", 2)
        reply.status = int(status)
        reply.reason = reason[0] if reason else ""
        for line in header_lines:
            name, _, value = line.partition(":")
            reply.raw_headers.append((name, value.strip()))
            reply.headers[name.lower()] = value.strip()
        length = reply.header("Content-Length")
        if method == "HEAD" or reply.status in (204, 304):
            reply.ended = "length"
            return reply
        if length is not None and not to_close:
            n = int(length)
            while len(self.buffer) < n:
                if not self._fill(reply):
                    reply.body, self.buffer = self.buffer, b""
                    return reply
            reply.body, self.buffer = self.buffer[:n], self.buffer[n:]
            reply.ended = "length"
            return reply
        while self._fill(reply):
            pass
        reply.body, self.buffer = self.buffer, b""
        return reply


def fetch(port, path, headers=(), **kw):
    with Connection(port) as c:
        return c.request(path, headers, **kw)


def ending_with_parent(argv):
    """ARGV run so that the kernel sends it SIGTERM when the process that
    started it ends, however that ends: a test killed at its time-out (ctest
    kills the test's own process, not its children) takes its servers with
    it, and they stop as they stop on SIGTERM. setpriv (util-linux) sets the
    parent-death signal and then runs ARGV in its place (the same pid); the
    signal stays across that and later execs of the same user."""
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        raise RuntimeError("setpriv (util-linux) is not on PATH")
    return [setpriv, "--pdeathsig", "TERM", "--"] + list(argv)


class Server:
    """A server process started from a command line that takes --ready-file;
    it ends with the process that started it (ending_with_parent), so start
    it from the thread that lives as long as it should: the signal comes
    when the starting thread ends."""

    def __init__(self, argv, ready_file, env=None):
        self.ready_file = ready_file
        self.proc = subprocess.Popen(ending_with_parent(argv), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, text=True)
        deadline = time.monotonic() + 15
        while not os.path.exists(ready_file):
            if self.proc.poll() is not None:
                out, err = self.proc.communicate()
                raise RuntimeError(f"server exited with {self.proc.returncode}: {out}{err}")
            if time.monotonic() > deadline:
                self.proc.kill()
                raise RuntimeError("server did not become ready within 15 s")
            time.sleep(0.05)
        with open(ready_file) as f:
            self.port = int(f.read().strip())

    def stop(self, sig=signal.SIGTERM):
        """Stops the server; returns (exit code, stdout, stderr)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            out, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            return None, out, err
        return self.proc.returncode, out, err


def read_log(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def wait_for_record(path, predicate, timeout=3.0, skip=0):
    """The first log record for which predicate holds, waiting for it briefly.
    skip: how many matching records to pass over (those written before the
    step under test), so that only a new record can answer."""
    deadline = time.monotonic() + timeout
    while True:
        matching = [record for record in read_log(path) if predicate(record)]
        if len(matching) > skip:
            return matching[skip]
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)


def count_records(path, predicate):
    return sum(1 for record in read_log(path) if predicate(record))


def run_suite(title, *cases):
    """Runs the cases, prints a one-line summary, exits 0 or 1."""
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    for case in cases:
        suite.addTests(loader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors)
    print(f"{title}: {result.testsRun} run, {failed} failed, {len(result.skipped)} skipped")
    sys.exit(suite_exit_code(result.testsRun, failed, len(result.skipped)))


# CTest shows a test that exits with this code as skipped (SKIP_RETURN_CODE).
SKIPPED_EXIT_CODE = 77


def suite_exit_code(run, failed, skipped):
    """1 when anything failed or nothing ran, SKIPPED_EXIT_CODE when a case was
    skipped on purpose (so the suite shows as skipped, not as passed), else 0."""
    if failed or run == 0:
        return 1
    if skipped:
        return SKIPPED_EXIT_CODE
    return 0


def temp_dir(case):
    d = tempfile.mkdtemp(prefix="vq-cloud-test-")
    case.addClassCleanup(lambda: subprocess.run(["rm", "-rf", d]))
    return d
