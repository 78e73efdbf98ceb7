#!/usr/bin/env python3
"""Reference cloud: serves a published release folder over HTTPS on loopback.

The folder is the one the release tool lays out:

    FOLDER/latest.txt                      the signed release envelope
    FOLDER/files/<version>/<fileName>      the installers

and it is served under the two paths the setup program asks for:

    GET /v1/public/installer/latest.txt?platform=win32&arch=x64&kind=windows-installer
    GET /v1/public/installer/files/<version>/<fileName>

Installers carry the quoted lower-case hex SHA-256 of their bytes as entity
tag; Range with If-Range gives 206 when the tag matches and the whole file
otherwise. Faults for tests come from a JSON rules file that is re-read when
it changes; every request is written to a JSON-lines log. See README.md.

Python 3 standard library only.
"""

import argparse
import datetime
import hashlib
import http.server
import ipaddress
import json
import os
import select
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse
import warnings

RELEASE_PATH = "/v1/public/installer/latest.txt"
FILES_PREFIX = "/v1/public/installer/files/"
RELEASE_QUERY = {"platform": "win32", "arch": "x64", "kind": "windows-installer"}

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
DEFAULT_CERT = os.path.join(REPO, "tests", "cloud", "pki", "chain.crt")
DEFAULT_KEY = os.path.join(REPO, "tests", "cloud", "pki", "server.key")
# Certificates that each have one fault (see make-refusal-pki.sh there).
REFUSAL_PKI = os.path.join(REPO, "tests", "cloud", "pki", "refusal")
# What --refusals can offer: a certificate of REFUSAL_PKI by its name, or the
# default certificate over TLS 1.0 and 1.1 only.
REFUSALS = ("untrusted", "expired", "other-host", "legacy-tls")

PIECE = 65536
HANDSHAKE_TIMEOUT_S = 10
MAX_REQUEST_BODY = 65536
MAX_DELAY_MS = 60000
# An endless body and a trickle of chunk framing go on until the client
# closes, but never longer than this.
MAX_ENDLESS_S = 120
# The framing trickles of "chunked": bytes that are never body data.
TRICKLES = ("size-zeros", "extension")
TRICKLE_RATE = 20
NO_BODY_STATUSES = (204, 304)


class ConfigError(Exception):
    """A bad rules file or a bad command line; the text says what is wrong."""


# ---------------------------------------------------------------------------
# Fault rules

RULE_KEYS = {
    "path", "nth", "status", "retry_after", "headers", "body", "body_size",
    "content_length", "content_range", "etag", "ignore_range", "append_bytes",
    "drop_after", "hang_up", "reset", "rate", "delay_ms", "hold_until", "close", "comment",
    "chunked", "endless", "pause_after", "pause_ms",
}


def _int_field(rule, where, key, low, high=None):
    value = rule[key]
    if isinstance(value, bool) or not isinstance(value, int):
        raise ConfigError(f"{where}: \"{key}\" must be a whole number")
    if value < low or (high is not None and value > high):
        bound = f"from {low} to {high}" if high is not None else f"at least {low}"
        raise ConfigError(f"{where}: \"{key}\" must be {bound}, not {value}")
    return value


def check_rule(rule, index):
    """Validates one rule; returns it normalised or raises ConfigError."""
    where = f"rule {index + 1}"
    if not isinstance(rule, dict):
        raise ConfigError(f"{where}: a rule must be a JSON object")
    unknown = sorted(set(rule) - RULE_KEYS)
    if unknown:
        raise ConfigError(f"{where}: unknown field \"{unknown[0]}\"")
    if not isinstance(rule.get("path"), str) or not rule["path"]:
        raise ConfigError(f"{where}: \"path\" (a path, a prefix ending in *, or *) is required")
    out = dict(rule)
    nth = rule.get("nth")
    if nth is not None:
        items = nth if isinstance(nth, list) else [nth]
        if not items:
            raise ConfigError(f"{where}: \"nth\" must not be an empty list")
        for n in items:
            if isinstance(n, bool) or not isinstance(n, int) or n < 1:
                raise ConfigError(f"{where}: \"nth\" must be a request number from 1 or a list of them")
        out["nth"] = set(items)
    if "status" in rule:
        _int_field(rule, where, "status", 100, 599)
    if "pause_ms" in rule:
        _int_field(rule, where, "pause_ms", 0, MAX_DELAY_MS)
    if ("pause_after" in rule) != ("pause_ms" in rule):
        raise ConfigError(f"{where}: give \"pause_after\" and \"pause_ms\" together")
    for key in ("body_size", "append_bytes", "drop_after", "pause_after"):
        if key in rule:
            _int_field(rule, where, key, 0)
    if "rate" in rule:
        _int_field(rule, where, "rate", 1)
    if "delay_ms" in rule:
        _int_field(rule, where, "delay_ms", 0, MAX_DELAY_MS)
    if "hold_until" in rule and (not isinstance(rule["hold_until"], str) or
                                 not os.path.isabs(rule["hold_until"])):
        raise ConfigError(f"{where}: \"hold_until\" must be an absolute file path")
    if "body" in rule and not isinstance(rule["body"], str):
        raise ConfigError(f"{where}: \"body\" must be text")
    if "body" in rule and "body_size" in rule:
        raise ConfigError(f"{where}: give \"body\" or \"body_size\", not both")
    if "content_length" in rule:
        value = rule["content_length"]
        if value is not None and (isinstance(value, bool) or not isinstance(value, (int, str))):
            raise ConfigError(f"{where}: \"content_length\" must be a number, a text or null")
    for key in ("retry_after", "content_range", "etag"):
        if key in rule and (isinstance(rule[key], bool) or not isinstance(rule[key], (int, str))):
            raise ConfigError(f"{where}: \"{key}\" must be a text or a number")
    if "chunked" in rule and not (isinstance(rule["chunked"], bool) or rule["chunked"] in TRICKLES):
        raise ConfigError(f"{where}: \"chunked\" must be true, false, "
                          + " or ".join(f"\"{t}\"" for t in TRICKLES))
    if rule.get("chunked") and "content_length" in rule:
        raise ConfigError(f"{where}: a chunked answer has no \"content_length\"")
    for key in ("ignore_range", "hang_up", "reset", "close", "endless"):
        if key in rule and not isinstance(rule[key], bool):
            raise ConfigError(f"{where}: \"{key}\" must be true or false")
    headers = rule.get("headers", {})
    if not isinstance(headers, dict):
        raise ConfigError(f"{where}: \"headers\" must be an object of name: text (or null to remove)")
    for name, value in headers.items():
        if not name or any(c in name for c in ":\r\n ") or (
                value is not None and (not isinstance(value, (str, int)) or isinstance(value, bool)
                                       or any(c in str(value) for c in "\r\n"))):
            raise ConfigError(f"{where}: bad header \"{name}\"")
    return out


def parse_rules(text):
    """Parses the rules file's text: {"rules": [...]} or a bare list."""
    try:
        doc = json.loads(text) if text.strip() else []
    except ValueError as e:
        raise ConfigError(f"not valid JSON: {e}") from None
    if isinstance(doc, dict):
        unknown = sorted(set(doc) - {"rules", "comment"})
        if unknown:
            raise ConfigError(f"unknown top-level field \"{unknown[0]}\"")
        doc = doc.get("rules", [])
    if not isinstance(doc, list):
        raise ConfigError("the rules must be a list (or an object with a \"rules\" list)")
    return [check_rule(rule, i) for i, rule in enumerate(doc)]


def rule_matches_path(rule, path, target):
    pattern = rule["path"]
    subject = target if "?" in pattern else path
    if pattern == "*":
        return True
    if pattern.endswith("*"):
        return subject.startswith(pattern[:-1])
    return subject == pattern


class RuleBook:
    """The rules file, re-read whenever it changes on disk.

    Each rule counts the requests whose path it matches, from 1; every change
    of the file (a new modification time, size or inode) starts all counts
    again. The first rule whose path and "nth" both fit a request applies.
    """

    def __init__(self, path, report):
        self.path = path
        self.report = report
        self.lock = threading.Lock()
        self.stamp = None
        self.rules = []
        self.counts = []
        self.error = None

    def _stamp(self):
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            return ("missing",)
        return (st.st_ino, st.st_size, st.st_mtime_ns)

    def load_now(self):
        """Loads the file at start; a bad file is fatal then."""
        with self.lock:
            self._reload(self._stamp(), fatal=True)

    def _reload(self, stamp, fatal):
        self.stamp = stamp
        self.counts = []
        self.rules = []
        self.error = None
        if stamp == ("missing",):
            return
        try:
            with open(self.path, "r", encoding="utf-8") as f:
                text = f.read()
            rules = parse_rules(text)
        except (OSError, UnicodeDecodeError, ConfigError) as e:
            message = f"rules file {self.path}: {e}"
            if fatal:
                raise ConfigError(message) from None
            self.error = message
            self.report({"event": "rules-error", "message": message})
            print(f"cloud: {message}; no faults apply until it is fixed", file=sys.stderr, flush=True)
            return
        self.rules = rules
        self.counts = [0] * len(rules)
        self.report({"event": "rules-loaded", "rules": len(rules)})

    def pick(self, path, target):
        """Counts this request and returns (rule index, rule, request number) or (None, None, 0)."""
        if self.path is None:
            return None, None, 0
        with self.lock:
            stamp = self._stamp()
            if stamp != self.stamp:
                self._reload(stamp, fatal=False)
            chosen = (None, None, 0)
            for i, rule in enumerate(self.rules):
                if not rule_matches_path(rule, path, target):
                    continue
                self.counts[i] += 1
                n = self.counts[i]
                if chosen[0] is None and ("nth" not in rule or n in rule["nth"]):
                    chosen = (i, rule, n)
            return chosen


# ---------------------------------------------------------------------------
# Entity tags

class TagCache:
    """SHA-256 of each served file, kept while the file is unchanged."""

    def __init__(self):
        self.lock = threading.Lock()
        self.tags = {}

    def tag_of(self, f):
        st = os.fstat(f.fileno())
        key = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
        with self.lock:
            tag = self.tags.get(key)
        if tag is None:
            h = hashlib.sha256()
            f.seek(0)
            while True:
                piece = f.read(1 << 20)
                if not piece:
                    break
                h.update(piece)
            f.seek(0)
            tag = '"' + h.hexdigest() + '"'
            with self.lock:
                self.tags[key] = tag
        return tag


def parse_range(value, size):
    """One byte range "bytes=a-b", "bytes=a-" or "bytes=-n".

    Returns (first, last) within the file, "unsatisfiable", or None when the
    header is to be ignored (malformed, another unit, or several ranges)."""
    value = value.strip()
    if not value.lower().startswith("bytes="):
        return None
    spec = value[6:].strip()
    if "," in spec or "-" not in spec:
        return None
    a, b = (s.strip() for s in spec.split("-", 1))
    if a and not a.isdigit() or b and not b.isdigit() or not (a or b):
        return None
    if a:
        first = int(a)
        last = int(b) if b else size - 1
        if b and last < first:
            return None
        if first >= size:
            return "unsatisfiable"
        return first, min(last, size - 1)
    suffix = int(b)
    if suffix == 0 or size == 0:
        return "unsatisfiable"
    return max(0, size - suffix), size - 1


# ---------------------------------------------------------------------------
# Answers

class Answer:
    """What to send: status, headers in order, and a body (bytes or a file slice)."""

    def __init__(self, status, reason=None):
        self.status = status
        self.reason = reason
        self.headers = []
        self.body = b""
        self.file = None
        self.offset = 0
        self.length = 0

    def set(self, name, value):
        self.drop(name)
        if value is not None:
            self.headers.append((name, str(value)))

    def drop(self, name):
        self.headers = [(n, v) for (n, v) in self.headers if n.lower() != name.lower()]

    def get(self, name):
        for n, v in self.headers:
            if n.lower() == name.lower():
                return v
        return None

    def body_length(self):
        return self.length if self.file is not None else len(self.body)

    def close(self):
        if self.file is not None:
            self.file.close()
            self.file = None


def text_answer(status, text):
    answer = Answer(status)
    if status not in NO_BODY_STATUSES and status >= 200:
        answer.body = text.encode("utf-8")
        answer.set("Content-Type", "text/plain; charset=utf-8")
    return answer


def default_text(status):
    try:
        phrase = http.server.BaseHTTPRequestHandler.responses[status][0]
    except KeyError:
        phrase = "Status"
    return f"{status} {phrase}\n"


def safe_segment(seg):
    return seg not in ("", ".", "..") and not any(c in seg for c in "/\\\0")


class Cloud:
    """The published folder and the way each path is answered."""

    def __init__(self, folder):
        self.folder = os.path.realpath(folder)
        self.tags = TagCache()

    def release_answer(self, query):
        params = urllib.parse.parse_qs(query, keep_blank_values=True)
        for key, want in RELEASE_QUERY.items():
            got = params.get(key)
            if got is None:
                return text_answer(400, f"the release request lacks {key}=\n")
            if len(got) != 1:
                return text_answer(400, f"the release request repeats {key}=\n")
            if got[0] != want:
                return text_answer(404, f"no release for {key}={got[0]}\n")
        try:
            with open(os.path.join(self.folder, "latest.txt"), "rb") as f:
                data = f.read()
        except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
            return Answer(204)
        answer = Answer(200)
        answer.body = data
        answer.set("Content-Type", "text/plain; charset=utf-8")
        answer.set("Cache-Control", "no-store")
        return answer

    def open_installer(self, rest):
        """Opens files/<version>/<fileName>; returns the file or None."""
        parts = [urllib.parse.unquote(p, errors="strict") for p in rest.split("/")]
        if len(parts) != 2 or not all(safe_segment(p) for p in parts):
            return None
        full = os.path.join(self.folder, "files", parts[0], parts[1])
        real = os.path.realpath(full)
        if not real.startswith(self.folder + os.sep):
            return None
        try:
            f = open(real, "rb")
        except OSError:
            return None
        if not os.path.isfile(real):
            f.close()
            return None
        return f

    def installer_answer(self, rest, request_headers, rule):
        try:
            f = self.open_installer(rest)
        except UnicodeDecodeError:
            f = None
        if f is None:
            return text_answer(404, "this release is no longer offered\n")
        size = os.fstat(f.fileno()).st_size
        tag = self.tags.tag_of(f)
        if rule is not None and "etag" in rule:
            tag = str(rule["etag"])
        first, last, partial = 0, size - 1, False
        range_value = request_headers.get("Range")
        ignore = rule is not None and rule.get("ignore_range")
        if range_value is not None and not ignore:
            if_range = request_headers.get("If-Range")
            if if_range is None or if_range.strip() == tag:
                wanted = parse_range(range_value, size)
                if wanted == "unsatisfiable":
                    f.close()
                    answer = text_answer(416, "the range is not within the file\n")
                    answer.set("Content-Range", f"bytes */{size}")
                    answer.set("ETag", tag)
                    return answer
                if wanted is not None:
                    first, last = wanted
                    partial = True
        answer = Answer(206 if partial else 200)
        answer.file, answer.offset, answer.length = f, first, max(0, last - first + 1)
        answer.set("Content-Type", "application/octet-stream")
        answer.set("Accept-Ranges", "bytes")
        answer.set("ETag", tag)
        if partial:
            answer.set("Content-Range", f"bytes {first}-{last}/{size}")
        return answer

    def answer(self, method, path, query, request_headers, rule):
        if method not in ("GET", "HEAD"):
            answer = text_answer(405, "only GET and HEAD are served\n")
            answer.set("Allow", "GET, HEAD")
            return answer
        if path == RELEASE_PATH:
            return self.release_answer(query)
        if path.startswith(FILES_PREFIX):
            return self.installer_answer(path[len(FILES_PREFIX):], request_headers, rule)
        return text_answer(404, "not found\n")

    def canned_answer(self, path, rule):
        """A rule's own answer ("status", "body" or "body_size")."""
        status = rule.get("status", 200)
        answer = Answer(status)
        if status not in NO_BODY_STATUSES and status >= 200:
            if "body" in rule:
                answer.body = rule["body"].encode("utf-8")
            elif "body_size" in rule:
                answer.body = b"x" * rule["body_size"]
            else:
                answer.body = default_text(status).encode("utf-8")
            answer.set("Content-Type", "text/plain; charset=utf-8")
        if status == 416 and path.startswith(FILES_PREFIX):
            try:
                f = self.open_installer(path[len(FILES_PREFIX):])
            except UnicodeDecodeError:
                f = None
            if f is not None:
                answer.set("Content-Range", f"bytes */{os.fstat(f.fileno()).st_size}")
                f.close()
        return answer


# ---------------------------------------------------------------------------
# The HTTP side

class Dropped(Exception):
    """The connection was cut on purpose."""


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VornquillCloud/1"
    sys_version = ""
    timeout = 30  # idle time allowed between requests on a kept-alive connection

    def __init__(self, request, client_address, server, conn_id, tls_version):
        self.conn_id = conn_id
        self.tls_version = tls_version
        self.conn_requests = 0
        self.aborted = False
        super().__init__(request, client_address, server)

    def version_string(self):
        return self.server_version

    def handle(self):
        # A connection that breaks between requests ends this handler, not the
        # connection's record (finish_request reports the count served).
        try:
            super().handle()
        except (OSError, ssl.SSLError):
            self.close_connection = True

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("cloud: " + (fmt % args) + "\n")

    def send_error(self, code, message=None, explain=None):
        # Malformed requests: a short text answer, logged like any other.
        self.close_connection = True
        answer = text_answer(code, (message or default_text(code)).strip() + "\n")
        answer.set("Connection", "close")
        record = self._new_record()
        target = getattr(self, "path", None)
        headers = getattr(self, "headers", None)
        record.update({
            "method": getattr(self, "command", None), "target": target,
            "path": target.partition("?")[0] if target else None,
            "query": target.partition("?")[2] if target else None,
            "version": getattr(self, "request_version", None),
            "headers": dict(headers.items()) if headers is not None else {},
            "rule": None, "rule_request": None,
        })
        try:
            self._send(answer, record, None)
        except (Dropped, OSError, ssl.SSLError):
            pass
        self._finish_record(record, "complete")

    def _new_record(self):
        self.conn_requests += 1
        return {
            "event": "request",
            "time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds"),
            "conn": self.conn_id,
            "conn_request": self.conn_requests,
            "client": f"{self.client_address[0]}:{self.client_address[1]}",
            "tls": self.tls_version,
            "started": time.monotonic(),
        }

    def _finish_record(self, record, outcome):
        record["outcome"] = outcome
        record["duration_ms"] = int((time.monotonic() - record.pop("started")) * 1000)
        self.server.report(record)

    def do_GET(self):
        self.handle_request()

    do_HEAD = do_GET
    do_POST = do_PUT = do_DELETE = do_OPTIONS = do_PATCH = do_GET

    def handle_request(self):
        record = self._new_record()
        target = self.path
        if target.startswith(("http://", "https://")):
            split = urllib.parse.urlsplit(target)
            path, query = split.path or "/", split.query
        else:
            path, _, query = target.partition("?")
        headers = {}
        for name, value in self.headers.items():
            headers[name] = value if name not in headers else headers[name] + ", " + value
        record.update({
            "method": self.command, "target": target, "path": path, "query": query,
            "version": self.request_version, "headers": headers,
        })
        # The request's arrival, so that a reader of the log knows of a
        # request whose answer is still out (its "request" record comes
        # when the exchange is over).
        self.server.report({key: record[key] for key in ("event", "time", "conn", "conn_request", "client",
                                                         "method", "target", "path", "query")}
                           | {"event": "request-arrived"})
        index, rule, number = self.server.rules.pick(path, target)
        record["rule"] = None if index is None else index + 1
        record["rule_request"] = number if index is not None else None

        if not self._read_request_body(record):
            return

        stays = True
        if rule is not None and rule.get("delay_ms"):
            stays = self._wait_while_client_stays(time.monotonic() + rule["delay_ms"] / 1000.0)
        if stays and rule is not None and rule.get("hold_until"):
            # Held until a test has done what it does while the client waits.
            stays = self._wait_while_client_stays(time.monotonic() + MAX_DELAY_MS / 1000.0, rule["hold_until"])
        if not stays:
            record["status"] = None
            record["body_bytes"] = 0
            record["error"] = "the client closed the connection while the answer was held back"
            self.close_connection = True
            self._finish_record(record, "client-closed")
            return
        if rule is not None and rule.get("hang_up"):
            record["status"] = None
            record["body_bytes"] = 0
            self._drop(rule.get("reset", False))
            self._finish_record(record, "hung-up")
            return

        request_headers = Caseless(headers)
        if rule is not None and ("status" in rule or "body" in rule or "body_size" in rule):
            answer = self.server.cloud.canned_answer(path, rule)
        else:
            answer = self.server.cloud.answer(self.command, path, query, request_headers, rule)
        outcome = "complete"
        try:
            self._send(answer, record, rule)
        except Dropped:
            outcome = "dropped"
        except (OSError, ssl.SSLError) as e:
            outcome = "client-closed"
            record["error"] = str(e)
            self.close_connection = True
        finally:
            answer.close()
        self._finish_record(record, outcome)

    def _wait_while_client_stays(self, deadline, flag=None):
        """Waits until DEADLINE, or until FLAG exists: true. False as soon as
        the client has closed the connection instead (the answer would reach
        nobody: the request ends then, "client-closed", not when the wait
        would have ended)."""
        while time.monotonic() < deadline and not (flag is not None and os.path.exists(flag)):
            if self._client_gone():
                return False
            time.sleep(0.01)
        return True

    def _client_gone(self):
        """Whether the client has closed its side of the connection: the
        socket reads as ended, or what it has to read is the end of TLS (a
        client sends nothing else while it waits for an answer; were it a
        next request, the connection is closed after this answer)."""
        try:
            if not select.select([self.connection], [], [], 0)[0]:
                return False
            if not socket.socket.recv(self.connection, 1, socket.MSG_PEEK):
                return True
            timeout = self.connection.gettimeout()
            self.connection.settimeout(0)
            try:
                data = self.connection.recv(1)
            finally:
                self.connection.settimeout(timeout)
        except ssl.SSLWantReadError:
            return False
        except (OSError, ssl.SSLError, ValueError):
            return True
        if data:
            self.close_connection = True
        return not data

    def _read_request_body(self, record):
        length = self.headers.get("Content-Length")
        if length is None:
            if self.headers.get("Transfer-Encoding"):
                self.close_connection = True
            return True
        try:
            n = int(length)
        except ValueError:
            n = -1
        if n < 0 or n > MAX_REQUEST_BODY:
            answer = text_answer(413, "request bodies are not accepted\n")
            answer.set("Connection", "close")
            self.close_connection = True
            try:
                self._send(answer, record, None)
            except (Dropped, OSError, ssl.SSLError):
                pass
            self._finish_record(record, "complete")
            return False
        if n:
            try:
                self.rfile.read(n)
            except (OSError, ssl.SSLError) as e:
                record.update({"status": None, "body_bytes": 0, "error": str(e)})
                self.close_connection = True
                self._finish_record(record, "client-closed")
                return False
        record["request_body_bytes"] = n
        return True

    def _drop(self, reset):
        """Cuts the connection: no TLS close_notify; with reset, a TCP RST."""
        self.close_connection = True
        self.aborted = True
        sock = self.connection
        try:
            if reset:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
        except OSError:
            pass

    def _send(self, answer, record, rule):
        rule = rule or {}
        head_only = self.command == "HEAD"
        for key, name in (("retry_after", "Retry-After"), ("content_range", "Content-Range")):
            if key in rule:
                answer.set(name, rule[key])
        for name, value in rule.get("headers", {}).items():
            answer.set(name, value)
        extra = rule.get("append_bytes", 0)
        real_length = answer.body_length() + extra
        no_body = answer.status in NO_BODY_STATUSES or answer.status < 200
        chunked = False if no_body else rule.get("chunked", False)   # true or a trickle's name
        endless = False if no_body else rule.get("endless", False)
        if "content_length" in rule:
            declared = rule["content_length"]
            self.close_connection = True
        elif no_body or chunked or endless:
            declared = None
        else:
            declared = real_length
        answer.set("Content-Length", declared)
        if chunked:
            answer.set("Transfer-Encoding", "chunked")
        if rule.get("close") or self.close_connection:
            self.close_connection = True
            answer.set("Connection", "close")

        sent_headers = [("Server", self.version_string()), ("Date", self.date_time_string())]
        sent_headers += answer.headers
        self.send_response_only(answer.status, answer.reason)
        for name, value in sent_headers:
            self.send_header(name, value)
        self.end_headers()
        record["status"] = answer.status
        record["response_headers"] = {name: value for name, value in sent_headers if name != "Date"}
        record["body_bytes"] = 0
        if head_only or no_body:
            return
        if chunked in TRICKLES:
            self._trickle_framing(chunked, rule.get("rate", TRICKLE_RATE), record)
            return

        limit = rule.get("drop_after")
        rate = rule.get("rate")
        start = time.monotonic()
        sent = 0

        def pieces():
            if answer.file is not None:
                answer.file.seek(answer.offset)
                left = answer.length
                while left > 0:
                    data = answer.file.read(min(PIECE, left))
                    if not data:
                        raise OSError("the file became shorter while it was sent")
                    left -= len(data)
                    yield data
            elif answer.body:
                for i in range(0, len(answer.body), PIECE):
                    yield answer.body[i:i + PIECE]
            left = extra
            while left > 0:
                n = min(PIECE, left)
                left -= n
                yield b"x" * n
            if endless:
                # Made piece by piece as it is sent: it ends only when the
                # client goes (or after MAX_ENDLESS_S).
                filler = b"x" * PIECE
                while time.monotonic() - start < MAX_ENDLESS_S:
                    yield filler
                record["endless_stopped"] = True
                self._drop(False)
                raise Dropped()

        def put(chunk):
            if chunked:
                self.wfile.write(b"%x\r\n" % len(chunk) + chunk + b"\r\n")
            else:
                self.wfile.write(chunk)

        def paused(source):
            """The pieces, split where the body pauses; the pause comes
            before the first byte after it."""
            at = rule.get("pause_after")
            done = 0
            for data in source:
                if at is not None and done <= at < done + len(data):
                    head, data = data[:at - done], data[at - done:]
                    if head:
                        yield head
                    time.sleep(rule["pause_ms"] / 1000.0)
                    at = None
                    done += len(head)
                done += len(data)
                yield data

        step = PIECE if rate is None else max(1, min(PIECE, rate // 20))
        for data in paused(pieces()):
            for i in range(0, len(data), step):
                chunk = data[i:i + step]
                if limit is not None and sent + len(chunk) > limit:
                    chunk = chunk[:limit - sent]
                    if chunk:
                        put(chunk)
                        sent += len(chunk)
                    record["body_bytes"] = sent
                    self._drop(rule.get("reset", False))
                    raise Dropped()
                put(chunk)
                sent += len(chunk)
                record["body_bytes"] = sent
                if rate is not None:
                    wait = start + sent / rate - time.monotonic()
                    if wait > 0:
                        time.sleep(wait)
        if limit is not None:
            # The whole body went out before the cut-off: cut the connection now.
            self._drop(rule.get("reset", False))
            raise Dropped()
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
        elif declared is None and not no_body:
            # A body that ends with the connection.
            self.close_connection = True

    def _trickle_framing(self, kind, rate, record):
        """A chunked body that never brings a byte of data: the leading
        zeros of a chunk size, or a chunk size and then an extension that
        never ends, one byte at a time at RATE bytes a second, until the
        client goes (or MAX_ENDLESS_S have passed: then the connection is
        cut)."""
        self.close_connection = True
        record["framing_bytes"] = 0
        start = time.monotonic()
        step = 0
        while time.monotonic() - start < MAX_ENDLESS_S:
            if kind == "size-zeros":
                byte = b"0"
            else:
                byte = b"1;"[step:step + 1] if step < 2 else b"x"
            self.wfile.write(byte)
            step += 1
            record["framing_bytes"] = step
            wait = start + step / rate - time.monotonic()
            if wait > 0:
                time.sleep(wait)
        self._drop(False)
        raise Dropped()


class Caseless:
    """Read-only case-insensitive view of the request headers."""

    def __init__(self, headers):
        self.items = {k.lower(): v for k, v in headers.items()}

    def get(self, name):
        return self.items.get(name.lower())


class CloudServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, ssl_context, cloud, rules, log_path, verbose, offers=None):
        self.ssl_context = ssl_context
        # (name, context) pairs handed to new connections in turn; None: every
        # connection gets ssl_context.
        self.offers = offers
        self.cloud = cloud
        self.rules = rules
        self.verbose = verbose
        self.log_lock = threading.Lock()
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        self.seq = 0
        self.conn_seq = 0
        self.conn_lock = threading.Lock()
        super().__init__(address, None)

    def report(self, record):
        with self.log_lock:
            self.seq += 1
            line = {"seq": self.seq}
            line.update(record)
            if self.log_file is not None:
                self.log_file.write(json.dumps(line, ensure_ascii=False) + "\n")
                self.log_file.flush()

    def verify_request(self, request, client_address):
        try:
            return ipaddress.ip_address(client_address[0]).is_loopback
        except ValueError:
            return False

    def finish_request(self, request, client_address):
        with self.conn_lock:
            self.conn_seq += 1
            conn_id = self.conn_seq
        context, offer = self.ssl_context, {}
        if self.offers:
            name, context = self.offers[(conn_id - 1) % len(self.offers)]
            offer = {"offer": name}
        request.settimeout(HANDSHAKE_TIMEOUT_S)
        try:
            tls = context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.report(dict({
                "event": "handshake-failed", "conn": conn_id,
                "client": f"{client_address[0]}:{client_address[1]}",
                "error": getattr(e, "reason", None) or str(e),
            }, **offer))
            return
        handler = None
        version = tls.version()
        try:
            handler = Handler(tls, client_address, self, conn_id, version)
        except (OSError, ssl.SSLError):
            pass
        finally:
            # A client that quits after the handshake (for example because it
            # refused the certificate) shows here with 0 requests.
            self.report(dict({"event": "connection-closed", "conn": conn_id, "tls": version,
                              "requests": handler.conn_requests if handler is not None else None},
                             **offer))
            try:
                if handler is None or not handler.aborted:
                    tls.settimeout(1)
                    tls.unwrap()  # close_notify, so a body that ends with the connection ends cleanly
            except (OSError, ssl.SSLError, ValueError):
                pass
            try:
                tls.close()
            except OSError:
                pass

    def shutdown_request(self, request):
        # The TLS socket (which took over this socket) is closed in finish_request.
        try:
            request.close()
        except OSError:
            pass

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)

    def server_close(self):
        super().server_close()
        if self.log_file is not None:
            with self.log_lock:
                self.log_file.close()
                self.log_file = None


def make_ssl_context(cert, key, legacy_tls=False):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if legacy_tls:
        # TLS 1.0 and 1.1 only, for tests that show a client refusing them.
        # OpenSSL 3 allows them only at security level 0.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1
            context.maximum_version = ssl.TLSVersion.TLSv1_1
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    else:
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.maximum_version = ssl.TLSVersion.TLSv1_3
    context.load_cert_chain(cert, key)
    return context


def refusal_contexts(names):
    """(name, context) for each refused server of NAMES, in their order."""
    out = []
    for name in names:
        if name == "legacy-tls":
            out.append((name, make_ssl_context(DEFAULT_CERT, DEFAULT_KEY, legacy_tls=True)))
        else:
            out.append((name, make_ssl_context(os.path.join(REFUSAL_PKI, name + ".crt"),
                                               os.path.join(REFUSAL_PKI, name + ".key"))))
    return out


def write_atomically(path, text):
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="cloud", description="Serves a published release folder over HTTPS on loopback.")
    p.add_argument("folder", help="the published folder (latest.txt, files/<version>/<fileName>)")
    p.add_argument("--port", type=int, default=8443, help="TCP port (default 8443; 0 picks a free one)")
    p.add_argument("--bind", default="127.0.0.1", help="loopback address to listen on (default 127.0.0.1)")
    p.add_argument("--rules", help="JSON fault rules, re-read whenever the file changes")
    p.add_argument("--log", help="JSON-lines request log (appended to)")
    p.add_argument("--pidfile", help="file that receives the process id")
    p.add_argument("--ready-file", help="file written (atomically, with the port) once the server accepts connections")
    p.add_argument("--cert", default=DEFAULT_CERT, help="server certificate chain (PEM)")
    p.add_argument("--key", default=DEFAULT_KEY, help="server private key (PEM)")
    p.add_argument("--legacy-tls", action="store_true",
                   help="serve TLS 1.0 and 1.1 only (for tests of clients that must refuse them)")
    p.add_argument("--refusals", metavar="NAME[,NAME...]",
                   help="hand each new connection the next of these refused servers, in turn: "
                        + ", ".join(REFUSALS) + " (the log names the one each connection met)")
    p.add_argument("--verbose", action="store_true", help="print every request to stderr")
    args = p.parse_args(argv)
    if args.refusals is not None:
        names = args.refusals.split(",")
        unknown = [n for n in names if n not in REFUSALS]
        if unknown or not args.refusals:
            p.error(f"--refusals takes names from {', '.join(REFUSALS)}, not {args.refusals!r}")
        if args.legacy_tls or args.cert != DEFAULT_CERT or args.key != DEFAULT_KEY:
            p.error("--refusals chooses the certificates itself: give no --cert, --key or --legacy-tls")
        args.refusals = names
    if not 0 <= args.port <= 65535:
        p.error(f"--port must be from 0 to 65535, not {args.port}")
    try:
        if not ipaddress.ip_address(args.bind).is_loopback:
            p.error(f"--bind must be a loopback address, not {args.bind}")
    except ValueError:
        p.error(f"--bind must be an IP address, not {args.bind}")
    if not os.path.isdir(args.folder):
        p.error(f"the folder {args.folder} does not exist or is not a folder")
    return args


def main(argv):
    args = parse_args(argv)
    stop = threading.Event()
    cleanup = []
    try:
        context = make_ssl_context(args.cert, args.key, args.legacy_tls)
        offers = refusal_contexts(args.refusals) if args.refusals else None
    except (OSError, ssl.SSLError) as e:
        print(f"cloud: cannot load the certificate {args.cert} and key {args.key}: {e}", file=sys.stderr)
        return 2

    log_box = {}

    def report(record):
        server = log_box.get("server")
        if server is not None:
            server.report(record)

    rules = RuleBook(os.path.abspath(args.rules) if args.rules else None, report)
    try:
        if args.rules:
            rules.load_now()
        address_family = socket.AF_INET6 if ":" in args.bind else socket.AF_INET
        CloudServer.address_family = address_family
        server = CloudServer((args.bind, args.port), context, Cloud(args.folder), rules, args.log,
                             args.verbose, offers)
    except ConfigError as e:
        print(f"cloud: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"cloud: cannot listen on {args.bind} port {args.port}: {e}", file=sys.stderr)
        return 2
    log_box["server"] = server
    port = server.server_address[1]

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    thread.start()
    server.report({"event": "start", "pid": os.getpid(), "port": port, "folder": server.cloud.folder})
    if args.pidfile:
        write_atomically(args.pidfile, f"{os.getpid()}\n")
        cleanup.append(args.pidfile)
    if args.ready_file:
        write_atomically(args.ready_file, f"{port}\n")
        cleanup.append(args.ready_file)
    host = "localhost" if args.bind == "127.0.0.1" else args.bind
    print(f"cloud: listening on https://{host}:{port} (folder {server.cloud.folder})", flush=True)

    while not stop.wait(0.5):
        pass
    server.shutdown()
    server.report({"event": "stop"})
    server.server_close()
    for path in cleanup:
        try:
            os.unlink(path)
        except OSError:
            pass
    print("cloud: stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
