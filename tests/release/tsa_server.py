#!/usr/bin/env python3
"""A time-stamping authority for tests: answers RFC 3161 requests (POST of
application/timestamp-query) over HTTP on a loopback port with time stamps
made by `openssl ts -reply` with the test PKI's TSA certificate.

    tsa_server.py --cert TSA.crt --key TSA.key --chain CA.crt --ready FILE [--log FILE]

The port (chosen by the system) is written to the ready file once it listens.
Paths choose the answer:
    /           a time stamp of the request
    /garbage    200 with bytes that are no time-stamp reply
    /refuse     500 without a body
    /hang       nothing: the connection is held for 30 seconds, then closed
Every request is logged as one line "METHOD PATH STATUS" to the log file.
It serves at most 200 requests, then stops by itself.
"""
import argparse
import http.server
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

MAX_REQUESTS = 200
MAX_QUERY = 65536


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--chain", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--log")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="vq-tsa.")
    config = os.path.join(work, "tsa.cnf")
    with open(config, "w") as f:
        f.write(
            "[tsa]\ndefault_tsa = tsa_config\n"
            "[tsa_config]\n"
            f"serial = {work}/serial\n"
            "crypto_device = builtin\n"
            "signer_digest = sha256\n"
            "default_policy = 1.3.6.1.4.1.4146.2.3\n"
            "digests = sha1, sha256, sha384, sha512\n"
            "accuracy = secs:1\n"
            "ordering = yes\n"
            "tsa_name = no\n"
            "ess_cert_id_chain = no\n"
            "ess_cert_id_alg = sha256\n"
        )
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("01\n")

    def log(line):
        if args.log:
            with open(args.log, "a") as f:
                f.write(line + "\n")

    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, format, *values):
            pass

        def answer(self, status, body, content_type="application/timestamp-reply"):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            log(f"{self.command} {self.path} {status}")

        def do_GET(self):
            self.answer(405, b"", "text/plain")

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            if length <= 0 or length > MAX_QUERY:
                self.answer(400, b"", "text/plain")
                return
            query = self.rfile.read(length)
            if self.path == "/garbage":
                self.answer(200, b"this is not a time-stamp reply\n" * 4)
                return
            if self.path == "/hang":
                log(f"{self.command} {self.path} held")
                time.sleep(30)
                return
            if self.path == "/refuse":
                self.answer(500, b"", "text/plain")
                return
            with lock:
                self.stamp(query)

        def stamp(self, query):
            query_path = os.path.join(work, "query.tsq")
            reply_path = os.path.join(work, "reply.tsr")
            with open(query_path, "wb") as f:
                f.write(query)
            made = subprocess.run(
                ["openssl", "ts", "-reply", "-config", config, "-queryfile", query_path,
                 "-signer", args.cert, "-inkey", args.key, "-chain", args.chain,
                 "-out", reply_path],
                capture_output=True, timeout=30)
            if made.returncode != 0:
                sys.stderr.write(made.stderr.decode(errors="replace"))
                self.answer(500, b"", "text/plain")
                return
            with open(reply_path, "rb") as f:
                self.answer(200, f.read())

    # A thread per request: a held connection does not stop the others.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    # Stopped from outside, it still removes its work folder.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    ready_temp = args.ready + ".tmp"
    with open(ready_temp, "w") as f:
        f.write(f"{server.server_address[1]}\n")
    os.rename(ready_temp, args.ready)
    try:
        for _ in range(MAX_REQUESTS):
            server.handle_request()
    finally:
        server.server_close()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
