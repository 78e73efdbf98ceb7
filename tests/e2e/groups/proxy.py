"""The proxy between the program and the cloud: Debian's squid on a free port
of the test's own network namespace, reached through the machine's WinHTTP
proxy setting (the test build can refuse the automatic proxy mode, as some
Windows versions do), with and without a sign-in."""

import shutil
import socket
import struct
import subprocess
import tempfile

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)
from groups.window import end_window_run, window_run

# ERROR_WINHTTP_SECURE_CHANNEL_ERROR: how Wine reports a CONNECT answered with
# 407, as it goes on with TLS over the proxy's answer. Windows gives the
# request the status 407 instead, which ends the run at once ("proxy-auth").
WINE_PROXY_SIGN_IN_ERROR = 12157
SQUID = "/usr/sbin/squid"
SQUID_USER = "proxy"
NCSA_AUTH = "/usr/lib/squid/basic_ncsa_auth"
CONNECTIONS_KEY = ("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                   "Internet Settings\\Connections")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Squid:
    """squid in the foreground on a free loopback port, logging every request
    with its user name and its request headers. Its folder belongs to the
    user squid runs as, who writes the log and pid files there. With SIGN_IN,
    every request must carry a user and password (basic_ncsa_auth)."""

    def __init__(self, name, sign_in=False):
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="vq-squid-%s." % name)
        self.log = os.path.join(self.dir, "access.log")
        lines = [
            "http_port 127.0.0.1:%d" % self.port,
            "pid_filename %s" % os.path.join(self.dir, "squid.pid"),
            "logformat vq %>a %un %Ss/%03>Hs %rm %ru [%>h]",
            "access_log stdio:%s vq" % self.log,
            "buffered_logs off",
            "cache_log %s" % os.path.join(self.dir, "cache.log"),
            "coredump_dir %s" % self.dir,
            "cache deny all",
            "shutdown_lifetime 0 seconds",
            "acl localnet src 127.0.0.0/8",
        ]
        if sign_in:
            passwd = os.path.join(self.dir, "passwd")
            hashed = run_quiet(["openssl", "passwd", "-apr1", "not-for-the-program"])
            with open(passwd, "w") as f:
                f.write("someone:%s\n" % hashed.stdout.decode().strip())
            lines += ["auth_param basic program %s %s" % (NCSA_AUTH, passwd),
                      "auth_param basic realm proxy",
                      "acl signed_in proxy_auth REQUIRED",
                      "http_access allow localnet signed_in"]
        else:
            lines.append("http_access allow localnet")
        lines.append("http_access deny all")
        self.conf = os.path.join(self.dir, "squid.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        shutil.chown(self.dir, SQUID_USER, SQUID_USER)
        for f in os.listdir(self.dir):
            shutil.chown(os.path.join(self.dir, f), SQUID_USER, SQUID_USER)
        self.out = open(os.path.join(self.dir, "squid.out"), "w")
        self.process = subprocess.Popen([SQUID, "-N", "-f", self.conf], stdin=subprocess.DEVNULL,
                                        stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while not self.listening():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise Failed("squid did not start: %s" % self.cache_log()[-2000:])
            time.sleep(0.1)

    def listening(self):
        # From squid's own log: a connection to see whether it listens would
        # be a line of its access log.
        return "Accepting HTTP Socket connections" in self.cache_log()

    def cache_log(self):
        path = os.path.join(self.dir, "cache.log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, errors="replace") as f:
            return [line.rstrip("\n") for line in f if line.endswith("\n")]

    def wait_lines(self, count, timeout=10.0):
        """The access log once it has at least COUNT lines (squid writes a
        tunnel's line when the tunnel ends), or what it has at the deadline."""
        deadline = time.monotonic() + timeout
        while len(self.lines()) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.lines()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def machine_proxy(b, proxy):
    """Sets the machine's WinHTTP proxy setting (what `netsh winhttp set
    proxy` writes) to PROXY, or removes it when PROXY is None."""
    lines = ["Windows Registry Editor Version 5.00", "", "[%s]" % CONNECTIONS_KEY]
    if proxy is None:
        lines.append('"WinHttpSettings"=-')
    else:
        text = proxy.encode("ascii")
        data = struct.pack("<IIII", 0x18, 0, 3, len(text)) + text + struct.pack("<I", 0)
        lines.append('"WinHttpSettings"=hex:' + ",".join("%02x" % x for x in data))
    reg = os.path.join(b.work, "proxy.reg")
    with open(reg, "w", encoding="utf-16") as f:
        f.write("\r\n".join(lines + [""]) + "\r\n")
    b.regedit(reg)
    r = b.wine_tool(["reg", "query", CONNECTIONS_KEY, "/v", "WinHttpSettings"], errors=True)
    if (r.returncode == 0) != (proxy is not None):
        raise Failed("the machine's WinHTTP proxy setting was not %s"
                     % ("written" if proxy is not None else "removed"))

def silent_run(suite, sc, hooks=None):
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [], switches=("/VERYSILENT", "/SUPPRESSMSGBOXES"), hooks=hooks)
    return end_window_run(suite, p, plan, before, mark, inst, timeout=90)

def exchanges(run):
    """What the cloud received, request by request: path and headers."""
    return [(r.get("path"), r.get("headers")) for r in run.requests]

def proxy_tunnel(suite, sc):
    """With the automatic proxy mode refused, the session takes the
    machine's WinHTTP proxy setting: a real installation goes through
    squid's CONNECT tunnel, and the cloud receives the same requests as
    in a direct run."""
    c = Checker(sc["name"])
    installed = dict(code=0, reason="installed", message=("information", msg_installed()),
                     lines=["installer exit code 0"])
    direct = silent_run(suite, sc)
    check_common(c, direct, installed)
    suite.cleanup_run(direct)
    squid = Squid("open")
    try:
        machine_proxy(suite.b, "127.0.0.1:%d" % squid.port)
        run = silent_run(suite, sc, {"VQ_TEST_REFUSE_AUTOMATIC_PROXY": "1"})
        suite.last_run = run
        connections = {r.get("conn") for r in run.requests}
        log = squid.wait_lines(len(connections))
    finally:
        machine_proxy(suite.b, None)
        squid.stop()
    check_common(c, run, installed)
    check_installed(c, run, suite.b)
    c.eq(exchanges(run), exchanges(direct),
         "requests the cloud received through the proxy, against a direct run")
    tunnels = [line for line in log
               if " TCP_TUNNEL/200 CONNECT localhost:%d " % suite.b.port in line]
    c.true(len(connections) >= 1 and len(tunnels) == len(connections) == len(log),
           "squid's log holds one tunnel per connection of the cloud (%d): %s"
           % (len(connections), log))
    return c.failures

def proxy_sign_in(suite, sc):
    """A proxy that asks for a sign-in gets none: the CONNECT carries no
    credentials and nothing reaches the cloud. Under Wine the attempt
    fails with 12157 (Wine goes on with TLS over the 407 answer), a
    transport failure that is retried; Windows reports the status 407,
    which ends the run at once with the proxy sign-in message. The run is
    cancelled in its first back-off wait."""
    c = Checker(sc["name"])
    squid = Squid("sign-in", sign_in=True)
    try:
        machine_proxy(suite.b, "127.0.0.1:%d" % squid.port)
        p, before, mark, inst, plan = window_run(
            suite, sc, "good", [], hooks={"VQ_TEST_REFUSE_AUTOMATIC_PROXY": "1"})
        if not suite.wait_log_line(before, "retrying in ", 30):
            p.kill()
            raise Failed("the release fetch did not fail and wait")
        suite.b.wine_tool([suite.b.probe, "cancel", TITLE])
        run = end_window_run(suite, p, plan, before, mark, inst)
        log = squid.wait_lines(1)
    finally:
        machine_proxy(suite.b, None)
        squid.stop()
    check_common(c, run, dict(code=3, reason="cancelled", message=None, reaches_cloud=False,
                              lines=["latest.txt attempt 1 failed (status 0, error %d)"
                                     % WINE_PROXY_SIGN_IN_ERROR]))
    c.eq(run.requests, [], "requests that reached the cloud")
    attempts = run.log.count("latest.txt attempt ")
    connects = [line for line in log if " CONNECT " in line]
    denied = [line for line in connects
              if " - TCP_DENIED/407 CONNECT localhost:%d " % suite.b.port in line]
    c.true(len(connects) >= 1 and denied == connects and len(connects) == attempts,
           "squid's log: one CONNECT per attempt (%d), each refused with 407 and no user: %s"
           % (attempts, log))
    # What Wine sends next on the refused connection: its TLS greeting,
    # which squid logs as an invalid request.
    c.eq([line for line in log if line not in connects],
         ["127.0.0.1 - NONE_NONE/400 - error:invalid-request [-]"] * len(connects),
         "squid's other lines")
    c.true(not any("proxy-authorization" in line.lower() for line in log),
           "a request to the proxy carried credentials: %s" % log)
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [dict(name="proxy_machine_setting_tunnel", runner=proxy_tunnel),
            dict(name="proxy_sign_in_never_sent", runner=proxy_sign_in)]
