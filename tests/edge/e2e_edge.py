#!/usr/bin/env python3
"""The setup executable under Wine through the caching edge of the hosting
recipe (tools/cloud/nginx/edge.conf.in, started by nginx-serve --edge) on the
test build's cloud port, in front of nginx serving the published folder (the
origin) on another port:

1. an installation through the edge (the edge fetches from the origin);
2. a download interrupted and resumed: the part file that an interrupted run
   leaves is in the shared work folder, and the resumption (Range, If-Range
   with the SHA-256) is answered 206 by the edge from its cache with the
   origin's entity tag; the origin is not asked for the installer again;
3. vornquill-release check through the edge: every check ok.

    e2e_edge.py [--win-dir DIR] [--native-dir DIR]

Uses the bench of the end-to-end scenarios (tests/e2e/e2e.py). Without
WINEPREFIX it starts its own Wine prefix, wineserver and Xvfb display.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "cloud"))
import cloudtest  # noqa: E402
import e2e  # noqa: E402

NGINX_SERVE = os.path.join(ROOT, "tools", "cloud", "nginx-serve")
# Seconds the edge keeps latest.txt here: the resumed run, started well after
# the first, asks the origin for it again, so the origin's log holds the
# release request of each run with the headers the program sent.
LATEST_TTL = 1
PUBLIC = os.path.join(ROOT, "tests", "release", "keys", "test-release.public")
EDGE_LINE = re.compile(r'^\S+ "GET (\S+) HTTP/1\.1" (\d+) (\d+) range="([^"]*)" if_range="([^"]*)" '
                       r'cache=(\S+) etag=(\S*)$')
# One line of the origin's access log (JSON, see nginx-serve): target, status, bytes.
ORIGIN_LINE = re.compile(r'^\{.*?"target":"([^"]+)","status":(\d+),"body_bytes":(\d+),')


class EdgeBench:
    def __init__(self, bench):
        self.b = bench
        self.edge_log = os.path.join(bench.work, "edge.log")
        self.cache = os.path.join(bench.work, "edge-cache")
        self.origin = self.edge = None
        self.origin_log = None

    def start_origin(self):
        self.origin_port = cloudtest.free_port()
        self.origin_log = os.path.join(self.b.work, "origin.jsonl")
        self.origin = self.b.start_server("origin", "the origin",
                                          [NGINX_SERVE, self.b.live, "--sha256-tags", "--port",
                                           str(self.origin_port), "--access-log", self.origin_log])

    def start_edge(self):
        self.edge = self.b.start_server("edge", "the edge",
                                        [NGINX_SERVE, "--edge", "127.0.0.1:%d" % self.origin_port,
                                         "--port", str(self.b.port), "--cache", self.cache,
                                         "--latest-ttl", str(LATEST_TTL),
                                         "--access-log", self.edge_log])

    def stop_edge(self):
        if self.edge is not None:
            self.b.stop_server(self.edge)
            self.edge = None

    def stop(self):
        self.stop_edge()
        if self.origin is not None:
            self.b.stop_server(self.origin)

    @staticmethod
    def lines(path, pattern):
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return [m.groups() for m in map(pattern.match, f.read().splitlines()) if m]

    def edge_lines(self):
        return self.lines(self.edge_log, EDGE_LINE)

    def origin_lines(self):
        return self.lines(self.origin_log, ORIGIN_LINE)

    def origin_requests(self, mark):
        """The origin's requests after the first MARK, as the harness's
        request records (with the headers the edge passed on from the
        program): what its checks of every request read."""
        out = []
        if os.path.exists(self.origin_log):
            with open(self.origin_log, encoding="utf-8") as f:
                for n, line in enumerate(f.read().splitlines()[mark:], mark + 1):
                    rec = json.loads(line)
                    path, _, query = rec["target"].partition("?")
                    out.append({"seq": "origin-%d" % n, "path": path, "query": query,
                                "status": rec["status"], "body_bytes": rec["body_bytes"],
                                "headers": {k: v for k, v in rec["headers"].items() if v != ""}})
        return out


def own_runs(bench):
    """Process ids of the setup and product installer processes of this
    bench's Wine prefix only (other work trees may run theirs meanwhile)."""
    mark = ("WINEPREFIX=" + bench.prefix).encode()
    names = [name.encode() for name in bench.run_patterns()]
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read()
            with open("/proc/%s/environ" % pid, "rb") as f:
                environment = f.read().split(b"\0")
        except OSError:
            continue
        if any(name in command for name in names) and mark in environment:
            found.append(int(pid))
    return found


def wait_own_runs_gone(bench, seconds):
    """True once this prefix runs no setup or installer (wine64 can return a
    moment before the Windows process has gone), False past the deadline."""
    deadline = time.monotonic() + seconds
    while own_runs(bench):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def start(bench, switches):
    if not wait_own_runs_gone(bench, 10):
        raise e2e.Failed("a setup process of the previous run is still running")
    return subprocess.Popen([e2e.WINE64, bench.exe] + list(switches), env=bench.env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def show(title, lines):
    print("  " + title)
    for line in lines:
        print("    " + line)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--win-dir", default=os.path.join(ROOT, "build", "win-test"))
    ap.add_argument("--native-dir", default=os.path.join(ROOT, "build", "native"))
    ap.add_argument("--artefacts", default=os.path.join(ROOT, "build", "native", "artefacts", "edge"))
    args = ap.parse_args()
    if not os.environ.get("WINEPREFIX"):
        script = ('. "$0/scripts/wine-env.sh"; wine_env_start; trap wine_env_stop EXIT; '
                  '"$@"; exit $?')
        os.execvp("bash", ["bash", "-c", script, ROOT, sys.executable] + sys.argv)

    t0 = time.monotonic()
    b = e2e.Bench(args)
    eb = EdgeBench(b)
    suite = e2e.Suite(b)
    failures = []
    try:
        b.publish("good", b.sign("pinned", True, "good"))
        b.serve("good")
        installer = b.installer_of("good")
        size = os.path.getsize(installer)
        sha = e2e.sha256_file(installer)
        tag = '\\x22%s\\x22' % sha          # as nginx's log writes a quote
        path = "/v1/public/installer/files/%s/%s" % (e2e.VERSION, e2e.installer_name())
        eb.start_origin()
        eb.start_edge()
        installed = ("information", e2e.msg_installed())

        # 1. An installation through the edge.
        c = e2e.Checker("edge-install")
        sc = dict(name="edge-install")
        inst = suite.prepare_machine(sc)
        before = b.work_folders()
        rc = start(b, suite.switches(sc, inst)).wait(90)
        run = e2e.Run(b, rc, suite.folder_of_run(sc, before), 0, b.unix_of(inst),
                      requests=eb.origin_requests(0))
        e2e.check_common(c, run, dict(code=0, reason="installed", message=installed))
        e2e.check_installed(c, run, b)
        first = [line for line in eb.edge_lines() if line[0] == path]
        c.eq([(line[1], line[5], line[6]) for line in first], [("200", "MISS", tag)],
             "the edge's answers to the installation (status, cache, tag)")
        fetched = [line for line in eb.origin_lines() if line[0] == path]
        c.true(fetched and all(line[1] == "206" for line in fetched) and
               sum(int(line[2]) for line in fetched) == size,
               "the origin did not send the installer once, in slices: %s" % fetched)
        print("%s: installation through the edge (exit code %d, %d bytes in %d slices from the origin)"
              % ("FAIL" if c.failures else "ok", rc, size, len(fetched)), flush=True)
        show("edge log:", [" ".join(line) for line in eb.edge_lines()])
        failures += c.failures
        suite.cleanup_run(run)

        # 2. An interrupted download resumed through the edge. The edge is
        # stopped, so the run's first attempt fails; while it waits, the part
        # file that an interrupted run leaves (a third of the installer) is
        # put into the shared work folder it has made, and the edge starts
        # again with the cache it had.
        c = e2e.Checker("edge-resume")
        held = size // 3
        with open(installer, "rb") as f:
            head = f.read(held)
        edge_mark = len(eb.edge_lines())
        origin_mark = len(eb.origin_lines())
        eb.stop_edge()
        plan = dict(name="edge-resume", shared=True)
        inst = suite.prepare_machine(plan)
        p = start(b, suite.switches(plan, inst))
        shared = os.path.join(b.programdata, e2e.SHARED)
        if not suite.wait_for(suite.shared_log_made, 20):
            p.kill()
            raise e2e.Failed("the run made no shared work folder")
        with open(os.path.join(shared, sha + ".part"), "wb") as f:
            f.write(head)
        eb.start_edge()
        rc = p.wait(120)
        run = e2e.Run(b, rc, shared, 0, b.unix_of(inst),
                      requests=eb.origin_requests(origin_mark))
        restart = "the server sent the whole file again; restarted from byte 0"
        e2e.check_common(c, run, dict(code=0, reason="installed", message=installed,
                                      lines=["latest.txt attempt 1 failed (status 0, error ",
                                             "resuming a partial download at %d bytes" % held],
                                      no_lines=[restart]))
        e2e.check_installed(c, run, b)
        resumed = [line for line in eb.edge_lines()[edge_mark:] if line[0] == path]
        c.eq([line[1:] for line in resumed],
             [("206", str(size - held), "bytes=%d-" % held, tag, "HIT", tag)],
             "the edge's answer to the resumption (status, bytes, Range, If-Range, cache, tag)")
        asked = [line for line in eb.origin_lines()[origin_mark:] if line[0] == path]
        c.eq(asked, [], "the origin's answers for the installer during the resumed run")
        print("%s: resumed download through the edge (exit code %d, held %d of %d bytes; the edge's "
              "answer and the origin's requests below)" % ("FAIL" if c.failures else "ok", rc, held, size),
              flush=True)
        show("setup log:", [line for line in run.log.lines
                            if line.startswith(("latest.txt attempt", "resuming", "download", "RESULT"))])
        show("edge log:", [" ".join(line) for line in eb.edge_lines()[edge_mark:]])
        show("origin log (installer requests during the run):", [" ".join(line) for line in asked] or ["none"])
        failures += c.failures

        # 3. The release tool's check through the edge, as a release engineer runs it.
        r = subprocess.run([b.release_tool, "check", "--url", b.base, "--key", PUBLIC, "--full"],
                           capture_output=True, text=True, timeout=120,
                           env=dict((k, v) for k, v in os.environ.items() if not k.lower().endswith("_proxy")))
        print(r.stdout, end="", flush=True)
        bad = [line for line in r.stdout.splitlines() if line.startswith(("warn", "FAIL"))]
        if r.returncode != 0 or bad or "freshness:" not in r.stdout:
            failures.append("check through the edge: exit code %d, %s" % (r.returncode, bad))
    except e2e.Failed as e:
        failures.append(str(e))
    except subprocess.TimeoutExpired as e:
        failures.append("timed out: %s" % e)
    finally:
        if not wait_own_runs_gone(b, 5):
            for pid in own_runs(b):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            failures.append("a setup or installer process was still running 5 s after the runs; killed")
        suite.tidy()
        eb.stop()
        b.stop()
    for f in failures:
        print("FAIL: " + f, flush=True)
    print("edge.setup: %d failure(s), %.1f s" % (len(failures), time.monotonic() - t0), flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
