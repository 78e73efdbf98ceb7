#!/usr/bin/env python3
"""End-to-end scenarios of the real setup executable under Wine: the harness.

Each scenario publishes (or reuses) a signed release, sets the reference
cloud's fault rules, the product's uninstall entry and the demo installer's
environment hooks, runs the test-profile executable, and then checks its
exit code, the one RESULT line at the end of its log, the recorded user
message byte for byte, key log lines, the server's request log and the files
left in the work folder and the install folder.

    e2e.py GROUP [--win-dir DIR] [--native-dir DIR] [--artefacts DIR] [-k NAME]
    GROUP: a module of groups/ (release, download, install, ...) | all

This file is the harness: the processes (Bench: the Wine prefix, the setup
and installer processes of this prefix, the reference cloud and nginx), one
run's results (Run, LogRun), the checks (Checker, check_common,
check_installed, check_rollback, ...), the scenario runner (Suite) and the
releases every group can serve (make_releases). The scenarios live with
their group, one module each:

    groups/<group>.py
        from e2e import *            # this harness
        def scenarios(b):            # b: the Bench, its releases published
            return [dict(name=..., release=..., rules=[...], code=...,
                         reason=..., message=(kind, text), check=...), ...]
        # optional: releases(b) publishes the group's own releases (b.publish)

A scenario is a record of keys (Suite.run_plain and check_common read them):
name; release (the published release the cloud serves); rules (the cloud's
fault rules, rule()); registry ((version, location) of an installed product);
switches, hooks, shared, link, prepare, timeout; code, reason, message (or
messages: every message the run records, in order), lines, no_lines,
downloads, reaches_cloud (False for a run that gets no request through to
the cloud; what check_common checks); check(c, run) for further checks. A scenario that needs more than one plain run names its
runner instead: runner=function(suite, sc) returning its failures. A new
group is a new module in groups/ and its name in the list of suite.cmake;
e2e.py chooses the module by the group's name.

Without WINEPREFIX in the environment it starts its own Wine prefix, wineserver
and Xvfb display (scripts/wine-env.sh) and stops them at the end.
Python 3 standard library only.
"""

import argparse
import base64
import datetime
import glob
import hashlib
import importlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE64 = "/usr/lib/wine/wine64"
# What start.exe prints when Wine's loader handed it a program it could not
# map and start.
WINE_COULD_NOT_START = b"Application could not be started"
TITLE = "Vornquill AI Setup"
VERSION = "1.2.0"
# The test-profile executable carries the checking Control Flow Guard dispatch
# (tests/guard/guard_check.h): an indirect call to a target outside the
# image's guard table ends it with this code, as an enforcing Windows would.
GUARD_CHECK_EXIT_CODE = 0xCF
UNINSTALL_KEY = ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                 "{5E2A7C19-3B4D-4F86-A1C0-9D8E7F6B5A43}_is1")
RELEASE_PATH = "/v1/public/installer/latest.txt"
# Every release carries a freshness statement signed with the test key.
FRESH_KEY = os.path.join(ROOT, "tests", "release", "keys", "test-freshness.secret")
FRESH_STATEMENT = os.path.join(ROOT, "tests", "lib", "fresh-statement")
FILES = "/v1/public/installer/files/*"
ERROR_BAD_EXE_FORMAT = 193
ERROR_ACCESS_DENIED = 5
ERROR_DISK_FULL = 112
ERROR_CANT_ACCESS_FILE = 1920
MiB = 1048576
STAMP_LINE = re.compile(rb"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")
SHARED = "VornquillAI-Setup"
# Log and cloud stamps are cut to milliseconds.
STAMP_SLACK_S = 0.002
RELEASE_QUERY = "platform=win32&arch=x64&kind=windows-installer"
# Escaped for JSON: CR LF, then what a result line looks like.
FORGED_LINE_JSON = "\\r\\n2026-01-01T00:00:00.000Z RESULT code=0 reason=installed"


def installer_name(version=VERSION):
    return "VornquillAI-Setup-x64-%s-SELFSIGNED.exe" % version


# ---------------------------------------------------------------------------
# The user messages, as the program words them.

def msg_installed(v=VERSION):
    return ("Vornquill AI %s is installed. Open the dashboard and sign in with your Vornquill "
            "account to activate it." % v)


def msg_proxy(base):
    return ("Your proxy server needs you to sign in. Setup does not collect proxy passwords: use a "
            "direct connection, or ask your IT department to allow %s." % base)


MSG_NO_RELEASE = "No release is available yet. Please try again later."
MSG_TOO_LARGE = "The release information from Vornquill Cloud is too large. Nothing was installed."
MSG_SIZE = "The download does not have the size the signed release declares. Nothing was installed."
MSG_SHA = ("The downloaded installer does not match the signed release (SHA-256 mismatch). "
           "Nothing was installed.")
MSG_AUTH = ("The downloaded installer does not carry the Hollbrek code signature. "
            "Nothing was installed.")
MSG_GONE = ("Vornquill AI %s is no longer offered for download. Run Setup again in a few minutes."
            % VERSION)
MSG_UNKNOWN_VERSION = ("An installation of Vornquill AI with an unrecognised version is present. "
                       "Setup will not change it.\n\nUninstall it from Settings > Apps first, "
                       "or contact support.")
MSG_ALREADY = "Vornquill AI %s is already installed." % VERSION


MSG_FAILED = ("The download failed. Check your internet connection and run Setup again; it "
              "continues where it stopped.")


def msg_disk(need_mb, free_mb):
    return ("Setup needs %d MB of free space on the drive that holds C:\\ProgramData, and %d MB "
            "are free." % (need_mb, free_mb))


def msg_write(folder, error):
    return "Setup could not write its download file in %s (error %d)." % (folder, error)


def msg_newer(installed):
    return ("Vornquill AI %s is installed, which is newer than the current release %s. Setup "
            "never downgrades an installation, so nothing was changed." % (installed, VERSION))


def msg_verification(word):
    return ("The release information from Vornquill Cloud failed verification (%s). Nothing "
            "was installed." % word)


def msg_newer_key(base):
    return ("This copy of Vornquill AI Setup is out of date: the current release is signed "
            "with a newer key.\n\nDownload the current installer from %s/download/" % base)


def msg_status(status):
    return "Vornquill Cloud answered HTTP %d. Please try again later." % status


def msg_cannot_reach(base):
    return ("Setup cannot reach Vornquill Cloud (%s). Check your internet connection and try "
            "again." % base)


def msg_minutes(n):
    return ("Vornquill Cloud is limiting downloads right now. Please try again in about %d minutes."
            % n)


# ---------------------------------------------------------------------------
# Small helpers

class Failed(Exception):
    pass


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            h.update(piece)
    return h.hexdigest()


def stamp_seconds(text):
    """Seconds since the epoch of a UTC time stamp: the log's
    2026-01-02T03:04:05.678Z or the cloud's 2026-01-02T03:04:05.678+00:00."""
    when = datetime.datetime.strptime(text[:23], "%Y-%m-%dT%H:%M:%S.%f")
    return when.replace(tzinfo=datetime.timezone.utc).timestamp()


def nginx_arrival(rec):
    """When a request of nginx's access log (tools/cloud/nginx-serve) came,
    as the reference cloud stamps it: the log's $msec (when nginx wrote the
    line, after the answer) less $request_time (from the request's first
    bytes), in UTC with milliseconds."""
    when = datetime.datetime.fromtimestamp(float(rec["msec"]) - float(rec["request_time"]), datetime.timezone.utc)
    return when.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (when.microsecond // 1000)


def nginx_record(seq, rec):
    """A request of nginx's access log (tools/cloud/nginx-serve) as a record
    like the reference cloud's: its time, path, query, status, body bytes,
    completion and the request headers it carried (nginx writes "" for one
    it did not)."""
    path, _, query = rec["target"].partition("?")
    return {"seq": seq, "time": nginx_arrival(rec), "path": path, "query": query,
            "status": rec["status"], "body_bytes": rec["body_bytes"], "completion": rec["completion"],
            "headers": {k: v for k, v in rec["headers"].items() if v != ""}}


def run_quiet(args, **kw):
    return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, **kw)


def envelope_fields(latest):
    fields = {}
    for line in latest.splitlines():
        key, _, value = line.partition(b"=")
        fields[key.decode()] = value
    return fields


class LogRun:
    """A setup log split into its lines (stamps removed); user messages may
    hold line breaks, so lines end with CR LF and inner breaks stay."""

    def __init__(self, path):
        self.path = path
        data = open(path, "rb").read()
        self.lines = []
        self.stamps = []
        for raw in data.split(b"\r\n"):
            if not raw:
                continue
            if not STAMP_LINE.match(raw):
                raise Failed("log line without a time stamp: %r" % raw[:80])
            self.lines.append(raw[25:].decode("utf-8"))
            self.stamps.append(stamp_seconds(raw[:24].decode()))

    def messages(self):
        out = []
        for line in self.lines:
            if line.startswith("message (error): "):
                out.append(("error", line[len("message (error): "):]))
            elif line.startswith("message: "):
                out.append(("information", line[len("message: "):]))
        return out

    def has(self, pattern):
        if isinstance(pattern, re.Pattern):
            return any(pattern.search(line) for line in self.lines)
        return any(line.startswith(pattern) for line in self.lines)

    def count(self, prefix):
        return sum(1 for line in self.lines if line.startswith(prefix))

    def value(self, prefix):
        for line in self.lines:
            if line.startswith(prefix):
                return line[len(prefix):]
        return None


def checking_guard_dispatch(exe, map_path):
    """True when the image's guard dispatch pointer (found through its load
    configuration) starts at the checking dispatch named in the link map."""
    data = open(exe, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional = pe + 24
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    lc_rva = struct.unpack_from("<I", data, optional + 112 + 10 * 8)[0]
    table = optional + struct.unpack_from("<H", data, pe + 20)[0]

    def offset(rva):
        for i in range(sections):
            va, raw_size, raw = struct.unpack_from("<I I I", data, table + 40 * i + 12)
            if va <= rva < va + max(raw_size, 1):
                return raw + rva - va
        raise Failed("RVA 0x%x is not in a section of %s" % (rva, exe))

    if lc_rva == 0:
        return False
    pointer_va = struct.unpack_from("<Q", data, offset(lc_rva) + 0x78)[0]
    target = struct.unpack_from("<Q", data, offset(pointer_va - image_base))[0] - image_base
    for line in open(map_path, encoding="utf-8", errors="replace"):
        fields = line.split()
        if len(fields) >= 4 and fields[-1] == "guard_dispatch_checking":
            return int(fields[0], 16) == target
    return False


# ---------------------------------------------------------------------------
# The test bench: Wine prefix, published releases, the reference cloud

class Bench:
    def __init__(self, args):
        self.win_dir = os.path.abspath(args.win_dir)
        self.native_dir = os.path.abspath(args.native_dir)
        self.artefacts = os.path.abspath(args.artefacts)
        self.exe = os.path.join(self.win_dir, "VornquillAI-Online-Setup-x64-SELFSIGNED.exe")
        self.demo = os.path.join(self.win_dir, "tools", "vq-demo-installer.exe")
        self.probe = os.path.join(self.win_dir, "window-probe.exe")
        self.release_tool = os.path.join(self.native_dir, "vornquill-release")
        self.key = os.path.join(ROOT, "tests", "release", "keys", "test-release.secret")
        self.fresh_key = FRESH_KEY
        for f in (self.exe, self.demo, self.release_tool):
            if not os.path.isfile(f):
                raise Failed("%s has not been built" % f)
        if not checking_guard_dispatch(self.exe, os.path.join(self.win_dir, "setup.map")):
            raise Failed("%s does not carry the checking guard dispatch" % self.exe)
        self.port = self.read_port()
        self.base = "https://localhost:%d" % self.port
        self.prefix = os.environ["WINEPREFIX"]
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.programdata = os.path.join(self.drive_c, "ProgramData")
        self.work = tempfile.mkdtemp(prefix="vq-e2e.")
        self.wine_output = os.path.join(self.work, "wine-output.txt")
        self.live = os.path.join(self.work, "live")
        self.rules = os.path.join(self.work, "rules.json")
        self.reqlog = os.path.join(self.work, "requests.jsonl")
        self.published = {}
        self.cloud = None
        self.holds = []
        self.env = dict(os.environ, WINEDEBUG="-all")
        # The demo installer's hooks and the test build's switches come only
        # from a scenario, never from the caller's environment.
        for hook in ("VQ_DEMO_EXIT_CODE", "VQ_DEMO_VERSION", "VQ_DEMO_DELAY_MS",
                     "VQ_DEMO_SKIP_ENTRY", "VQ_DEMO_WAIT_FILE",
                     "VQ_TEST_PROGRESS_WINDOW_MS", "VQ_TEST_REFUSE_AUTOMATIC_PROXY"):
            self.env.pop(hook, None)

    def read_port(self):
        cache = os.path.join(self.win_dir, "CMakeCache.txt")
        for line in open(cache, encoding="utf-8", errors="replace"):
            if line.startswith("VQ_TEST_CLOUD_PORT:"):
                return int(line.split("=", 1)[1])
        raise Failed("VQ_TEST_CLOUD_PORT is not in %s" % cache)

    # --- releases

    def sign(self, kind, timestamp=True, name=None, source=None):
        out = os.path.join(self.work, "signed-%s" % (name or kind))
        args = [os.path.join(ROOT, "tools", "sign-installer"), source or self.demo, out, "--cert", kind,
                "--timestamp" if timestamp else "--no-timestamp"]
        r = run_quiet(args)
        if r.returncode != 0:
            raise Failed("signing %s: %s" % (kind, r.stdout.decode(errors="replace")))
        return out

    def publish(self, name, installer, version=VERSION, key=None, trust_ca=None):
        """Release NAME, with a freshness statement of the default window.
        With TRUST_CA the installer must pass the tool's own check as a
        machine that trusts that root judges it, as a release engineer
        publishes (no --allow-refused-installer)."""
        out = os.path.join(self.work, "pub-" + name)
        check = ["--trust-ca", trust_ca] if trust_ca else ["--allow-refused-installer"]
        r = run_quiet([self.release_tool, "publish", "--installer", installer, "--version",
                       version, "--key", key or self.key, "--out", out, "--self-signed",
                       "--fresh-key", self.fresh_key] + check)
        if r.returncode != 0:
            raise Failed("publish refused %s: %s" % (name, r.stdout.decode(errors="replace"))
                         if trust_ca else
                         "publishing %s: %s" % (name, r.stdout.decode(errors="replace")))
        self.published[name] = out
        return out

    def freshen(self, folder, *options):
        """Sets the freshness statement of FOLDER's latest.txt
        (tests/lib/fresh-statement with OPTIONS: a window, a forgery; the
        test freshness key unless --key is among them). Returns (issued,
        expires), or None for --strip."""
        args = [FRESH_STATEMENT, os.path.join(folder, "latest.txt")] + list(options)
        if "--key" not in options:
            args += ["--key", self.fresh_key]
        r = run_quiet(args)
        if r.returncode != 0:
            raise Failed("fresh-statement %s: %s" % (" ".join(options), r.stdout.decode(errors="replace")))
        m = re.match(rb"issued=(\d+) expires=(\d+)", r.stdout)
        return (int(m.group(1)), int(m.group(2))) if m else None

    def installer_of(self, name, version=VERSION):
        return os.path.join(self.published[name], "files", version, installer_name(version))

    def serve(self, name, version=VERSION):
        """Makes the cloud's folder hold release NAME (hard links, no copies)."""
        src = self.published[name]
        if os.path.isdir(self.live):
            shutil.rmtree(self.live)
        os.makedirs(os.path.join(self.live, "files"))
        for folder, _dirs, files in os.walk(src):
            rel = os.path.relpath(folder, src)
            os.makedirs(os.path.join(self.live, rel), exist_ok=True)
            for f in files:
                os.link(os.path.join(folder, f), os.path.join(self.live, rel, f))

    def hold(self):
        """A new hold: the path for a rule's "hold_until" (the cloud holds the
        answer back until the file exists), and the function that ends it.
        A test acts while the run waits, however long acting takes."""
        flag = os.path.join(self.work, "hold-%d" % (len(self.holds) + 1))

        def release():
            open(flag, "w").close()
        self.holds.append(release)
        return flag, release

    def release_holds(self):
        """Lets every held answer go (a scenario that ended early)."""
        for release in self.holds:
            release()

    def set_rules(self, rules):
        tmp = self.rules + ".tmp"
        with open(tmp, "w") as f:
            json.dump(rules, f)
        os.replace(tmp, self.rules)

    def start_cloud(self, extra=()):
        """The reference cloud on the build's port; EXTRA are further options
        (another certificate, legacy TLS)."""
        os.makedirs(self.live, exist_ok=True)
        self.set_rules([])
        self.cloud = self.start_server(
            "cloud", "the reference cloud",
            [os.path.join(ROOT, "scripts", "cloud"), self.live, "--port", str(self.port),
             "--rules", self.rules, "--log", self.reqlog] + list(extra))

    def settled_lines(self, mark, timeout=10.0, arrivals=False):
        """The log's lines after the first MARK, once the cloud has written
        the end of every connection that carried a request since then (the
        run is over, so each of its connections ends; a request's record is
        written before its connection's end). With ARRIVALS (when the run is
        over), also the end of every request that arrived since then, and of
        its connection: the cloud logs a request when it arrives and again
        when its exchange is over, and a request whose client has gone ends
        too. Fails past the deadline, naming what is still open."""
        deadline = time.monotonic() + timeout
        while True:
            lines = []
            if os.path.exists(self.reqlog):
                with open(self.reqlog) as f:
                    lines = [line for line in f.readlines()[mark:] if line.endswith("\n")]
            records = [json.loads(line) for line in lines]
            arrived = {(r.get("conn"), r.get("conn_request")) for r in records
                       if arrivals and r.get("event") == "request-arrived"}
            answered = {(r.get("conn"), r.get("conn_request")) for r in records if r.get("event") == "request"}
            used = {conn for conn, _ in arrived | answered}
            ended = {r.get("conn") for r in records
                     if r.get("event") in ("connection-closed", "handshake-failed")}
            if arrived <= answered and used <= ended:
                return lines
            if time.monotonic() > deadline:
                raise Failed("the cloud did not log the end of requests %s or of connections %s"
                             % (sorted(arrived - answered), sorted(used - ended)))
            time.sleep(0.02)

    def records_since(self, mark, events):
        """Records of the given events after the first MARK lines of the log."""
        lines = self.settled_lines(mark)
        return [rec for rec in map(json.loads, lines) if rec.get("event") in events]

    def wait_records(self, mark, events, count, timeout=10.0):
        """Records of the given events after the first MARK lines of the log,
        once there are COUNT of them (fewer past the deadline)."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.records_since(mark, events)
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.02)

    def requests_since(self, mark):
        """Request records after the first MARK lines of the request log,
        once every request that arrived since then has ended (a request
        still in flight when the run ended is one of its requests too)."""
        out = []
        lines = self.settled_lines(mark, arrivals=True)
        for line in lines:
            rec = json.loads(line)
            if rec.get("event") == "request":
                out.append(rec)
            elif rec.get("event") == "rules-error":
                raise Failed("the cloud refused the rules: %s" % rec.get("message"))
        return out

    def reqlog_mark(self):
        if not os.path.exists(self.reqlog):
            return 0
        with open(self.reqlog) as f:
            return len(f.readlines())

    def start_nginx(self, sha256_tags):
        """nginx serving the cloud's folder on the cloud's port, its access
        log (nginx_requests reads it) new."""
        self.nginx_log = os.path.join(self.work, "nginx-access.jsonl")
        if os.path.exists(self.nginx_log):
            os.unlink(self.nginx_log)
        args = [os.path.join(ROOT, "tools", "cloud", "nginx-serve"), self.live, "--port",
                str(self.port), "--access-log", self.nginx_log]
        if sha256_tags:
            args.append("--sha256-tags")
        return self.start_server("nginx", "nginx", args)

    def nginx_requests(self):
        """The requests in nginx's access log, as records like the reference
        cloud's: path, query, status, body bytes and the request headers it
        carried (nginx writes "" for one it did not)."""
        out = []
        if os.path.exists(self.nginx_log):
            with open(self.nginx_log, encoding="utf-8") as f:
                for n, line in enumerate(f, 1):
                    out.append(nginx_record("nginx-%d" % n, json.loads(line)))
        return out

    def start_server(self, name, what, args):
        """Starts a server script and waits until it has written its ready
        file; its output goes to NAME.out in the work folder."""
        ready = os.path.join(self.work, name + ".ready")
        if os.path.exists(ready):
            os.unlink(ready)    # left by an earlier start of this server in this run
        out_path = os.path.join(self.work, name + ".out")
        with open(out_path, "w") as out:
            server = subprocess.Popen(args + ["--ready-file", ready], stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=subprocess.STDOUT)
        for _ in range(100):
            if os.path.exists(ready) and os.path.getsize(ready) > 0:
                return server
            if server.poll() is not None:
                break
            time.sleep(0.1)
        self.stop_server(server)
        with open(out_path) as out:
            raise Failed("%s did not start on port %d: %s" % (what, self.port, out.read()))

    @staticmethod
    def stop_server(server):
        if server.poll() is None:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()

    def stop_cloud(self):
        if self.cloud is not None:
            self.stop_server(self.cloud)
            self.cloud = None

    def stop(self):
        self.stop_cloud()
        shutil.rmtree(self.work, ignore_errors=True)

    # --- the machine under Wine

    def registry(self, version=None, location=None):
        """The product's uninstall entry: removed, then written when a
        version or a location is given (only the values given)."""
        lines = ["Windows Registry Editor Version 5.00", "", "[-%s]" % UNINSTALL_KEY, ""]
        if version is not None or location is not None:
            lines.append("[%s]" % UNINSTALL_KEY)
            if version is not None and any(ord(ch) < 0x20 for ch in version):
                # Control characters only go into a .reg file as raw REG_SZ bytes.
                data = (version + "\0").encode("utf-16-le")
                lines.append('"DisplayVersion"=hex(1):' + ",".join("%02x" % x for x in data))
            elif version is not None:
                lines.append('"DisplayVersion"="%s"' % version)
            if location is not None:
                lines.append('"InstallLocation"="%s"' % location.replace("\\", "\\\\"))
            lines.append("")
        reg = os.path.join(self.work, "entry.reg")
        with open(reg, "w", encoding="utf-16") as f:
            f.write("\r\n".join(lines) + "\r\n")
        self.regedit(reg)

    def regedit(self, reg):
        """Imports the .reg file REG into the prefix's registry."""
        r = self.wine_tool(["regedit", "/S", self.winpath(reg)], errors=True)
        if r.returncode != 0:
            raise Failed("regedit: %s" % r.stdout.decode(errors="replace"))

    def wine_tool(self, args, timeout=60, errors=False):
        """Runs a program of the harness under Wine (regedit, reg, the window
        probe; never the program under test) and returns how it ended. When
        Wine's loader could not start it at all (it then hands the command
        to start.exe, which says so), the program never ran and its start is
        tried again, at most twice, each time noted in the output; so is one
        that did not end within TIMEOUT seconds (a first start of Wine on a
        machine loaded by other tests), whose third time-out is raised. The
        harness's programs only read or write what they are given again, so
        a second start does what the first would have done. With ERRORS,
        Wine's error messages go into the output that a failure shows."""
        env = dict(self.env, WINEDEBUG="err+all") if errors else self.env
        for attempt in range(1, 4):
            try:
                r = run_quiet([WINE64] + list(args), env=env, timeout=timeout)
            except subprocess.TimeoutExpired:
                if attempt == 3:
                    raise
                print("    note: %s did not end within %s s under Wine (attempt %d), starting it again"
                      % (args[0], timeout, attempt), flush=True)
                continue
            if r.returncode == 0 or WINE_COULD_NOT_START not in r.stdout or attempt == 3:
                return r
            print("    note: Wine could not start %s (attempt %d), starting it again: %s"
                  % (args[0], attempt, r.stdout.decode(errors="replace").strip()), flush=True)
            time.sleep(0.5)

    @staticmethod
    def winpath(unix):
        return "Z:" + unix.replace("/", "\\")

    def unix_of(self, windows):
        assert windows[1:3] == ":\\" and windows[0] in "Cc", windows
        return os.path.join(self.drive_c, *windows[3:].split("\\"))

    def work_folders(self):
        return set(glob.glob(os.path.join(self.programdata, SHARED + "*")))

    def run_patterns(self):
        """Command-line patterns of the processes a run starts: the setup
        executable and the product installer it runs."""
        return [os.path.basename(self.exe), "VornquillAI-Setup-x64-"]

    def run_processes(self):
        """Process ids of the setup and installer processes of this bench's
        own Wine prefix: the command line names one of run_patterns() and the
        environment names this prefix. Processes of another prefix (another
        test, a build of the same name) are never among them."""
        prefix = ("WINEPREFIX=" + self.prefix).encode()
        patterns = [p.encode() for p in self.run_patterns()]
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    command = f.read()
                if not any(p in command for p in patterns):
                    continue
                with open("/proc/%s/environ" % entry, "rb") as f:
                    environment = f.read().split(b"\0")
            except OSError:     # gone meanwhile
                continue
            if prefix in environment:
                found.append(int(entry))
        return found

    def bytes_read(self):
        """What the setup and installer processes of this prefix have read
        so far (their read calls' bytes, from /proc)."""
        total = 0
        for pid in self.run_processes():
            try:
                with open("/proc/%d/io" % pid) as f:
                    for line in f:
                        if line.startswith("rchar:"):
                            total += int(line.split()[1])
            except OSError:
                pass
        return total

    def setup_running(self):
        """True while a setup or installer process of a scenario is alive."""
        return bool(self.run_processes())

    def installer_running(self):
        """True while the product installer of this prefix is alive."""
        found = False
        for pid in self.run_processes():
            try:
                with open("/proc/%d/cmdline" % pid, errors="replace") as f:
                    found = found or "VornquillAI-Setup-x64-" in f.read()
            except OSError:
                pass    # gone meanwhile
        return found

    def end_leftovers(self, grace=5.0):
        """Ends a scenario: waits GRACE seconds for its processes to go by
        themselves (wine64 may return a moment before the Windows process has
        let go of the single-instance mutex), then kills what is left, so that
        a hung run cannot make the next scenarios end as a second instance.
        Returns a failure text when something had to be killed."""
        deadline = time.monotonic() + grace
        while self.setup_running():
            if time.monotonic() > deadline:
                break
            time.sleep(0.05)
        else:
            return None
        for pid in self.run_processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        deadline = time.monotonic() + 10
        while self.setup_running():
            if time.monotonic() > deadline:
                raise Failed("a setup or installer process survived being killed")
            time.sleep(0.05)
        return "a setup or installer process was still running %.0f s after the scenario; " \
               "killed" % grace

    def start(self, switches, hooks=None):
        env = dict(self.env)
        env.update(hooks or {})
        # wine64 may return a moment before the Windows process of the last
        # run is gone and has let go of the single-instance mutex; a run
        # started then would rightly end as a second instance. Past the
        # deadline the earlier run is hung, and this one cannot be judged.
        deadline = time.monotonic() + 10
        while self.setup_running():
            if time.monotonic() > deadline:
                raise Failed("a setup process of an earlier run is still running")
            time.sleep(0.05)
        # What Wine itself prints (the program writes nothing to these) is
        # kept for the scenario's failure text: a start that Wine's loader
        # could not make shows there.
        with open(self.wine_output, "wb") as out:
            return subprocess.Popen([WINE64, self.exe] + list(switches), env=env,
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT)

    def wine_said(self):
        """What Wine printed while starting and running the last program
        started with start(), or None."""
        try:
            with open(self.wine_output, "rb") as f:
                text = f.read().decode(errors="replace").strip()
        except OSError:
            return None
        return text or None

    def probe_read_box(self, timeout=30):
        r = self.wine_tool([self.probe, "read-box", TITLE], timeout=timeout)
        out = r.stdout.decode("utf-8", errors="replace").replace("\r", "")
        box = {"text": None, "icon": None}
        for line in out.splitlines():
            if line.startswith("text: "):
                box["text"] = line[6:].replace("\\n", "\n")
            elif line.startswith("icon: "):
                box["icon"] = line[6:]
            elif line.startswith("box: none"):
                return None
        return box

    def probe_read_window(self, deadline_ms, *expected):
        """Reads the progress window with window messages (window-probe) until
        every FIELD=VALUE holds or the deadline passes: (held, fields read)."""
        r = self.wine_tool([self.probe, "read-window", TITLE, str(deadline_ms)] + list(expected),
                           timeout=deadline_ms / 1000 + 30)
        out = r.stdout.decode("utf-8", errors="replace").replace("\r", "")
        fields = {}
        for line in out.splitlines():
            key, sep, value = line.partition(": ")
            if sep:
                fields[key] = value
        return r.returncode == 0, fields


# ---------------------------------------------------------------------------
# One run and its checks

class Run:
    """What one scenario's run left: exit code, log, requests, folders."""

    def __init__(self, bench, rc, work_folder, mark, install_dir, requests=None):
        """REQUESTS: what another server than the reference cloud received
        (by default the cloud's log since MARK)."""
        self.bench = bench
        self.rc = rc
        self.folder = work_folder
        self.mark = mark
        self.requests = bench.requests_since(mark) if requests is None else requests
        self.install_dir = install_dir
        logs = sorted(glob.glob(os.path.join(work_folder, "online-setup*.log")),
                      key=os.path.getmtime) if work_folder else []
        if not logs:
            raise Failed("no setup log in %s (exit code %s)" % (work_folder, rc))
        self.log = LogRun(logs[-1])

    def files(self):
        return sorted(os.listdir(self.folder))

    def downloads(self):
        return [r for r in self.requests if r["path"].startswith(FILES[:-1])]

    def releases(self):
        return [r for r in self.requests if r["path"] == RELEASE_PATH]


class Checker:
    def __init__(self, name):
        self.name = name
        self.failures = []

    def eq(self, actual, expected, what):
        if actual != expected:
            self.failures.append("%s: got %r, expected %r" % (what, actual, expected))

    def true(self, cond, what):
        if not cond:
            self.failures.append(what)


def check_common(c, run, sc):
    log = run.log
    c.eq(run.rc, sc["code"], "exit code")
    c.true(run.rc != GUARD_CHECK_EXIT_CODE,
           "the guard check ended the process: an indirect call went to a target outside "
           "the guard function table")
    results = [line for line in log.lines if line.startswith("RESULT ")]
    c.eq(len(results), 1, "RESULT lines")
    c.eq(log.lines[-1] if log.lines else None,
         "RESULT code=%d reason=%s" % (run.rc, sc["reason"]), "last log line")
    # Every message the run recorded, not only its last: a second message
    # (or one too many) is a fault of its own. "message" is one (kind, text)
    # or None; "messages" a list of them when a run records more than one.
    expected = sc.get("message")
    if callable(expected):
        expected = expected(run)
    expected = sc["messages"] if "messages" in sc else [] if expected is None else [expected]
    c.eq(log.messages(), [tuple(m) for m in expected], "recorded messages")
    for line in sc.get("lines", []):
        c.true(log.has(line), "log lacks %r" % (getattr(line, "pattern", line),))
    for line in sc.get("no_lines", []):
        c.true(not log.has(line), "log has %r" % (getattr(line, "pattern", line),))
    if sc.get("downloads") is not None:
        c.eq(len(run.downloads()), sc["downloads"], "installer requests")
    # A run that reached the cloud asked it for the release first: a server
    # log without that request is not the log of this run, and the checks of
    # its requests below (and a scenario's "no download") would check
    # nothing. A scenario whose run never gets a request through says so
    # ("reaches_cloud": False), and then the cloud must have received none.
    # Every request of the log lies within the run's log (the cloud stamps
    # a request when it arrives, nginx's records are stamped likewise): one
    # of an earlier run does not, and a record without a time is no proof.
    if sc.get("reaches_cloud", True):
        c.true(run.releases(), "the server's log holds no release request of the run")
    else:
        c.eq(run.requests, [], "requests the cloud received from a run that never reaches it")
    if log.stamps:
        first, last = log.stamps[0] - STAMP_SLACK_S, log.stamps[-1] + STAMP_SLACK_S
        strays = [r.get("seq") for r in run.requests
                  if not r.get("time") or not first <= stamp_seconds(r["time"]) <= last]
        c.eq(strays, [], "requests of the server's log outside the run's log (or without a time)")
    # What every request of the program carries, as the cloud received it: its
    # own user agent, and no Accept header and no credentials.
    agent = "VornquillAI-OnlineSetup/%s (Windows; x64)" % log.value("Vornquill AI online installer ")
    for r in run.requests:
        sent = r.get("headers", {})
        names = {name.lower() for name in sent}
        c.eq(sorted(names & {"accept", "authorization", "proxy-authorization", "cookie"}), [],
             "headers of request %s" % r.get("seq"))
        c.eq(sent.get("User-Agent"), agent, "User-Agent of request %s" % r.get("seq"))


def check_no_installer_left(c, run):
    left = [f for f in run.files() if f.endswith(".exe") or f.endswith(".part")]
    c.eq(left, [], "installer or part file left in the work folder")


def check_rollback(c, run, bench, release="good", version=VERSION):
    pkg = os.path.join(run.install_dir, "updater-work", "rollback", version)
    exe = os.path.join(pkg, installer_name(version))
    c.true(os.path.isfile(exe), "rollback package lacks the installer")
    if os.path.isfile(exe):
        c.eq(sha256_file(exe), sha256_file(bench.installer_of(release, version)),
             "rollback installer's digest")
    fields = envelope_fields(open(os.path.join(bench.published[release], "latest.txt"), "rb").read())
    expected = (b'{"payload":"' + fields["payload"] + b'","kid":"' + fields["kid"] +
                b'","sig":"' + fields["sig"] + b'"}')
    env_path = os.path.join(pkg, "envelope.json")
    c.eq(open(env_path, "rb").read() if os.path.isfile(env_path) else None, expected,
         "envelope.json bytes")
    c.eq(sorted(os.listdir(pkg)) if os.path.isdir(pkg) else None,
         sorted([installer_name(version), "envelope.json"]), "rollback package files")


def installed_ok(c, run):
    """Installed from the good release (check_installed)."""
    check_installed(c, run, run.bench)


def fresh_cleanup(c, run):
    """Nothing of the installer left in the run's work folder."""
    check_no_installer_left(c, run)


def no_download(c, run):
    c.eq(len(run.downloads()), 0, "installer requests")


def check_installed(c, run, bench, release="good"):
    """Installed: package kept, installer gone, both logs renamed with one stamp."""
    check_rollback(c, run, bench, release)
    files = run.files()
    c.true("online-setup.log" not in files and "install.log" not in files,
           "logs kept their fixed names: %s" % files)
    stamps = {}
    for f in files:
        m = re.fullmatch(r"(online-setup|install)-(\d{8}-\d{6})\.log", f)
        if m:
            stamps[m.group(1)] = m.group(2)
    c.true(len(stamps) == 2 and stamps.get("online-setup") == stamps.get("install"),
           "logs not renamed with one stamp: %s" % files)
    check_no_installer_left(c, run)


# ---------------------------------------------------------------------------
# The scenarios

def rule(path, **kw):
    d = {"path": path}
    d.update(kw)
    return d


# ---------------------------------------------------------------------------
# Running scenarios

class Suite:
    def __init__(self, bench):
        self.b = bench
        self.results = []

    def tidy(self):
        """Leaves the prefix as other tests expect it: no product entry, no
        install folders of the scenarios."""
        self.b.registry()
        shutil.rmtree(os.path.join(self.b.drive_c, "e2e"), ignore_errors=True)
        shared = os.path.join(self.b.programdata, SHARED)
        if os.path.islink(shared):
            os.unlink(shared)

    def install_dir(self, name):
        return "C:\\e2e\\" + name

    def prepare_machine(self, sc):
        b = self.b
        name = sc["name"]
        inst = self.install_dir(name)
        if os.path.islink(b.unix_of(inst)):
            os.unlink(b.unix_of(inst))
        shutil.rmtree(b.unix_of(inst), ignore_errors=True)
        reg = sc.get("registry")
        if reg is None:
            b.registry()
        else:
            location = reg[1].replace("{dir}", inst) if reg[1] else None
            if location:
                os.makedirs(b.unix_of(location), exist_ok=True)
            b.registry(reg[0], location)
        if sc.get("prepare") == "existing_package":
            pkg = os.path.join(b.unix_of(inst), "updater-work", "rollback", VERSION)
            os.makedirs(pkg)
            with open(os.path.join(pkg, "marker.txt"), "w") as f:
                f.write("kept before")
        shared = os.path.join(b.programdata, SHARED)
        if os.path.islink(shared):
            os.unlink(shared)
        if sc.get("shared"):
            shutil.rmtree(shared, ignore_errors=True)
        else:
            os.makedirs(shared, exist_ok=True)   # exists and not private: a fresh folder
        link = sc.get("link")
        if link:
            # A directory link to a folder elsewhere: a Unix symbolic link,
            # which Wine reports by name as a directory and reparse point.
            target = b.unix_of(inst) + "-elsewhere"
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            if link == "shared":
                shutil.rmtree(shared, ignore_errors=True)
                where = shared
            elif link == "location":
                where = b.unix_of(inst)
            else:
                where = os.path.join(b.unix_of(inst), "updater-work")
                os.makedirs(b.unix_of(inst), exist_ok=True)
            os.symlink(target, where)
        return inst

    def switches(self, sc, inst):
        sw = list(sc.get("switches", ["/VERYSILENT", "/SUPPRESSMSGBOXES"]))
        if not sc.get("registry") or sc["registry"][1] is None:
            sw.append("/DIR=" + inst)
        return sw

    def run_plain(self, sc):
        b = self.b
        b.serve(sc["release"])
        b.set_rules(sc.get("rules", []))
        inst = self.prepare_machine(sc)
        before = b.work_folders()
        mark = b.reqlog_mark()
        p = b.start(self.switches(sc, inst), sc.get("hooks"))
        try:
            rc = p.wait(sc.get("timeout", 90))
        except subprocess.TimeoutExpired:
            p.kill()
            raise Failed("the run did not end in time (a box or a hang?)")
        run = Run(b, rc, self.folder_of_run(sc, before), mark, b.unix_of(inst))
        return run

    def folder_of_run(self, sc, before):
        b = self.b
        if sc.get("shared"):
            return os.path.join(b.programdata, SHARED)
        new = sorted(b.work_folders() - before)
        if len(new) != 1:
            raise Failed("expected one new work folder, found %s" % new)
        return new[0]

    def checked(self, sc, run):
        c = Checker(sc["name"])
        check_common(c, run, sc)
        if sc.get("check"):
            sc["check"](c, run)
        return c

    def cleanup_run(self, run):
        if run is not None and run.folder and os.path.basename(run.folder) != SHARED:
            shutil.rmtree(run.folder, ignore_errors=True)

    def execute(self, sc):
        start = time.monotonic()
        run = None
        self.last_run = None
        try:
            runner = sc.get("runner")
            if runner:
                failures = runner(self, sc)
                run = self.last_run
            else:
                run = self.run_plain(sc)
                failures = self.checked(sc, run).failures
        except Failed as e:
            failures = [str(e)]
        except subprocess.TimeoutExpired as e:
            failures = ["timed out: %s" % e]
        except Exception as e:      # one broken scenario must not hide the others
            failures = ["%s: %s" % (type(e).__name__, e)]
        self.b.release_holds()
        try:
            leftover = self.b.end_leftovers()
        except Failed as e:
            leftover = str(e)
        if leftover:
            failures.append(leftover)
        elapsed = time.monotonic() - start
        if failures and run is not None:
            failures.append("log:\n    " + "\n    ".join(run.log.lines[-25:]))
        said = self.b.wine_said() if failures else None
        if said:
            failures.append("Wine said:\n    " + "\n    ".join(said.splitlines()[-10:]))
        try:
            os.unlink(self.b.wine_output)
        except OSError:
            pass
        self.cleanup_run(run)
        self.results.append((sc["name"], failures, elapsed))
        status = "ok" if not failures else "FAIL"
        print("%s: %s (%.1f s)" % (status, sc["name"], elapsed), flush=True)
        for f in failures:
            print("    " + f, flush=True)

    @staticmethod
    def wait_for(cond, timeout, step=0.05):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if cond():
                return True
            time.sleep(step)
        return cond()

    def start_shared_held(self, sc, held_path, ready=None):
        """Starts a silent run in the shared work folder with the answers on
        HELD_PATH held back, so that files can be put in its way once
        ready(shared folder) holds (by default: the run has made the shared
        folder and its log): (process, plan, install folder, request-log
        mark, shared folder, release), where release() lets the held answer
        go; or None with the run killed when that does not come."""
        b = self.b
        flag, release = b.hold()
        b.set_rules([rule(held_path, hold_until=flag)])
        plan = dict(sc, shared=True)
        inst = self.prepare_machine(plan)
        mark = b.reqlog_mark()
        p = b.start(self.switches(plan, inst))
        shared = os.path.join(b.programdata, SHARED)
        if not self.wait_for(lambda: ready(shared) if ready else self.shared_log_made(), 20):
            p.kill()
            release()
            return None
        return p, plan, inst, mark, shared, release

    def plant_part_file(self, process, sha, head):
        """Puts head into the shared work folder as the part file of the
        release whose SHA-256 is sha, as an interrupted run leaves it, once
        the running process has made that folder and its log (it is then
        waiting to retry); kills the process and fails when it does not."""
        if not self.wait_for(self.shared_log_made, 20):
            process.kill()
            raise Failed("the run made no shared work folder")
        with open(os.path.join(self.b.programdata, SHARED, sha + ".part"), "wb") as f:
            f.write(head)

    def shared_log_made(self):
        """Whether a run has made the shared work folder and its log."""
        return self.current_log(None, shared=True) is not None

    def current_log(self, before, shared=False):
        if shared:
            path = os.path.join(self.b.programdata, SHARED, "online-setup.log")
            return path if os.path.isfile(path) else None
        new = sorted(self.b.work_folders() - before)
        if len(new) == 1:
            path = os.path.join(new[0], "online-setup.log")
            if os.path.isfile(path):
                return path
        return None

    def wait_log_line(self, before, prefix, timeout, shared=False):
        def seen():
            path = self.current_log(before, shared)
            if path is None:
                return False
            try:
                return LogRun(path).has(prefix)
            except (Failed, OSError, UnicodeDecodeError):
                return False
        return self.wait_for(seen, timeout, 0.03)


# ---------------------------------------------------------------------------
# Fixtures: the releases the scenarios serve

# The largest installer a manifest may declare (2 GiB); the cancel-while-
# hashing scenario needs a digest that lasts seconds on any machine.
LARGEST_SIZE = 2147483648


def make_largest_release(b, good_fields):
    """Release "large": a sparse installer of LARGEST_SIZE bytes (1 MiB of
    data, then zeros), published as the good release's signed manifest with
    this size and digest. The file is never served in full: the scenario puts
    it into the shared folder as a complete part file, so the run only hashes
    it. Sparse files keep the disk and the set-up time small."""
    out = os.path.join(b.work, "pub-large")
    served = os.path.join(out, "files", VERSION, installer_name())
    os.makedirs(os.path.dirname(served))
    with open(served, "wb") as f:
        f.write(hashlib.sha512(b"vornquill-e2e-large").digest() * 16384)
        f.truncate(LARGEST_SIZE)
    manifest = base64.urlsafe_b64decode(good_fields["payload"] +
                                        b"=" * (-len(good_fields["payload"]) % 4)).decode()
    doc = json.loads(manifest)
    artifact = [a for a in doc["artifacts"] if a.get("fileName") == installer_name()][0]
    text = manifest.replace('"size":%d' % artifact["size"], '"size":%d' % LARGEST_SIZE)
    text = text.replace('"sha256":"%s"' % artifact["sha256"], '"sha256":"%s"' % sha256_file(served))
    if text.count(str(LARGEST_SIZE)) != 1 or artifact["sha256"] in text:
        raise Failed("the large release's manifest was not rewritten: %s" % text)
    path = os.path.join(b.work, "manifest-large.json")
    open(path, "w").write(text)
    r = run_quiet([b.release_tool, "sign", "--manifest", path, "--key", b.key, "--out",
                   os.path.join(out, "latest.txt")])
    if r.returncode != 0:
        raise Failed("sign: %s" % r.stdout.decode(errors="replace"))
    b.freshen(out)
    b.published["large"] = out


def copy_sparse(src, dst):
    """A copy that keeps the holes of a sparse file (a new file, one link)."""
    r = run_quiet(["cp", "--sparse=always", src, dst])
    if r.returncode != 0:
        raise Failed("cp %s: %s" % (src, r.stdout.decode(errors="replace")))


def publish_manifest(b, name, manifest):
    """Release NAME: the good release's files with MANIFEST (a text) signed
    with the right key as its envelope."""
    path = os.path.join(b.work, "manifest-%s.json" % name)
    with open(path, "w") as f:
        f.write(manifest)
    out = os.path.join(b.work, "pub-" + name)
    shutil.copytree(b.published["good"], out)
    r = run_quiet([b.release_tool, "sign", "--manifest", path, "--key", b.key, "--out",
                   os.path.join(out, "latest.txt"), "--force"])
    if r.returncode != 0:
        raise Failed("sign: %s" % r.stdout.decode(errors="replace"))
    b.freshen(out)
    b.published[name] = out


def make_releases(b, groups):
    good = b.sign("pinned", True, "good")
    b.publish("good", good)
    fields = envelope_fields(open(os.path.join(b.published["good"], "latest.txt"), "rb").read())

    # tampered: the signature's first character changed (still base64url)
    tampered = os.path.join(b.work, "pub-tampered")
    shutil.copytree(b.published["good"], tampered)
    sig = fields["sig"]
    new_sig = (b"B" if sig[:1] == b"A" else b"A") + sig[1:]
    text = open(os.path.join(tampered, "latest.txt"), "rb").read().replace(b"sig=" + sig,
                                                                            b"sig=" + new_sig)
    open(os.path.join(tampered, "latest.txt"), "wb").write(text)
    b.published["tampered"] = tampered

    other_secret = os.path.join(b.work, "other.secret")
    r = run_quiet([b.release_tool, "keygen", "--secret", other_secret, "--public",
                   os.path.join(b.work, "other.public")])
    if r.returncode != 0:
        raise Failed("keygen: %s" % r.stdout.decode(errors="replace"))
    b.publish("other-key", good, key=other_secret)

    # A manifest that declares one byte more than the file has, signed with
    # the right key; the cloud serves the real file.
    manifest = base64.urlsafe_b64decode(fields["payload"] + b"=" * (-len(fields["payload"]) % 4))
    doc = json.loads(manifest)
    size = os.path.getsize(good)
    text = manifest.decode()
    needle = '"size":%d' % size
    if needle not in text:
        raise Failed("the manifest does not hold %s: %s" % (needle, text))
    publish_manifest(b, "size-plus", text.replace(needle, '"size":%d' % (size + 1000)))
    del doc

    # A signed manifest whose file name carries CR LF and a whole fake result
    # line (JSON escapes, so the signed text itself is one line).
    name = '"fileName":"%s' % installer_name()
    publish_manifest(b, "line-break", text.replace(name, name + FORGED_LINE_JSON))

    # Faults in the last byte only, so that a comparison over a prefix (the
    # digest's first 16 bytes, the key id's first characters, the
    # signature's first half) lets them through: a manifest signed with the
    # right key whose digest differs from the file's in its last byte; the
    # good envelope with its signature's last byte changed; and with its key
    # id's last character changed.
    sha = sha256_file(good)
    needle = '"sha256":"%s"' % sha
    if needle not in text:
        raise Failed("the manifest does not hold %s: %s" % (needle, text))
    publish_manifest(b, "digest-last-byte",
                     text.replace(needle, '"sha256":"%s%x"' % (sha[:-1], int(sha[-1], 16) ^ 1)))

    raw_sig = bytearray(base64.urlsafe_b64decode(sig + b"=" * (-len(sig) % 4)))
    raw_sig[-1] ^= 0x01
    last_sig = base64.urlsafe_b64encode(bytes(raw_sig)).rstrip(b"=")
    kid = fields["kid"]
    last_kid = kid[:-1] + (b"0" if kid[-1:] != b"0" else b"1")
    for name, old, new in (("sig-last-byte", b"sig=" + sig, b"sig=" + last_sig),
                           ("kid-last-char", b"kid=" + kid, b"kid=" + last_kid)):
        folder = os.path.join(b.work, "pub-" + name)
        shutil.copytree(b.published["good"], folder)
        envelope = open(os.path.join(folder, "latest.txt"), "rb").read()
        if envelope.count(old) != 1:
            raise Failed("the envelope does not hold %r once" % old)
        open(os.path.join(folder, "latest.txt"), "wb").write(envelope.replace(old, new))
        b.published[name] = folder

    # One byte changed in the served file, the envelope still the good one.
    one = os.path.join(b.work, "pub-one-byte")
    shutil.copytree(b.published["good"], one)
    served = os.path.join(one, "files", VERSION, installer_name())
    data = bytearray(open(served, "rb").read())
    data[len(data) // 2] ^= 0x01
    open(served, "wb").write(bytes(data))
    b.published["one-byte"] = one

    b.publish("unsigned", b.demo)
    modified = os.path.join(b.work, "modified.exe")
    data = bytearray(open(good, "rb").read())
    data[len(data) // 4] ^= 0x01      # inside the signed image, not in its signature
    open(modified, "wb").write(bytes(data))
    b.publish("modified", modified)
    b.publish("other", b.sign("other", True))
    b.publish("unpinned", b.sign("unpinned", True))
    b.publish("pinned-no-ts", b.sign("pinned", False, "pinned-no-ts"))
    # The pinned signature with a time stamp that must not count: a genuine
    # token copied from another signed file, and a token whose
    # time-stamping certificate comes from a CA nobody trusts.
    fakes = os.path.join(b.work, "fake-timestamps")
    r = run_quiet([os.path.join(ROOT, "tests", "verify", "make-fake-timestamps.sh"), b.demo, fakes])
    if r.returncode != 0:
        raise Failed("making the fake time stamps: %s" % r.stdout.decode(errors="replace"))
    for fake in ("ts-copied", "ts-untrusted-ca"):
        b.publish(fake, os.path.join(fakes, fake + ".exe"))

    # A validly signed image that the system will not start as a program:
    # the demo installer marked as a DLL before signing.
    data = bytearray(open(b.demo, "rb").read())
    header = int.from_bytes(data[0x3c:0x40], "little")
    flags = header + 4 + 18     # the file header's Characteristics
    data[flags:flags + 2] = (int.from_bytes(data[flags:flags + 2], "little") | 0x2000).to_bytes(
        2, "little")
    dll = os.path.join(b.work, "dll-flagged.exe")
    open(dll, "wb").write(bytes(data))
    b.publish("dll-flagged", b.sign("pinned", True, "dll-flagged", source=dll))

    block = hashlib.sha512(b"vornquill-e2e").digest() * 16384   # 1 MiB
    if "window" in groups:
        # The demo installer with 64 MiB of data after its image, signed
        # over all of it: its signature check takes a while.
        padded = os.path.join(b.work, "padded.exe")
        with open(padded, "wb") as f:
            f.write(open(b.demo, "rb").read())
            for i in range(64):
                f.write(i.to_bytes(4, "little") + block[4:])
        b.publish("padded", b.sign("pinned", True, "padded", source=padded))
        os.unlink(padded)
    if "window" in groups or "install" in groups:
        make_largest_release(b, fields)
    if "window" in groups:
        # A release of 4 MiB for a download slow enough to watch.
        medium = os.path.join(b.work, "medium.exe")
        with open(medium, "wb") as f:
            for i in range(4):
                f.write(i.to_bytes(4, "little") + block[4:])
        b.publish("medium", medium)
        os.unlink(medium)


# ---------------------------------------------------------------------------
# Groups

GROUPS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "groups")


def group_names():
    return sorted(f[:-3] for f in os.listdir(GROUPS_DIR)
                  if f.endswith(".py") and not f.startswith("_"))


def group_module(name):
    """The module of group NAME (groups/NAME.py)."""
    if name not in group_names():
        raise Failed("no group %r (groups: %s)" % (name, ", ".join(group_names())))
    return importlib.import_module("groups." + name)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("group")
    ap.add_argument("--win-dir", default=os.path.join(ROOT, "build", "win-test"))
    ap.add_argument("--native-dir", default=os.path.join(ROOT, "build", "native"))
    ap.add_argument("--artefacts", default=os.path.join(ROOT, "build", "native", "artefacts", "e2e"))
    ap.add_argument("-k", dest="only", action="append", default=[])
    args = ap.parse_args()

    if not os.environ.get("WINEPREFIX"):
        # A private prefix, wineserver and display for this run only.
        script = ('. "$0/scripts/wine-env.sh"; wine_env_start; trap wine_env_stop EXIT; '
                  '"$@"; exit $?')
        os.execvp("bash", ["bash", "-c", script, ROOT, sys.executable] + sys.argv)

    try:
        groups = group_names() if args.group == "all" else [args.group]
        modules = [group_module(g) for g in groups]
    except Failed as e:
        print("FAIL: %s" % e)
        return 1
    bench = Bench(args)
    try:
        t0 = time.monotonic()
        make_releases(bench, groups)
        for module in modules:
            if hasattr(module, "releases"):
                module.releases(bench)
        bench.start_cloud()
        suite = Suite(bench)
        chosen = [sc for module in modules for sc in module.scenarios(bench)
                  if not args.only or any(k in sc["name"] for k in args.only)]
        for sc in chosen:
            suite.execute(sc)
        suite.tidy()
        failed = [name for name, failures, _ in suite.results if failures]
        print("%d scenario(s), %d failed, %.1f s" % (len(suite.results), len(failed),
                                                     time.monotonic() - t0))
        return 1 if failed or not suite.results else 0
    except Failed as e:
        print("FAIL: %s" % e)
        return 1
    finally:
        bench.stop()


if __name__ == "__main__":
    # The group modules import the harness as the module "e2e": run that one,
    # not this file's second copy, so that both share one Failed, one Suite.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import e2e
    sys.exit(e2e.main())
