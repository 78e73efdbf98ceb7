#!/usr/bin/env python3
"""End-to-end scenarios of the real setup executable under Wine.

Each scenario publishes (or reuses) a signed release, sets the reference
cloud's fault rules, the product's uninstall entry and the demo installer's
environment hooks, runs the test-profile executable, and then checks its
exit code, the one RESULT line at the end of its log, the recorded user
message byte for byte, key log lines, the cloud's request log and the files
left in the work folder and the install folder.

    e2e.py GROUP [--win-dir DIR] [--native-dir DIR] [--artefacts DIR] [-k NAME]
    GROUP: release | download | install | links | nginx | window | disk | tls | all

Without WINEPREFIX in the environment it starts its own Wine prefix, wineserver
and Xvfb display (scripts/wine-env.sh) and stops them at the end.
Python 3 standard library only.
"""

import argparse
import base64
import glob
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE64 = "/usr/lib/wine/wine64"
TITLE = "Vornquill AI Setup"
VERSION = "1.2.0"
# The test-profile executable carries the checking Control Flow Guard dispatch
# (tests/guard/guard_check.h): an indirect call to a target outside the
# image's guard table ends it with this code, as an enforcing Windows would.
GUARD_CHECK_EXIT_CODE = 0xCF
UNINSTALL_KEY = ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                 "{5E2A7C19-3B4D-4F86-A1C0-9D8E7F6B5A43}_is1")
RELEASE_PATH = "/v1/public/installer/latest.txt"
FILES = "/v1/public/installer/files/*"
ERROR_BAD_EXE_FORMAT = 193
ERROR_ACCESS_DENIED = 5
ERROR_DISK_FULL = 112
ERROR_CANT_ACCESS_FILE = 1920
MiB = 1048576
STAMP_LINE = re.compile(rb"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")
SHARED = "VornquillAI-Setup"
RELEASE_QUERY = "platform=win32&arch=x64&kind=windows-installer"
# Escaped for JSON: CR LF, then what a result line looks like.
FORGED_LINE_JSON = "\\r\\n2026-01-01T00:00:00.000Z RESULT code=0 reason=installed"
REFUSAL_PKI = os.path.join(ROOT, "tests", "cloud", "pki", "refusal")
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


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
        for raw in data.split(b"\r\n"):
            if not raw:
                continue
            if not STAMP_LINE.match(raw):
                raise Failed("log line without a time stamp: %r" % raw[:80])
            self.lines.append(raw[25:].decode("utf-8"))

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
        self.live = os.path.join(self.work, "live")
        self.rules = os.path.join(self.work, "rules.json")
        self.reqlog = os.path.join(self.work, "requests.jsonl")
        self.published = {}
        self.cloud = None
        self.env = dict(os.environ, WINEDEBUG="-all")
        for hook in ("VQ_DEMO_EXIT_CODE", "VQ_DEMO_VERSION", "VQ_DEMO_DELAY_MS",
                     "VQ_DEMO_SKIP_ENTRY"):
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

    def publish(self, name, installer, version=VERSION, key=None):
        out = os.path.join(self.work, "pub-" + name)
        r = run_quiet([self.release_tool, "publish", "--installer", installer, "--version",
                       version, "--key", key or self.key, "--out", out, "--self-signed",
                       "--allow-refused-installer"])
        if r.returncode != 0:
            raise Failed("publishing %s: %s" % (name, r.stdout.decode(errors="replace")))
        self.published[name] = out
        return out

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

    def settled_lines(self, mark, timeout=10.0):
        """The log's lines after the first MARK, once the cloud has written
        the end of every connection that carried a request since then (the
        run is over, so each of its connections ends; a request's record is
        written before its connection's end). Fails past the deadline."""
        deadline = time.monotonic() + timeout
        while True:
            lines = []
            if os.path.exists(self.reqlog):
                with open(self.reqlog) as f:
                    lines = [line for line in f.readlines()[mark:] if line.endswith("\n")]
            records = [json.loads(line) for line in lines]
            used = {r.get("conn") for r in records if r.get("event") == "request"}
            ended = {r.get("conn") for r in records
                     if r.get("event") in ("connection-closed", "handshake-failed")}
            if used <= ended:
                return lines
            if time.monotonic() > deadline:
                raise Failed("the cloud did not log the end of connections %s" % sorted(used - ended))
            time.sleep(0.02)

    def records_since(self, mark, events):
        """Records of the given events after the first MARK lines of the log."""
        lines = self.settled_lines(mark)
        return [rec for rec in map(json.loads, lines) if rec.get("event") in events]

    def requests_since(self, mark):
        """Request records after the first MARK lines of the request log,
        once the last exchange is written."""
        out = []
        lines = self.settled_lines(mark)
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
        """nginx serving the cloud's folder on the cloud's port."""
        args = [os.path.join(ROOT, "tools", "cloud", "nginx-serve"), self.live, "--port",
                str(self.port)]
        if sha256_tags:
            args.append("--sha256-tags")
        return self.start_server("nginx", "nginx", args)

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
        r = run_quiet([WINE64, "regedit", "/S", self.winpath(reg)], env=self.env, timeout=60)
        if r.returncode != 0:
            raise Failed("regedit: %s" % r.stdout.decode(errors="replace"))

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

    def setup_running(self):
        """True while a setup or installer process of a scenario is alive."""
        return any(run_quiet(["pgrep", "-f", pattern]).returncode == 0
                   for pattern in self.run_patterns())

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
        for pattern in self.run_patterns():
            run_quiet(["pkill", "-KILL", "-f", pattern])
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
        return subprocess.Popen([WINE64, self.exe] + list(switches), env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def probe_read_box(self, timeout=30):
        r = run_quiet([WINE64, self.probe, "read-box", TITLE], env=self.env, timeout=timeout)
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
        r = run_quiet([WINE64, self.probe, "read-window", TITLE, str(deadline_ms)] + list(expected),
                      env=self.env, timeout=deadline_ms / 1000 + 30)
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

    def __init__(self, bench, rc, work_folder, mark, install_dir):
        self.bench = bench
        self.rc = rc
        self.folder = work_folder
        self.mark = mark
        self.requests = bench.requests_since(mark)
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
    messages = log.messages()
    expected = sc.get("message")
    if callable(expected):
        expected = expected(run)
    if expected is None:
        c.eq(messages, [], "recorded messages")
    else:
        kind, text = expected
        c.eq(messages[-1] if messages else None, (kind, text), "recorded message")
    for line in sc.get("lines", []):
        c.true(log.has(line), "log lacks %r" % (getattr(line, "pattern", line),))
    for line in sc.get("no_lines", []):
        c.true(not log.has(line), "log has %r" % (getattr(line, "pattern", line),))
    if sc.get("downloads") is not None:
        c.eq(len(run.downloads()), sc["downloads"], "installer requests")
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


def refusal_cert(name):
    return ["--cert", os.path.join(REFUSAL_PKI, name + ".crt"),
            "--key", os.path.join(REFUSAL_PKI, name + ".key")]


REDIRECT_FAILED = 12156    # ERROR_WINHTTP_REDIRECT_FAILED

# The error with which WinHTTP fails each refused connection.
TLS_ERRORS = {
    "untrusted": 12157,     # ERROR_WINHTTP_SECURE_CHANNEL_ERROR
    "expired": 12157,
    "other-host": 12157,
    "legacy": 12157,
}


def tls_client_get(port, strict):
    """GET of the release path by a client of this test: STRICT trusts only the
    system store, checks the host name and takes TLS 1.2 or newer, as the
    program must; otherwise it checks nothing and takes TLS 1.0 as well.
    Returns (status, TLS version) or raises ssl.SSLError."""
    if strict:
        context = ssl.create_default_context(cafile=SYSTEM_BUNDLE)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
    else:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname="localhost") as tls:
            tls.sendall(("GET %s?%s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
                         % (RELEASE_PATH, RELEASE_QUERY)).encode())
            head = tls.recv(64).decode(errors="replace")
            return int(head.split()[1]), tls.version()


class PlainListener:
    """A plain-HTTP port on loopback that counts the connections made to it."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.connections = 0
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            conn.close()

    def close(self):
        self.sock.close()
        self.thread.join(5)


def scenarios(bench):
    b = bench
    size = os.path.getsize(b.installer_of("good"))
    sha = sha256_file(b.installer_of("good"))
    drop = size // 2
    silent = ["/VERYSILENT", "/SUPPRESSMSGBOXES"]

    def installed_ok(c, run):
        check_installed(c, run, b)

    def fresh_cleanup(c, run):
        check_no_installer_left(c, run)

    def resumed(c, run):
        d = run.downloads()
        c.true(len(d) >= 2, "fewer than two installer requests")
        if len(d) >= 2:
            held = run.log.value("download attempt 1 stopped at ")
            held = int(held.split()[0]) if held else None
            c.true(held is not None and 0 < held < size, "attempt 1 held %r bytes" % held)
            c.eq(d[1]["headers"].get("Range"), "bytes=%s-" % held, "resumed request's Range")
            c.eq(d[1]["headers"].get("If-Range"), '"%s"' % sha, "resumed request's If-Range")
            c.eq(d[1]["status"], 206, "resumed request's status")
        check_installed(c, run, b)

    def restarted(c, run):
        d = run.downloads()
        c.true(len(d) == 2 and "Range" in d[1]["headers"], "second request was no resumption")
        if len(d) == 2:
            c.eq((d[1]["status"], d[1]["body_bytes"]), (200, size), "answer to the resumption")
        check_installed(c, run, b)

    def restarted_next_attempt(c, run):
        d = run.downloads()
        c.eq(len(d), 3, "installer requests")
        if len(d) == 3:
            c.true("Range" in d[1]["headers"], "second request was no resumption")
            c.true("Range" not in d[2]["headers"], "third request still asked for a range")
            c.eq(d[2]["status"], 200, "third request's status")
        check_installed(c, run, b)

    def no_download(c, run):
        c.eq(len(run.downloads()), 0, "installer requests")

    def eight_failures(c, run):
        c.eq(len(run.releases()), 8, "release requests")
        c.eq(run.log.count("latest.txt attempt "), 8, "attempt lines")
        c.eq(run.log.count("retrying in 1000 ms"), 7, "waits of 1 s")

    def retried_once(c, run):
        c.eq(len(run.releases()), 2, "release requests")
        check_installed(c, run, b)

    def auth_refused(c, run):
        check_no_installer_left(c, run)
        c.eq(len(run.downloads()), 1, "installer requests")

    def package_left_alone(c, run):
        marker = os.path.join(run.install_dir, "updater-work", "rollback", VERSION, "marker.txt")
        c.eq(sorted(os.listdir(os.path.dirname(marker))), ["marker.txt"], "existing package")
        c.eq(open(marker).read(), "kept before", "existing package's file")
        check_no_installer_left(c, run)

    def other_version(c, run):
        c.true(not os.path.exists(os.path.join(run.install_dir, "updater-work")),
               "a rollback package was made")
        check_no_installer_left(c, run)

    def part_back(c, run):
        c.eq([f for f in run.files() if f.endswith(".exe") or f.endswith(".part")],
             [sha + ".part"], "installer moved back to the part name")
        part = os.path.join(run.folder, sha + ".part")
        if os.path.exists(part):
            c.eq(sha256_file(part), sha, "the part file's digest")

    def part_kept_shared(c, run):
        part = os.path.join(run.folder, sha + ".part")
        c.eq(os.path.getsize(part) if os.path.exists(part) else None, drop,
             "part file kept in the shared folder")

    def link_untouched(c, link, target):
        """The link is still a link to its target, which holds no work folder
        file and no rollback folder."""
        c.true(os.path.islink(link), "the link was replaced: %s" % link)
        found = sorted(os.listdir(target)) if os.path.isdir(target) else None
        c.true(found is not None and "updater-work" not in found and
               not any(f.endswith((".log", ".part", ".exe")) for f in found),
               "written behind the link: %s" % found)

    def shared_link_left(c, run):
        check_installed(c, run, b)
        link_untouched(c, os.path.join(b.programdata, SHARED), run.install_dir + "-elsewhere")

    def location_link_left(c, run):
        link_untouched(c, run.install_dir, run.install_dir + "-elsewhere")
        check_no_installer_left(c, run)

    def updater_work_link_left(c, run):
        link_untouched(c, os.path.join(run.install_dir, "updater-work"),
                       run.install_dir + "-elsewhere")
        c.eq(os.listdir(run.install_dir + "-elsewhere"), [], "files behind the link")
        check_no_installer_left(c, run)

    def eight_download_failures(c, run):
        c.eq(run.log.count("download attempt "), 8, "download attempt lines")
        c.eq(run.log.count("retrying in 1000 ms"), 7, "waits of 1 s")
        c.eq(len(run.releases()), 1, "release requests")
        part_kept_shared(c, run)

    def part_deleted_shared(c, run):
        c.eq(run.log.value("work folder reuse: "), "yes (private)", "work folder kind")
        check_no_installer_left(c, run)

    def redirect_followed(c, run):
        r = run.releases()
        c.eq([(x["status"], "moved=1" in x["query"]) for x in r], [(302, False), (200, True)],
             "release requests (status, redirected)")
        check_installed(c, run, b)

    def failed_message(run):
        return ("error", "The Vornquill AI installer stopped with code 1. Its log is "
                         "%s\\install.log." % run.log.value("work folder: "))

    mismatch_sha = sha256_file(b.installer_of("one-byte"))

    table = [
        # ---- release and install decision
        dict(group="release", name="found-and-installed", release="good", code=0,
             reason="installed", message=("information", msg_installed()),
             lines=["release %s verified (key " % VERSION, "no installed version found", "sha256 ok",
                    "authenticode: pinned self-signed certificate",
                    "rollback package kept in updater-work\\rollback\\%s" % VERSION],
             check=installed_ok),
        dict(group="release", name="release-404", release="good",
             rules=[rule(RELEASE_PATH, status=404)], code=6, reason="no-release",
             message=("error", MSG_NO_RELEASE), check=no_download),
        dict(group="release", name="release-403", release="good",
             rules=[rule(RELEASE_PATH, status=403)], code=1, reason="release",
             message=("error", msg_status(403)), check=no_download),
        dict(group="release", name="release-407", release="good",
             rules=[rule(RELEASE_PATH, status=407)], code=1, reason="release",
             message=("error", msg_proxy(b.base)), check=no_download),
        dict(group="release", name="release-503-then-ok", release="good",
             rules=[rule(RELEASE_PATH, nth=1, status=503, retry_after=1)], code=0,
             reason="installed", message=("information", msg_installed()),
             lines=["latest.txt attempt 1 failed (status 503, error 0)", "retrying in 1000 ms"],
             check=retried_once),
        dict(group="release", name="release-rate-limited", release="good",
             rules=[rule(RELEASE_PATH, status=503, retry_after=301)], code=1, reason="release",
             message=("error", msg_minutes(6)), no_lines=["retrying in"], check=no_download),
        dict(group="release", name="release-eight-failures", release="good",
             rules=[rule(RELEASE_PATH, status=503, retry_after=1)], code=1, reason="release",
             message=("error", "Setup cannot reach Vornquill Cloud (%s). Check your internet "
                               "connection and try again." % b.base),
             lines=["latest.txt attempt 8 failed (status 503, error 0)"], check=eight_failures),
        dict(group="release", name="release-too-large", release="good",
             rules=[rule(RELEASE_PATH, status=200, body_size=2150401)], code=2, reason="release",
             message=("error", MSG_TOO_LARGE), check=no_download),
        dict(group="release", name="release-tampered", release="tampered", code=2,
             reason="release",
             message=("error", "The release information from Vornquill Cloud failed "
                               "verification (bad-signature). Nothing was installed."),
             lines=["release verification failed: bad-signature: ", "RELEASE-ERROR bad-signature"],
             check=no_download),
        dict(group="release", name="release-file-name-line-break", release="line-break", code=2,
             reason="release",
             message=("error", "The release information from Vornquill Cloud failed "
                               "verification (file-name). Nothing was installed."),
             lines=["release verification failed: file-name: the Windows installer's file name "
                    "%s\\x0d\\x0a2026-01-01T00:00:00.000Z RESULT code=0 reason=installed is "
                    "not accepted" % installer_name(), "RELEASE-ERROR file-name"],
             check=no_download),
        dict(group="release", name="release-unknown-key", release="other-key", code=2,
             reason="release",
             message=("error", "This copy of Vornquill AI Setup is out of date: the current "
                               "release is signed with a newer key.\n\nDownload the current "
                               "installer from %s/download/" % b.base),
             lines=["RELEASE-ERROR unknown-kid"], check=no_download),
        dict(group="release", name="installed-newer", release="good", registry=("2.0.0", None),
             code=7, reason="newer-installed",
             message=("error", "Vornquill AI 2.0.0 is installed, which is newer than the current "
                               "release %s. Setup never downgrades an installation, so nothing "
                               "was changed." % VERSION),
             lines=["installed version: 2.0.0"], check=no_download),
        dict(group="release", name="installed-invalid", release="good",
             registry=("1.2.x", None), code=7, reason="installed-version-unknown",
             message=("error", MSG_UNKNOWN_VERSION), lines=["installed version: 1.2.x"],
             check=no_download),
        dict(group="release", name="installed-without-version", release="good",
             registry=(None, "{dir}"), code=7, reason="installed-version-unknown",
             message=("error", MSG_UNKNOWN_VERSION),
             lines=["installed version could not be read (error 2)"],
             no_lines=["no installed version found"], check=no_download),
        dict(group="release", name="installed-version-line-break", release="good",
             registry=("1.2.x\r\nRESULT code=0 reason=installed", None), code=7,
             reason="installed-version-unknown", message=("error", MSG_UNKNOWN_VERSION),
             lines=["installed version: 1.2.x\\x0d\\x0aRESULT code=0 reason=installed"],
             check=no_download),
        dict(group="release", name="installed-equal-silent", release="good",
             registry=(VERSION, "C:\\e2e\\equal"), code=0, reason="already-installed",
             message=("information", MSG_ALREADY), no_lines=["repairing the installed version"],
             check=no_download),

        # ---- download loop
        dict(group="download", name="download-404", release="good",
             rules=[rule(FILES, status=404)], code=6, reason="release-gone",
             message=("error", MSG_GONE), check=fresh_cleanup),
        dict(group="download", name="download-204", release="good",
             rules=[rule(FILES, status=204)], code=6, reason="release-gone",
             message=("error", MSG_GONE), downloads=1, check=fresh_cleanup),
        dict(group="download", name="download-eight-failures-silent", release="good", shared=True,
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1),
                    rule(FILES, status=503, retry_after=1)],
             code=1, reason="download-failed", message=("error", MSG_FAILED),
             lines=["download attempt 8 stopped at %d bytes (status 503, error 0)" % drop],
             downloads=8, check=eight_download_failures),
        dict(group="download", name="part-file-is-a-directory", release="good",
             runner="part_file_directory"),
        dict(group="download", name="download-407", release="good",
             rules=[rule(FILES, status=407)], code=1, reason="proxy-auth",
             message=("error", msg_proxy(b.base)), downloads=1, check=fresh_cleanup),
        dict(group="download", name="download-403", release="good",
             rules=[rule(FILES, status=403)], code=1, reason="download-status",
             message=("error", "The download failed (HTTP 403). Run Setup again later."),
             downloads=1, check=fresh_cleanup),
        dict(group="download", name="download-rate-limited", release="good", shared=True,
             rules=[rule(FILES, nth=1, drop_after=drop),
                    rule(FILES, nth=2, status=429, retry_after=301)],
             code=1, reason="rate-limited", message=("error", msg_minutes(6)),
             lines=["download attempt 1 stopped at %d bytes" % drop], downloads=2,
             check=part_kept_shared),
        dict(group="download", name="content-length-above", release="good", shared=True,
             rules=[rule(FILES, content_length=size + 1)], code=2, reason="oversized-download",
             message=("error", MSG_SIZE), check=part_deleted_shared),
        dict(group="download", name="content-length-below", release="good",
             rules=[rule(FILES, content_length=size - 1)], code=2, reason="download-size",
             message=("error", MSG_SIZE), check=fresh_cleanup),
        dict(group="download", name="drop-then-resume", release="good",
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1)], code=0,
             reason="installed", message=("information", msg_installed()),
             lines=["download attempt 1 stopped at "], check=resumed),
        dict(group="download", name="resume-answered-200", release="good",
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1),
                    rule(FILES, nth=2, ignore_range=True)], code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["the server sent the whole file again; restarted from byte 0"],
             downloads=2, check=restarted),
        dict(group="download", name="resume-answered-416", release="good",
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1),
                    rule(FILES, nth=2, status=416, retry_after=1)], code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["the server sent the whole file again; restarted from byte 0",
                    "download attempt 2 stopped at 0 bytes (status 416, error 0)"],
             check=restarted_next_attempt),
        dict(group="download", name="resume-wrong-content-range", release="good",
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1),
                    rule(FILES, nth=2, content_range="bytes 0-9/%d" % (size + 1),
                         retry_after=1)],
             code=0, reason="installed", message=("information", msg_installed()),
             lines=["the server sent the whole file again; restarted from byte 0",
                    "download attempt 2 stopped at 0 bytes (status 206, error 0)"],
             check=restarted_next_attempt),
        dict(group="download", name="resume-across-runs", release="good", runner="across_runs"),

        # ---- verification, launch and the installer's result
        dict(group="install", name="upgrade", release="good", registry=("1.1.0", "{dir}"),
             switches=silent, code=0, reason="installed",
             message=("information", msg_installed()), lines=["installed version: 1.1.0"],
             no_lines=["repairing the installed version"], check=installed_ok),
        dict(group="install", name="repair", release="good", registry=(VERSION, "{dir}"),
             switches=silent + ["/REPAIR"], code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["installed version: %s" % VERSION, "repairing the installed version"],
             check=installed_ok),
        dict(group="install", name="package-already-kept", release="good",
             registry=("1.1.0", "{dir}"), prepare="existing_package", code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["rollback: a package for %s is already kept; leaving it" % VERSION],
             no_lines=["rollback package kept in", "rollback package not kept"],
             check=package_left_alone),
        dict(group="install", name="declared-size-differs", release="size-plus", code=2,
             reason="download-size", message=("error", MSG_SIZE), check=fresh_cleanup),
        dict(group="install", name="one-byte-changed", release="one-byte", code=2,
             reason="sha256-mismatch", message=("error", MSG_SHA),
             lines=["sha256 mismatch: got %s" % mismatch_sha], no_lines=["authenticode: "],
             check=fresh_cleanup),
        dict(group="install", name="unsigned", release="unsigned", code=2, reason="authenticode",
             message=("error", MSG_AUTH),
             lines=["authenticode: not signed (WinVerifyTrust 0x800B0100, signer none, "
                    "timestamp no)"], no_lines=["running: "], check=auth_refused),
        dict(group="install", name="modified-after-signing", release="modified", code=2,
             reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: the signature does not match the file (modified) "
                    "(WinVerifyTrust 0x80096010"], no_lines=["running: "], check=auth_refused),
        dict(group="install", name="other-organisation", release="other", code=2,
             reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: validly signed, but not by Hollbrek ("],
             no_lines=["running: "], check=auth_refused),
        dict(group="install", name="right-organisation-not-pinned", release="unpinned", code=2,
             reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: validly signed, but not by Hollbrek ("],
             no_lines=["running: "], check=auth_refused),
        dict(group="install", name="pinned-without-timestamp", release="pinned-no-ts", code=2,
             reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: pinned certificate but no timestamp ("],
             no_lines=["running: "], check=auth_refused),
        dict(group="install", name="timestamp-copied-from-another-file", release="ts-copied",
             code=2, reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: pinned certificate but no timestamp ("],
             no_lines=["running: "], check=auth_refused),
        dict(group="install", name="timestamp-from-untrusted-ca", release="ts-untrusted-ca",
             code=2, reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: pinned certificate but no timestamp ("],
             no_lines=["running: "], check=auth_refused),
        dict(group="install", name="installer-cannot-start", release="dll-flagged", code=4,
             reason="launch",
             message=("error", "Setup could not start the Vornquill AI installer (error %d)."
                      % ERROR_BAD_EXE_FORMAT),
             lines=["sha256 ok", "authenticode: pinned self-signed certificate", "running: ",
                    "CreateProcess failed: error %d" % ERROR_BAD_EXE_FORMAT],
             no_lines=["installer exit code"], check=fresh_cleanup),
        dict(group="install", name="installer-with-a-second-name", release="good",
             runner="open_installer_second_name"),
        dict(group="install", name="installer-unreadable-while-hashing", release="large",
             runner="hash_read"),
        dict(group="install", name="installer-name-is-a-directory", release="good",
             runner="installer_name_directory"),
        dict(group="install", name="installer-exit-1", release="good",
             hooks={"VQ_DEMO_EXIT_CODE": "1"}, code=4, reason="installer-failed",
             message=failed_message, lines=["installer exit code 1"], check=fresh_cleanup),
        dict(group="install", name="installer-exit-2-shared", release="good", shared=True,
             hooks={"VQ_DEMO_EXIT_CODE": "2"}, code=3, reason="installer-cancelled",
             message=None, lines=["installer exit code 2"], check=part_back),
        dict(group="install", name="installer-exit-5-shared", release="good", shared=True,
             hooks={"VQ_DEMO_EXIT_CODE": "5"}, code=3, reason="installer-cancelled",
             message=None, lines=["installer exit code 5"], check=part_back),
        dict(group="install", name="installer-writes-other-version", release="good",
             hooks={"VQ_DEMO_VERSION": "1.2.1"}, code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["rollback package not kept: installed version 1.2.1, location known"],
             check=other_version),

        # ---- directory links (Unix symbolic links, which Wine shows as reparse
        # points by name) where the run writes: nothing goes through them
        dict(group="links", name="shared-work-folder-link", release="good", link="shared",
             code=0, reason="installed", message=("information", msg_installed()),
             lines=["work folder reuse: no (fresh random folder)"], check=shared_link_left),
        dict(group="links", name="install-location-link", release="good", link="location",
             code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["rollback package could not be kept (not fatal)"],
             no_lines=["rollback package kept in"], check=location_link_left),
        dict(group="links", name="updater-work-link", release="good", link="updater-work",
             code=0, reason="installed", message=("information", msg_installed()),
             lines=["rollback package could not be kept (not fatal)"],
             no_lines=["rollback package kept in"], check=updater_work_link_left),

        # ---- the same published folder on nginx, with its own and with SHA-256 entity tags
        dict(group="nginx", name="nginx-resume-restarts", runner="nginx_resume", tags=False),
        dict(group="nginx", name="nginx-sha256-tags-resume", runner="nginx_resume", tags=True),

        # ---- servers the program must not trust: every attempt fails before a
        #      request is sent, and the run ends as an unreachable cloud
        dict(group="tls", name="tls-untrusted-ca", runner="tls_refusal",
             cloud=refusal_cert("untrusted"), strict="self-signed certificate in certificate chain",
             error=TLS_ERRORS["untrusted"]),
        dict(group="tls", name="tls-expired", runner="tls_refusal",
             cloud=refusal_cert("expired"), strict="certificate has expired",
             error=TLS_ERRORS["expired"]),
        dict(group="tls", name="tls-other-host", runner="tls_refusal",
             cloud=refusal_cert("other-host"), strict="Hostname mismatch",
             error=TLS_ERRORS["other-host"]),
        dict(group="tls", name="tls-1.0-1.1-only", runner="tls_refusal", cloud=["--legacy-tls"],
             strict="alert protocol version", error=TLS_ERRORS["legacy"]),
        dict(group="tls", name="redirect-https-followed", release="good",
             rules=[rule(RELEASE_PATH, nth=1, status=302,
                         headers={"Location": "%s%s?%s&moved=1" % (b.base, RELEASE_PATH,
                                                                   RELEASE_QUERY)})],
             code=0, reason="installed", message=("information", msg_installed()),
             check=redirect_followed),
        dict(group="tls", name="redirect-to-http", runner="redirect_to_http"),

        # ---- the windowed runs (Xvfb)
        dict(group="window", name="cancel-slow-download", runner="window_cancel_download"),
        dict(group="window", name="cancel-backoff-wait", runner="window_cancel_backoff"),
        dict(group="window", name="cancel-while-hashing", runner="window_cancel_hash"),
        dict(group="window", name="cancel-after-hand-over", runner="window_after_hand_over"),
        dict(group="window", name="retry-question-cancel", runner="window_retry_question_cancel"),
        dict(group="window", name="retry-question-retry", runner="window_retry_question_retry"),
        dict(group="window", name="cancel-release-fetch", runner="window_cancel_release_fetch"),
        dict(group="window", name="cancel-at-the-last-moment", runner="window_cancel_last_moment"),
        dict(group="window", name="error-box", runner="window_error_box"),

        # ---- a real full disk: a size-limited tmpfs over the prefix's ProgramData
        dict(group="disk", name="disk-space-refused", runner="disk_space_refused"),
        dict(group="disk", name="disk-full-before-the-check", runner="disk_full_before_check"),
        dict(group="disk", name="disk-fills-during-the-download", runner="disk_fills_during_download"),
        dict(group="window", name="repair-question-no", runner="window_repair_no"),
    ]
    return table


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
                failures = getattr(self, runner)(sc)
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
        try:
            leftover = self.b.end_leftovers()
        except Failed as e:
            leftover = str(e)
        if leftover:
            failures.append(leftover)
        elapsed = time.monotonic() - start
        if failures and run is not None:
            failures.append("log:\n    " + "\n    ".join(run.log.lines[-25:]))
        self.cleanup_run(run)
        self.results.append((sc["name"], failures, elapsed))
        status = "ok" if not failures else "FAIL"
        print("%s: %s (%.1f s)" % (status, sc["name"], elapsed), flush=True)
        for f in failures:
            print("    " + f, flush=True)

    # --- scenarios that need more than one run or a window

    def across_runs(self, sc):
        """A part file left in the shared work folder by one run is resumed by
        the next. Under Wine the shared folder is private only in the run that
        creates it, so the second run gets a newly made shared folder into
        which the first run's part file is put back while the release answer
        is held back."""
        b = self.b
        b.serve("good")
        size = os.path.getsize(b.installer_of("good"))
        sha = sha256_file(b.installer_of("good"))
        drop = size // 3
        b.set_rules([rule(FILES, nth=1, drop_after=drop), rule(FILES, nth=2, status=404)])
        sc1 = dict(sc, name=sc["name"] + "-1", shared=True)
        inst = self.prepare_machine(sc1)
        mark = b.reqlog_mark()
        rc = b.start(self.switches(sc1, inst)).wait(90)
        first = Run(b, rc, os.path.join(b.programdata, SHARED), mark, b.unix_of(inst))
        c = Checker(sc["name"])
        check_common(c, first, dict(code=6, reason="release-gone", message=("error", MSG_GONE)))
        part = os.path.join(first.folder, sha + ".part")
        c.true(os.path.isfile(part), "the first run did not keep its part file in the shared folder")
        if not os.path.isfile(part):
            return c.failures
        held = os.path.getsize(part)
        c.true(0 < held < size, "part file of %d bytes" % held)
        saved = os.path.join(b.work, "saved.part")
        shutil.copyfile(part, saved)

        # The second run: the same part file, and two other releases' part
        # files that must be cleaned away.
        shutil.rmtree(first.folder)
        b.set_rules([rule(RELEASE_PATH, delay_ms=2500)])
        mark = b.reqlog_mark()
        p = b.start(self.switches(sc1, inst))
        shared = os.path.join(b.programdata, SHARED)
        if not self.wait_for(self.shared_log_made, 20):
            p.kill()
            return c.failures + ["the second run made no shared folder"]
        shutil.copyfile(saved, os.path.join(shared, sha + ".part"))
        for other in ("1" * 64, "2" * 64):
            with open(os.path.join(shared, other + ".part"), "wb") as f:
                f.write(b"older release")
        rc = p.wait(90)
        second = Run(b, rc, shared, mark, b.unix_of(inst))
        check_common(c, second, dict(code=0, reason="installed",
                                     message=("information", msg_installed()),
                                     lines=["resuming a partial download at %d bytes" % held]))
        d = second.downloads()
        c.eq(len(d), 1, "installer requests of the second run")
        if d:
            c.eq(d[0]["headers"].get("Range"), "bytes=%d-" % held, "second run's Range")
            c.eq(d[0]["status"], 206, "second run's status")
            c.eq(d[0]["body_bytes"], size - held, "bytes sent to the second run")
        check_installed(c, second, b)
        return c.failures

    def nginx_resume(self, sc):
        """A silent installation from nginx serving the published folder, with
        a part file of the release in the shared work folder. nginx does not
        listen yet when the run starts; while the run waits out its first
        failed attempt, the part file is put into the shared folder it has
        just made and nginx is started. nginx's own entity tags never match
        the SHA-256 in If-Range, so it answers the resumption with the whole
        file and the program starts again from byte 0; with SHA-256 tags it
        continues where the part file ends."""
        b = self.b
        b.serve("good")
        installer = b.installer_of("good")
        size = os.path.getsize(installer)
        sha = sha256_file(installer)
        held = size // 3
        with open(installer, "rb") as f:
            head = f.read(held)
        b.stop_cloud()
        nginx = None
        try:
            plan = dict(sc, shared=True)
            inst = self.prepare_machine(plan)
            mark = b.reqlog_mark()
            p = b.start(self.switches(plan, inst))
            shared = os.path.join(b.programdata, SHARED)
            if not self.wait_for(self.shared_log_made, 20):
                p.kill()
                return ["the run made no shared work folder"]
            with open(os.path.join(shared, sha + ".part"), "wb") as f:
                f.write(head)
            nginx = b.start_nginx(sc["tags"])
            rc = p.wait(120)
        finally:
            if nginx is not None:
                b.stop_server(nginx)
            b.start_cloud()
        run = Run(b, rc, shared, mark, b.unix_of(inst))
        self.last_run = run
        c = Checker(sc["name"])
        restart = "the server sent the whole file again; restarted from byte 0"
        check_common(c, run, dict(
            code=0, reason="installed", message=("information", msg_installed()),
            lines=["latest.txt attempt 1 failed (status 0, error ",
                   "resuming a partial download at %d bytes" % held] +
                  ([] if sc["tags"] else [restart]),
            no_lines=[restart] if sc["tags"] else []))
        check_installed(c, run, b)
        return c.failures

    def part_file_directory(self, sc):
        """A directory stands at the part file's name in the shared work
        folder (made while the release answer is held back): the part file
        cannot be created, the run ends with "part-file" and the system's
        error, nothing is downloaded and the directory is left as it was."""
        b = self.b
        b.serve("good")
        sha = sha256_file(b.installer_of("good"))
        started = self.start_shared_held(sc, RELEASE_PATH, 2500)
        if started is None:
            return ["the run made no shared folder"]
        p, plan, inst, mark, shared = started
        part = os.path.join(shared, sha + ".part")
        os.mkdir(part)
        with open(os.path.join(part, "inside.txt"), "w") as f:
            f.write("not the program's")
        run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
        self.last_run = run
        c = Checker(sc["name"])
        check_common(c, run, dict(code=5, reason="part-file",
                                  message=("error", "Setup could not create its download file "
                                                    "(error %d)." % ERROR_ACCESS_DENIED),
                                  downloads=0))
        c.eq(sorted(os.listdir(part)) if os.path.isdir(part) else None, ["inside.txt"],
             "the directory at the part file's name")
        return c.failures

    def open_installer_second_name(self, sc):
        """While the installer request is held back, the part file gets a
        second name outside the work folder (a hard link): the complete
        download, moved to the installer's name, is refused at its opening
        for verification ("open-installer", error 1920), its name in the work
        folder is deleted, and the data under the other name is untouched."""
        b = self.b
        b.serve("good")
        installer = b.installer_of("good")
        sha = sha256_file(installer)
        started = self.start_shared_held(sc, FILES, 2500,
                                         lambda shared: os.path.exists(os.path.join(shared, sha + ".part")))
        if started is None:
            return ["the run made no part file"]
        p, plan, inst, mark, shared = started
        outside = os.path.join(b.unix_of(inst), "second-name")
        os.makedirs(os.path.dirname(outside), exist_ok=True)
        os.link(os.path.join(shared, sha + ".part"), outside)
        run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
        self.last_run = run
        c = Checker(sc["name"])
        check_common(c, run, dict(code=5, reason="open-installer",
                                  message=("error", "Setup could not open the downloaded installer "
                                                    "(error %d)." % ERROR_CANT_ACCESS_FILE),
                                  no_lines=["sha256 ok", "running: "], downloads=1))
        check_no_installer_left(c, run)
        c.eq(sha256_file(outside) if os.path.isfile(outside) else None, sha,
             "the data under the second name")
        return c.failures

    def hash_read(self, sc):
        """The shared folder holds the large release's complete part file;
        once the run has moved it to the installer's name and is computing
        its digest, the file is cut to half its length from outside Wine
        (Windows's sharing lock holds only against Windows programs). The
        digest's read comes up short: "hash-read", and the installer is
        deleted."""
        b = self.b
        b.serve("large")
        big = b.installer_of("large")
        size = os.path.getsize(big)
        sha = sha256_file(big)
        started = self.start_shared_held(sc, RELEASE_PATH, 2500)
        if started is None:
            return ["the run made no shared folder"]
        p, plan, inst, mark, shared = started
        copy_sparse(big, os.path.join(shared, sha + ".part"))
        exe = os.path.join(shared, installer_name())
        if not self.wait_for(lambda: os.path.exists(exe), 20, 0.01):
            p.kill()
            return ["the part file was never moved to the installer's name"]
        time.sleep(0.05)    # past the size check, well inside the digest of 2 GiB
        os.truncate(exe, size // 2)
        run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
        self.last_run = run
        c = Checker(sc["name"])
        check_common(c, run, dict(code=5, reason="hash-read",
                                  message=("error", "Setup could not read the downloaded installer."),
                                  lines=["resuming a partial download at %d bytes" % size],
                                  no_lines=["sha256 ok", "sha256 mismatch", "authenticode: ",
                                            "running: "],
                                  downloads=0))
        check_no_installer_left(c, run)
        return c.failures

    def installer_name_directory(self, sc):
        """While the installer request is held back, a directory is made at
        the installer's name in the shared work folder: the complete part file
        cannot be moved there ("rename"), stays for the next run, and the
        directory is left as it was."""
        b = self.b
        b.serve("good")
        installer = b.installer_of("good")
        sha = sha256_file(installer)
        started = self.start_shared_held(sc, FILES, 2500,
                                         lambda shared: os.path.exists(os.path.join(shared, sha + ".part")))
        if started is None:
            return ["the run made no part file"]
        p, plan, inst, mark, shared = started
        part = os.path.join(shared, sha + ".part")
        exe = os.path.join(shared, installer_name())
        os.mkdir(exe)
        run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
        self.last_run = run
        c = Checker(sc["name"])
        check_common(c, run, dict(code=5, reason="rename",
                                  message=("error", "Setup could not prepare the downloaded "
                                                    "installer (error %d)." % ERROR_ACCESS_DENIED),
                                  no_lines=["sha256 ok", "running: "], downloads=1))
        c.eq(sha256_file(part) if os.path.isfile(part) else None, sha,
             "the complete part file kept in the shared folder")
        c.eq(os.listdir(exe) if os.path.isdir(exe) else None, [],
             "the directory at the installer's name")
        return c.failures

    # --- a real full disk

    def tmpfs(self, size):
        """A size-limited tmpfs mounted over the prefix's ProgramData while
        the block runs (root only)."""
        bench = self.b

        class Mount:
            def __enter__(self):
                r = run_quiet(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs",
                               bench.programdata])
                if r.returncode != 0:
                    raise Failed("mounting a tmpfs over ProgramData: %s"
                                 % r.stdout.decode(errors="replace"))
                return self

            def __exit__(self, *exc):
                deadline = time.monotonic() + 10
                while bench.setup_running() and time.monotonic() < deadline:
                    time.sleep(0.05)
                if run_quiet(["umount", bench.programdata]).returncode != 0:
                    run_quiet(["umount", "-l", bench.programdata])
                return False
        return Mount()

    @staticmethod
    def available(path):
        st = os.statvfs(path)
        return st.f_bavail * st.f_frsize

    def fill(self, folder, leave):
        """Takes all but `leave` bytes of the filesystem's free space."""
        filler = os.path.join(folder, "filler.bin")
        take = self.available(folder) - leave
        fd = os.open(filler, os.O_CREAT | os.O_WRONLY, 0o600)
        try:
            os.posix_fallocate(fd, 0, take)
        finally:
            os.close(fd)
        return self.available(folder)

    def disk_run(self, sc, size, rules, during=None):
        """One silent run in the shared work folder on a tmpfs of `size`
        bytes; `during(process, shared folder)` acts while it runs and
        returns failures. Returns (run, failures, free bytes at the end);
        the checks must be made before the tmpfs goes."""
        b = self.b
        if os.geteuid() != 0:
            raise Failed("mounting a tmpfs needs root")
        b.serve("good")
        b.set_rules(rules)
        with self.tmpfs(size):
            plan = dict(sc, shared=True)
            inst = self.prepare_machine(plan)
            mark = b.reqlog_mark()
            p = b.start(self.switches(plan, inst))
            shared = os.path.join(b.programdata, SHARED)
            failures = during(p, shared) if during else []
            if failures:
                p.kill()
                return None, failures, 0, None
            run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
            self.last_run = run
            part = os.path.join(shared, sha256_file(b.installer_of("good")) + ".part")
            part_size = os.path.getsize(part) if os.path.isfile(part) else None
            files = run.files()
            return run, [], self.available(b.programdata), (part_size, files)

    def disk_space_refused(self, sc):
        """The drive holds a page less than the need once the log is written:
        the run is refused before any download, and the message's need (rounded
        up) is above its free space (rounded down); rounding both to the
        nearest would show the same figure twice."""
        size = os.path.getsize(self.b.installer_of("good"))
        need = size + 256 * MiB
        run, failures, free, _ = self.disk_run(sc, -(-need // 4096) * 4096, [])
        if failures:
            return failures
        c = Checker(sc["name"])
        need_mb = -(-need // MiB)
        c.true(free < need and free // MiB == need_mb - 1,
               "the tmpfs has %d bytes free for a need of %d" % (free, need))
        check_common(c, run, dict(code=5, reason="disk-space",
                                  message=("error", msg_disk(need_mb, free // MiB)),
                                  lines=["no installed version found"], downloads=0))
        return c.failures

    def disk_full_before_check(self, sc):
        """The disk is filled to the last byte once the log is open (the
        release answer is held back): a free-space answer of 0 is a full
        disk, refused, not an unknown amount that lets the download start.
        The log's later lines still fit in its first page."""
        def fill_after_opening_lines(p, shared):
            log = os.path.join(shared, "online-setup.log")
            def opened():
                try:
                    return LogRun(log).has("work folder reuse: ")
                except (Failed, OSError, UnicodeDecodeError):
                    return False
            if not self.wait_for(opened, 20):
                return ["the run wrote no opening lines"]
            left = self.fill(self.b.programdata, 0)
            return [] if left == 0 else ["%d bytes still free after filling" % left]
        size = os.path.getsize(self.b.installer_of("good"))
        run, failures, free, _ = self.disk_run(sc, 64 * MiB, [rule(RELEASE_PATH, delay_ms=2500)],
                                               fill_after_opening_lines)
        if failures:
            return failures
        c = Checker(sc["name"])
        check_common(c, run, dict(code=5, reason="disk-space",
                                  message=("error", msg_disk(-(-(size + 256 * MiB) // MiB), 0)),
                                  downloads=0))
        c.eq(free, 0, "free bytes at the end")
        return c.failures

    def disk_fills_during_download(self, sc):
        """Room for the check, then (while the installer request is held
        back) the disk is filled but for 64 KiB: the first piece is written,
        the second cannot be. The download ends at once as a local failure
        with the system's error (112, disk full): one request, no retry, no
        word about the internet connection, and the part file keeps the
        bytes written."""
        size = os.path.getsize(self.b.installer_of("good"))
        piece = 65536

        def fill_when_part_exists(p, shared):
            sha = sha256_file(self.b.installer_of("good"))
            part = os.path.join(shared, sha + ".part")
            if not self.wait_for(lambda: os.path.exists(part), 20):
                return ["the run made no part file"]
            left = self.fill(self.b.programdata, piece)
            return [] if left == piece else ["%d bytes free after filling" % left]
        if size <= piece:
            return ["the installer (%d bytes) fits in one piece" % size]
        run, failures, _, left = self.disk_run(
            sc, -(-(size + 256 * MiB) // 4096) * 4096 + MiB, [rule(FILES, delay_ms=2500)],
            fill_when_part_exists)
        if failures:
            return failures
        part_size, files = left
        c = Checker(sc["name"])
        check_common(c, run, dict(
            code=5, reason="part-file-write",
            message=("error", msg_write(run.log.value("work folder: "), ERROR_DISK_FULL)),
            no_lines=["download attempt ", "retrying in "], downloads=1))
        c.eq(part_size, piece, "the part file kept in the shared folder")
        c.eq([f for f in files if f.endswith(".exe")], [], "installer files left")
        return c.failures

    def tls_refusal(self, sc):
        """The cloud offers a certificate or protocol the program must refuse.
        A client of this test first shows that the server has exactly that one
        fault: a strict client is refused for it and a client that checks
        nothing is served. Then a silent run must fail every attempt before
        any request is sent (the cloud sees connections, and no request) and
        end as a cloud that cannot be reached."""
        b = self.b
        b.serve("good")
        b.set_rules([])
        c = Checker(sc["name"])
        b.stop_cloud()
        try:
            b.start_cloud(sc["cloud"])
            try:
                got = tls_client_get(b.port, strict=True)
                c.true(False, "a strict client was served: %r" % (got,))
            except ssl.SSLError as e:
                c.true(sc["strict"] in str(e), "a strict client was refused for another reason: %s"
                       % e)
            status, version = tls_client_get(b.port, strict=False)
            c.eq(status, 200, "status for a client that checks nothing")
            if "--legacy-tls" in sc["cloud"]:
                c.true(version in ("TLSv1", "TLSv1.1"), "the legacy server spoke %s" % version)
            run = self.run_plain(dict(sc, release="good", timeout=240))
        finally:
            b.stop_cloud()
            b.start_cloud()
        self.last_run = run
        check_common(c, run, dict(sc, code=1, reason="release",
                                  message=("error", msg_cannot_reach(b.base))))
        c.eq([line for line in run.log.lines if line.startswith("latest.txt attempt ")],
             ["latest.txt attempt %d failed (status 0, error %d)" % (n, sc["error"])
              for n in range(1, 9)], "attempt lines")
        c.eq(len(run.requests), 0, "requests the cloud received from the run")
        conns = b.records_since(run.mark, ("connection-closed", "handshake-failed"))
        c.true(len(conns) >= 8, "the cloud saw %d connections, not one per attempt" % len(conns))
        served = [r for r in conns if r.get("requests")]
        c.eq(served, [], "connections that carried a request")
        return c.failures

    def redirect_to_http(self, sc):
        """The cloud answers every release request with a redirect to plain
        HTTP on a port that listens. The program must not follow it: the
        plain port sees no connection. WinHTTP does not hand the redirect
        back as a response; it fails the request with
        ERROR_WINHTTP_REDIRECT_FAILED, so each attempt is a failed exchange
        and the run ends, after its eight attempts, as an unreachable cloud."""
        b = self.b
        listener = PlainListener()
        target = "http://127.0.0.1:%d%s?%s" % (listener.port, RELEASE_PATH, RELEASE_QUERY)
        plan = dict(sc, release="good", rules=[rule(RELEASE_PATH, status=302,
                                                    headers={"Location": target})],
                    code=1, reason="release", message=("error", msg_cannot_reach(b.base)),
                    timeout=240)
        try:
            run = self.run_plain(plan)
        finally:
            listener.close()
        self.last_run = run
        c = Checker(sc["name"])
        check_common(c, run, plan)
        c.eq([line for line in run.log.lines if line.startswith("latest.txt attempt ")],
             ["latest.txt attempt %d failed (status 0, error %d)" % (n, REDIRECT_FAILED)
              for n in range(1, 9)], "attempt lines")
        c.eq([r["status"] for r in run.releases()], [302] * 8, "release requests' statuses")
        c.eq(listener.connections, 0, "connections to the plain-HTTP port")
        return c.failures

    @staticmethod
    def wait_for(cond, timeout, step=0.05):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if cond():
                return True
            time.sleep(step)
        return cond()

    # --- windowed runs

    @staticmethod
    def visible_windows():
        """The visible windows titled TITLE with their geometry; a window that
        goes away while it is looked at is left out."""
        r = run_quiet(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % TITLE])
        out = []
        for wid in r.stdout.decode().split():
            g = run_quiet(["xdotool", "getwindowgeometry", "--shell", wid]).stdout.decode()
            geo = dict(line.split("=", 1) for line in g.split() if "=" in line)
            try:
                out.append({"id": wid, "x": int(geo["X"]), "y": int(geo["Y"]),
                            "w": int(geo["WIDTH"]), "h": int(geo["HEIGHT"])})
            except (KeyError, ValueError):
                pass
        return out

    def find_window(self):
        """The progress window (460 x 168 at 96 DPI)."""
        for w in self.visible_windows():
            if (w["w"], w["h"]) == (460, 168):
                return w
        return None

    def click_cancel(self, win):
        run_quiet(["xdotool", "mousemove", str(win["x"] + 395), str(win["y"] + 142), "click", "1"])

    def screenshot(self, win, name):
        os.makedirs(self.b.artefacts, exist_ok=True)
        out = os.path.join(self.b.artefacts, name + ".png")
        run_quiet(["import", "-window", "root", "-crop",
                   "500x208+%d+%d" % (win["x"] - 20, win["y"] - 20), out])
        return out

    def window_run(self, sc, release, rules, switches=(), hooks=None, registry=None,
                   shared=False):
        b = self.b
        b.serve(release)
        b.set_rules(rules)
        plan = dict(sc, registry=registry, shared=shared)
        inst = self.prepare_machine(plan)
        before = b.work_folders()
        mark = b.reqlog_mark()
        sw = list(switches)
        if registry is None:
            sw.append("/DIR=" + inst)
        p = b.start(sw, hooks)
        return p, before, mark, inst, plan

    def start_shared_held(self, sc, held_path, hold_ms, ready=None):
        """Starts a silent run in the shared work folder with the answers on
        HELD_PATH held back HOLD_MS, so that files can be put in its way once
        ready(shared folder) holds (by default: the run has made the shared
        folder and its log): (process, plan, install folder, request-log
        mark, shared folder), or None with the run killed when that does not
        come."""
        b = self.b
        b.set_rules([rule(held_path, delay_ms=hold_ms)])
        plan = dict(sc, shared=True)
        inst = self.prepare_machine(plan)
        mark = b.reqlog_mark()
        p = b.start(self.switches(plan, inst))
        shared = os.path.join(b.programdata, SHARED)
        if not self.wait_for(lambda: ready(shared) if ready else self.shared_log_made(), 20):
            p.kill()
            return None
        return p, plan, inst, mark, shared

    def window_after(self, p, before, line, timeout):
        """The progress window once the run's log has LINE; None, with the
        run killed, when the line or the window does not come."""
        win = None
        if self.wait_log_line(before, line, timeout):
            self.wait_for(lambda: self.find_window() is not None, 5)
            win = self.find_window()
        if win is None:
            p.kill()
        return win

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

    def end_window_run(self, p, plan, before, mark, inst, timeout=30):
        try:
            rc = p.wait(timeout)
        except subprocess.TimeoutExpired:
            # A box or a window is holding the process: read it for the report.
            box = self.b.probe_read_box(10)
            p.kill()
            raise Failed("the windowed run did not end by itself (box: %r)" % (box,))
        run = Run(self.b, rc, self.folder_of_run(plan, before), mark, self.b.unix_of(inst))
        self.last_run = run
        return run

    def window_cancel_download(self, sc):
        b = self.b
        # Under Wine a read returns only once the client's 64 KiB buffer is
        # full, so the rate gives it a piece every half second.
        p, before, mark, inst, plan = self.window_run(
            sc, "medium", [rule(FILES, rate=131072)])
        c = Checker(sc["name"])
        win = self.window_after(p, before, "no installed version found", 20)
        if win is None:
            return ["no progress window during the download"]
        # What the real download shows, read back from the window: its
        # status, then a detail with the total and a rate, the bar out of marquee.
        total = "%.1f" % (os.path.getsize(b.installer_of("medium")) / 1048576.0)
        detail = re.compile(r"^\d+\.\d MB of %s MB  \u2014  \d+\.\d MB/s$" % re.escape(total))
        fields = {}
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            held, fields = b.probe_read_window(
                2000, "status=Downloading Vornquill AI %s\\u2026" % VERSION, "bar=normal",
                "cancel=enabled")
            if held and detail.match(fields.get("detail", "")):
                break
        c.true(fields.get("status") == "Downloading Vornquill AI %s\u2026" % VERSION and
               fields.get("bar") == "normal" and detail.match(fields.get("detail", "")),
               "the window did not show the download's texts: %r" % (fields,))
        self.screenshot(win, "progress-during-download")
        self.click_cancel(win)
        run = self.end_window_run(p, plan, before, mark, inst)
        check_common(c, run, dict(code=3, reason="cancelled", message=None,
                                  no_lines=["cancelled by the user"]))
        d = run.downloads()
        c.true(len(d) == 1 and d[0]["body_bytes"] < os.path.getsize(b.installer_of("medium")),
               "the download was not cut short by the cancel")
        check_no_installer_left(c, run)
        return c.failures

    def window_cancel_backoff(self, sc):
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [rule(FILES, status=503, retry_after=30)])
        c = Checker(sc["name"])
        if not self.wait_log_line(before, "retrying in 30000 ms", 20):
            p.kill()
            return ["no back-off wait began"]
        win = self.find_window()
        if win is None:
            p.kill()
            return ["no progress window during the wait"]
        t0 = time.monotonic()
        self.click_cancel(win)
        run = self.end_window_run(p, plan, before, mark, inst)
        took = time.monotonic() - t0
        check_common(c, run, dict(code=3, reason="cancelled", message=None,
                                  lines=["download attempt 1 stopped at 0 bytes (status 503, "
                                         "error 0)"], no_lines=["cancelled by the user"]))
        c.true(took < 5, "the cancel took %.1f s to end the wait" % took)
        c.eq(len(run.downloads()), 1, "installer requests")
        return c.failures

    def window_cancel_hash(self, sc):
        """The shared folder holds the release's complete part file (a large
        one), so the run only computes its digest; Cancel stops that."""
        b = self.b
        b.serve("large")
        big = b.installer_of("large")
        sha = sha256_file(big)
        p, before, mark, inst, plan = self.window_run(
            sc, "large", [rule(RELEASE_PATH, delay_ms=3000)], shared=True)
        c = Checker(sc["name"])
        shared = os.path.join(b.programdata, SHARED)
        if not self.wait_for(self.shared_log_made, 20):
            p.kill()
            return ["the run made no shared folder"]
        # The window is found first, so that the click can follow the log
        # line at once; the digest of 2 GiB lasts seconds even on a fast
        # machine.
        win = self.find_window() if self.wait_for(lambda: self.find_window(), 10) else None
        if win is None:
            p.kill()
            return ["no progress window"]
        # A copy: the program refuses to open a file with a second hard link.
        copy_sparse(big, os.path.join(shared, sha + ".part"))
        if not self.wait_log_line(before, "resuming a partial download at", 20, shared=True):
            p.kill()
            return ["the run did not take up the complete part file"]
        self.click_cancel(win)
        run = self.end_window_run(p, plan, before, mark, inst)
        check_common(c, run, dict(code=3, reason="cancelled", message=None,
                                  lines=["resuming a partial download at %d bytes"
                                         % os.path.getsize(big)],
                                  no_lines=["sha256 ok", "sha256 mismatch",
                                            "cancelled by the user"]))
        c.eq(len(run.downloads()), 0, "installer requests")
        check_no_installer_left(c, run)
        return c.failures

    def window_after_hand_over(self, sc):
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [], hooks={"VQ_DEMO_DELAY_MS": "2500"})
        c = Checker(sc["name"])
        win = None
        if self.wait_for(lambda: self.find_window() is not None, 20):
            win = self.find_window()
        if win is None or not self.wait_log_line(before, "running: ", 20):
            p.kill()
            return ["no window before the hand-over, or the installer never ran"]
        c.true(self.wait_for(lambda: self.find_window() is None, 5),
               "the progress window is still shown after the hand-over")
        self.click_cancel(win)      # where Cancel was: nothing there acts any more
        b_box = self.b.probe_read_box(30)
        run = self.end_window_run(p, plan, before, mark, inst)
        check_common(c, run, dict(code=0, reason="installed",
                                  message=("information", msg_installed()),
                                  lines=["installer exit code 0"],
                                  no_lines=["cancelled by the user"]))
        c.eq(b_box, {"text": msg_installed(), "icon": "information"}, "final box")
        check_installed(c, run, self.b)
        return c.failures

    def window_retry_question_cancel(self, sc):
        """Eight failed download attempts in a windowed run ask Retry/Cancel;
        Cancel there gives up the download (code 1, not a cancel)."""
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [rule(FILES, status=503, retry_after=1)])
        c = Checker(sc["name"])
        c.true(self.answer_second("retry-question", 40),
               "no Retry/Cancel question, or its Cancel button did not answer it")
        box = self.b.probe_read_box(30)
        run = self.end_window_run(p, plan, before, mark, inst)
        text = ("The download failed. Check your internet connection and run Setup again; "
                "it continues where it stopped.")
        check_common(c, run, dict(code=1, reason="download-failed", message=("error", text),
                                  lines=["download attempt 8 stopped at 0 bytes (status 503, "
                                         "error 0)"], downloads=8))
        c.eq(box, {"text": text, "icon": "error"}, "final box")
        return c.failures

    def window_retry_question_retry(self, sc):
        """Eight failed download attempts in a windowed run ask Retry/Cancel;
        Retry starts the attempts again from 1 at once (no wait before the
        next request). The first attempt after the answer fails once more,
        the next one completes the installation."""
        b = self.b
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [rule(FILES, status=503, retry_after=1)])
        c = Checker(sc["name"])
        if not self.wait_for(lambda: self.question_box() is not None, 40):
            p.kill()
            return ["no Retry/Cancel question"]
        b.set_rules([rule(FILES, nth=1, status=503, retry_after=1)])
        c.true(self.answer_box("retry-question-retry", first=True),
               "the question's Retry button did not answer it")
        box = b.probe_read_box(30) or b.probe_read_box(30)
        run = self.end_window_run(p, plan, before, mark, inst)
        check_common(c, run, dict(code=0, reason="installed",
                                  message=("information", msg_installed()),
                                  lines=["download attempt 8 stopped at 0 bytes (status 503, "
                                         "error 0)"], downloads=10))
        lines = run.log.lines
        eighth = [i for i, line in enumerate(lines) if line.startswith("download attempt 8 ")]
        after = [line for line in lines[eighth[0] + 1:] if line.startswith("download attempt ") or
                 line.startswith("retrying in ")] if eighth else []
        c.eq(after, ["download attempt 1 stopped at 0 bytes (status 503, error 0)",
                     "retrying in 1000 ms"], "attempt lines after the answer")
        c.eq(box, {"text": msg_installed(), "icon": "information"}, "final box")
        check_installed(c, run, b)
        return c.failures

    def window_cancel_release_fetch(self, sc):
        """Cancel while the release request is under way (its answer held
        back 2 s): the fetch ends with "cancelled" when the answer arrives,
        before the grace period's end, with no message, nothing verified and
        nothing downloaded."""
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [rule(RELEASE_PATH, delay_ms=2000)])
        c = Checker(sc["name"])
        win = self.window_after(p, before, "work folder reuse: ", 20)
        if win is None:
            return ["no progress window while the release is fetched"]
        # The window answers clicks once it shows its first status with an
        # enabled Cancel; the release's answer is held back meanwhile.
        held, fields = self.b.probe_read_window(
            5000, "status=Checking for the latest version\u2026", "cancel=enabled")
        if not held:
            p.kill()
            return ["the window did not show the release fetch: %r" % fields]
        self.click_cancel(win)
        run = self.end_window_run(p, plan, before, mark, inst)
        check_common(c, run, dict(code=3, reason="cancelled", message=None,
                                  no_lines=["release %s verified" % VERSION,
                                            "latest.txt attempt", "cancelled by the user"],
                                  downloads=0))
        c.eq(len(run.releases()), 1, "release requests")
        return c.failures

    def window_cancel_last_moment(self, sc):
        """Cancel after the digest, while the signature of a large signed
        installer is checked: the check still ends, and the last test before
        the hand-over ends the run ("cancelled", no message); the installer
        never runs and is deleted."""
        p, before, mark, inst, plan = self.window_run(sc, "padded", [])
        c = Checker(sc["name"])
        win = None
        if self.wait_for(lambda: self.find_window() is not None, 20):
            win = self.find_window()
        if win is None or not self.wait_log_line(before, "sha256 ok", 60):
            p.kill()
            return ["no window, or the digest never ended"]
        self.click_cancel(win)
        run = self.end_window_run(p, plan, before, mark, inst)
        check_common(c, run, dict(code=3, reason="cancelled", message=None,
                                  lines=["sha256 ok", "authenticode: pinned self-signed certificate"],
                                  no_lines=["running: ", "cancelled by the user"]))
        check_no_installer_left(c, run)
        return c.failures

    def window_error_box(self, sc):
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [rule(RELEASE_PATH, status=403)])
        c = Checker(sc["name"])
        box = self.b.probe_read_box(30)
        run = self.end_window_run(p, plan, before, mark, inst)
        check_common(c, run, dict(code=1, reason="release", message=("error", msg_status(403))))
        c.eq(box, {"text": msg_status(403), "icon": "error"}, "final box")
        return c.failures

    def window_repair_no(self, sc):
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [], registry=(VERSION, "{dir}"))
        c = Checker(sc["name"])
        c.true(self.answer_second("repair-question"),
               "no repair question, or its No button did not answer it")
        box = self.b.probe_read_box(30)
        run = self.end_window_run(p, plan, before, mark, inst)
        check_common(c, run, dict(code=0, reason="already-installed",
                                  message=("information", MSG_ALREADY),
                                  no_lines=["repairing the installed version"]))
        c.eq(box, {"text": MSG_ALREADY, "icon": "information"}, "final box")
        c.eq(len(run.downloads()), 0, "installer requests")
        return c.failures

    def question_box(self):
        """A question box over the progress window (lower than the window)."""
        for w in self.visible_windows():
            if w["h"] < 168:
                return w
        return None

    def answer_second(self, artefact, timeout=20):
        """Waits for a two-button question box over the progress window and
        clicks its second button (No, or Cancel; the buttons are centred in
        the box); returns True once the box is gone."""
        return self.answer_box(artefact, timeout)

    def answer_box(self, artefact, timeout=20, first=False):
        """Clicks the second button (or the first: Yes, Retry) of a
        two-button question box; True once the box is gone."""
        box = self.question_box
        if not self.wait_for(lambda: box() is not None, timeout):
            return False
        # The box is read once it holds still (two reads alike), not after a
        # fixed pause.
        last = [None]
        def still():
            now = box()
            same = now is not None and now == last[0]
            last[0] = now
            return same
        if not self.wait_for(still, 5, 0.1):
            return False
        q = last[0]
        os.makedirs(self.b.artefacts, exist_ok=True)
        run_quiet(["import", "-window", "root", "-crop",
                   "%dx%d+%d+%d" % (q["w"] + 20, q["h"] + 20, q["x"] - 10, q["y"] - 10),
                   os.path.join(self.b.artefacts, artefact + ".png")])
        run_quiet(["xdotool", "mousemove", str(q["x"] + q["w"] // 2 + (-36 if first else 36)),
                   str(q["y"] + q["h"] - 22), "click", "1"])
        def gone():
            now = box()
            return now is None or now["id"] != q["id"]
        return self.wait_for(gone, 5)


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
    b.published["large"] = out


def copy_sparse(src, dst):
    """A copy that keeps the holes of a sparse file (a new file, one link)."""
    r = run_quiet(["cp", "--sparse=always", src, dst])
    if r.returncode != 0:
        raise Failed("cp %s: %s" % (src, r.stdout.decode(errors="replace")))


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
    bigger = os.path.join(b.work, "manifest-size-plus.json")
    open(bigger, "w").write(text.replace(needle, '"size":%d' % (size + 1000)))
    size_plus = os.path.join(b.work, "pub-size-plus")
    shutil.copytree(b.published["good"], size_plus)
    r = run_quiet([b.release_tool, "sign", "--manifest", bigger, "--key", b.key, "--out",
                   os.path.join(size_plus, "latest.txt"), "--force"])
    if r.returncode != 0:
        raise Failed("sign: %s" % r.stdout.decode(errors="replace"))
    b.published["size-plus"] = size_plus
    del doc

    # A signed manifest whose file name carries CR LF and a whole fake result
    # line (JSON escapes, so the signed text itself is one line).
    name = '"fileName":"%s' % installer_name()
    forged = os.path.join(b.work, "manifest-line-break.json")
    open(forged, "w").write(text.replace(name, name + FORGED_LINE_JSON))
    line_break = os.path.join(b.work, "pub-line-break")
    shutil.copytree(b.published["good"], line_break)
    r = run_quiet([b.release_tool, "sign", "--manifest", forged, "--key", b.key, "--out",
                   os.path.join(line_break, "latest.txt"), "--force"])
    if r.returncode != 0:
        raise Failed("sign: %s" % r.stdout.decode(errors="replace"))
    b.published["line-break"] = line_break

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

    groups = (["release", "download", "install", "links", "nginx", "window", "disk", "tls"]
              if args.group == "all"
              else [args.group])
    bench = Bench(args)
    try:
        t0 = time.monotonic()
        make_releases(bench, groups)
        bench.start_cloud()
        suite = Suite(bench)
        chosen = [sc for sc in scenarios(bench) if sc["group"] in groups and
                  (not args.only or any(k in sc["name"] for k in args.only))]
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
    sys.exit(main())
