#!/usr/bin/env python3
"""End-to-end scenarios of what other programs on the machine meet: another
process that reaches for the installer while it runs, and the proxy between
the program and the cloud (Debian's squid on a free port of the test's own
network namespace).

    probes.py GROUP [--win-dir DIR] [--native-dir DIR] [--artefacts DIR] [-k NAME]
    GROUP: hold | proxy | all

Without WINEPREFIX in the environment it starts its own Wine prefix, wineserver
and Xvfb display (scripts/wine-env.sh) and stops them at the end.
Python 3 standard library only.
"""

import argparse
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2e import (  # noqa: E402
    ROOT, TITLE, WINE64, Bench, Checker, Failed, Run, Suite, check_common, check_installed,
    installer_name, msg_installed, run_quiet)
from groups.window import end_window_run, window_run  # noqa: E402

# ERROR_SHARING_VIOLATION: what another process gets for a file held open
# with read sharing only.
ERROR_SHARING_VIOLATION = 32
# ERROR_WINHTTP_SECURE_CHANNEL_ERROR: how Wine reports a CONNECT answered with
# 407, as it goes on with TLS over the proxy's answer. Windows gives the
# request the status 407 instead, which ends the run at once ("proxy-auth").
WINE_PROXY_SIGN_IN_ERROR = 12157
# How long the demo installer waits before it installs: the time in which
# the probe acts. The probe checks that the installer is still running when it
# is done, so a slow machine fails the scenario rather than passing it.
INSTALLER_HOLD_MS = 6000
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


class ProbeBench(Bench):
    """The bench, and whether the product installer of this bench's own Wine
    prefix is running (the harness finds a run's processes in its own prefix
    only)."""

    def installer_running(self):
        found = False
        for pid in self.run_processes():
            try:
                with open("/proc/%d/cmdline" % pid, errors="replace") as f:
                    found = found or "VornquillAI-Setup-x64-" in f.read()
            except OSError:
                pass    # gone meanwhile
        return found


class ProbeSuite(Suite):

    def window_run(self, *args, **kw):
        return window_run(self, *args, **kw)

    def end_window_run(self, *args, **kw):
        return end_window_run(self, *args, **kw)

    # --- the installer while it runs

    def installer_held(self, sc):
        """While the product installer runs, another process can neither open
        the installer file for writing, nor rename it, nor delete it: the
        program holds it open with read sharing only from its proof to the
        end of the installer's run."""
        b = self.b
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [], switches=("/VERYSILENT", "/SUPPRESSMSGBOXES"),
            hooks={"VQ_DEMO_DELAY_MS": str(INSTALLER_HOLD_MS)})
        if not self.wait_log_line(before, "running: ", 30):
            p.kill()
            raise Failed("the installer was never started")
        folder = sorted(b.work_folders() - before)[0]
        path = "C:\\ProgramData\\%s\\%s" % (os.path.basename(folder), installer_name())
        r = run_quiet([WINE64, b.probe, "try-file", path], env=b.env, timeout=60)
        still_running = b.installer_running()
        attempts = {}
        for line in r.stdout.decode(errors="replace").replace("\r", "").splitlines():
            key, sep, value = line.partition(": ")
            if sep:
                attempts[key] = int(value)
        run = self.end_window_run(p, plan, before, mark, inst, timeout=60)
        c = Checker(sc["name"])
        c.true(still_running, "the installer had ended before the probe was done: the "
                              "attempts did not meet the running installer")
        c.eq(attempts, {"write": ERROR_SHARING_VIOLATION, "rename": ERROR_SHARING_VIOLATION,
                        "delete": ERROR_SHARING_VIOLATION},
             "another process's attempts on the running installer (system errors)")
        check_common(c, run, dict(code=0, reason="installed",
                                  message=("information", msg_installed()),
                                  lines=["installer exit code 0"]))
        check_installed(c, run, b)
        return c.failures

    # --- proxies

    def machine_proxy(self, proxy):
        """Sets the machine's WinHTTP proxy setting (what `netsh winhttp set
        proxy` writes) to PROXY, or removes it when PROXY is None."""
        lines = ["Windows Registry Editor Version 5.00", "", "[%s]" % CONNECTIONS_KEY]
        if proxy is None:
            lines.append('"WinHttpSettings"=-')
        else:
            text = proxy.encode("ascii")
            data = struct.pack("<IIII", 0x18, 0, 3, len(text)) + text + struct.pack("<I", 0)
            lines.append('"WinHttpSettings"=hex:' + ",".join("%02x" % x for x in data))
        reg = os.path.join(self.b.work, "proxy.reg")
        with open(reg, "w", encoding="utf-16") as f:
            f.write("\r\n".join(lines + [""]) + "\r\n")
        r = run_quiet([WINE64, "regedit", "/S", self.b.winpath(reg)], env=self.b.env, timeout=60)
        if r.returncode != 0:
            raise Failed("regedit: %s" % r.stdout.decode(errors="replace"))
        r = run_quiet([WINE64, "reg", "query", CONNECTIONS_KEY, "/v", "WinHttpSettings"],
                      env=self.b.env, timeout=60)
        if (r.returncode == 0) != (proxy is not None):
            raise Failed("the machine's WinHTTP proxy setting was not %s"
                         % ("written" if proxy is not None else "removed"))

    def silent_run(self, sc, hooks=None):
        b = self.b
        p, before, mark, inst, plan = self.window_run(
            sc, "good", [], switches=("/VERYSILENT", "/SUPPRESSMSGBOXES"), hooks=hooks)
        return self.end_window_run(p, plan, before, mark, inst, timeout=90)

    @staticmethod
    def exchanges(run):
        """What the cloud received, request by request: path and headers."""
        return [(r.get("path"), r.get("headers")) for r in run.requests]

    def proxy_tunnel(self, sc):
        """With the automatic proxy mode refused, the session takes the
        machine's WinHTTP proxy setting: a real installation goes through
        squid's CONNECT tunnel, and the cloud receives the same requests as
        in a direct run."""
        c = Checker(sc["name"])
        installed = dict(code=0, reason="installed", message=("information", msg_installed()),
                         lines=["installer exit code 0"])
        direct = self.silent_run(sc)
        check_common(c, direct, installed)
        self.cleanup_run(direct)
        squid = Squid("open")
        try:
            self.machine_proxy("127.0.0.1:%d" % squid.port)
            run = self.silent_run(sc, {"VQ_TEST_REFUSE_AUTOMATIC_PROXY": "1"})
            self.last_run = run
            connections = {r.get("conn") for r in run.requests}
            log = squid.wait_lines(len(connections))
        finally:
            self.machine_proxy(None)
            squid.stop()
        check_common(c, run, installed)
        check_installed(c, run, self.b)
        c.eq(self.exchanges(run), self.exchanges(direct),
             "requests the cloud received through the proxy, against a direct run")
        tunnels = [line for line in log
                   if " TCP_TUNNEL/200 CONNECT localhost:%d " % self.b.port in line]
        c.true(len(connections) >= 1 and len(tunnels) == len(connections) == len(log),
               "squid's log holds one tunnel per connection of the cloud (%d): %s"
               % (len(connections), log))
        return c.failures

    def proxy_sign_in(self, sc):
        """A proxy that asks for a sign-in gets none: the CONNECT carries no
        credentials and nothing reaches the cloud. Under Wine the attempt
        fails with 12157 (Wine goes on with TLS over the 407 answer), a
        transport failure that is retried; Windows reports the status 407,
        which ends the run at once with the proxy sign-in message. The run is
        cancelled in its first back-off wait."""
        c = Checker(sc["name"])
        squid = Squid("sign-in", sign_in=True)
        try:
            self.machine_proxy("127.0.0.1:%d" % squid.port)
            p, before, mark, inst, plan = self.window_run(
                sc, "good", [], hooks={"VQ_TEST_REFUSE_AUTOMATIC_PROXY": "1"})
            if not self.wait_log_line(before, "retrying in ", 30):
                p.kill()
                raise Failed("the release fetch did not fail and wait")
            run_quiet([WINE64, self.b.probe, "cancel", TITLE], env=self.b.env, timeout=60)
            run = self.end_window_run(p, plan, before, mark, inst)
            log = squid.wait_lines(1)
        finally:
            self.machine_proxy(None)
            squid.stop()
        check_common(c, run, dict(code=3, reason="cancelled", message=None,
                                  lines=["latest.txt attempt 1 failed (status 0, error %d)"
                                         % WINE_PROXY_SIGN_IN_ERROR]))
        c.eq(run.requests, [], "requests that reached the cloud")
        attempts = run.log.count("latest.txt attempt ")
        connects = [line for line in log if " CONNECT " in line]
        denied = [line for line in connects
                  if " - TCP_DENIED/407 CONNECT localhost:%d " % self.b.port in line]
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


def scenarios():
    return [
        dict(group="hold", name="installer_held_from_others", runner=ProbeSuite.installer_held),
        dict(group="proxy", name="proxy_machine_setting_tunnel", runner=ProbeSuite.proxy_tunnel),
        dict(group="proxy", name="proxy_sign_in_never_sent", runner=ProbeSuite.proxy_sign_in),
    ]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("group")
    ap.add_argument("--win-dir", default=os.path.join(ROOT, "build", "win-test"))
    ap.add_argument("--native-dir", default=os.path.join(ROOT, "build", "native"))
    ap.add_argument("--artefacts", default=os.path.join(ROOT, "build", "native", "artefacts", "e2e"))
    ap.add_argument("-k", dest="only", action="append", default=[])
    args = ap.parse_args()

    if not os.environ.get("WINEPREFIX"):
        script = ('. "$0/scripts/wine-env.sh"; wine_env_start; trap wine_env_stop EXIT; '
                  '"$@"; exit $?')
        os.execvp("bash", ["bash", "-c", script, ROOT, sys.executable] + sys.argv)

    groups = ["hold", "proxy"] if args.group == "all" else [args.group]
    bench = ProbeBench(args)
    try:
        t0 = time.monotonic()
        bench.publish("good", bench.sign("pinned", True, "good"))
        bench.start_cloud()
        suite = ProbeSuite(bench)
        chosen = [sc for sc in scenarios() if sc["group"] in groups and
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
