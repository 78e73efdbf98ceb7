#!/usr/bin/env python3
"""Release day through the hosting recipe, measured: the origin of "Hosting
releases" and two caching edges of "Releases through a caching edge"
(tools/cloud/nginx-serve, the recipe's configuration), each on its own
loopback address with its own cache, and h2load (Debian's nghttp2-client)
acting as a herd of setups: the setup's User-Agent, HTTP/1.1 over TLS.

    bench/edge/run.py [--size-mib N] [--clients N] [--latest N] [--resumptions N] [--quick]

A release is published just before the herd arrives (both edges cold), then:

1. the herd: every client asks one edge for latest.txt, then the whole
   installer, on one connection, as a setup does; half the clients ask
   edge A, half edge B, at the same time;
2. latest.txt alone, many times per client, from the edges and from the
   origin asked directly in the same run: latency median and 99th
   percentile, and their ratio;
3. resumptions of the installer's last slice (Range from its first byte,
   If-Range with the tag), from the edges and from the origin: the same.

It prints the status mix, the origin's requests per slice and per edge,
the share of bytes the edges served from their caches, each edge's peak
memory and connections, and where the CPU time went (h2load, the edges, the
origin), so that the limit can be named. Everything runs on loopback
addresses of this machine; every load is bounded in requests (-n) and in
time (a time-out per h2load run). Figures are counts and ratios: the
machine may be shared, so absolute times say little.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
NGINX_SERVE = os.path.join(ROOT, "tools", "cloud", "nginx-serve")
TOOL = os.path.join(ROOT, "build", "native", "vornquill-release")
SECRET = os.path.join(ROOT, "tests", "release", "keys", "test-release.secret")
FRESH_SECRET = os.path.join(ROOT, "tests", "release", "keys", "test-freshness.secret")
H2LOAD = shutil.which("h2load") or "/usr/bin/h2load"
VERSION = "9.0.0"
FILE_NAME = "VornquillAI-Setup-x64-%s.exe" % VERSION
RELEASE = "/v1/public/installer/latest.txt?platform=win32&arch=x64&kind=windows-installer"
INSTALLER = "/v1/public/installer/files/%s/%s" % (VERSION, FILE_NAME)
AGENT = "VornquillAI-OnlineSetup/1.0.0 (Windows; x64)"
SLICE = 1 << 20
ORIGIN = "127.0.0.4"
EDGES = {"A": "127.0.0.2", "B": "127.0.0.3"}
RUN_TIMEOUT_S = 300
TICKS = os.sysconf("SC_CLK_TCK")


def fail(message):
    print("bench edge: %s" % message, file=sys.stderr, flush=True)
    sys.exit(1)


def free_port(address):
    import socket
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


class Server:
    """nginx-serve in the background; its nginx processes found by the
    prefix it names."""

    def __init__(self, work, name, args):
        self.ready = os.path.join(work, name + ".ready")
        self.out_path = os.path.join(work, name + ".out")
        self.out = open(self.out_path, "w")
        self.proc = subprocess.Popen([sys.executable, NGINX_SERVE] + args + ["--ready-file", self.ready],
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while not (os.path.exists(self.ready) and os.path.getsize(self.ready) > 0):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                fail("%s did not start: %s" % (name, open(self.out_path).read()))
            time.sleep(0.05)
        m = re.search(r"prefix (\S+)\)", open(self.out_path).read())
        self.prefix = m.group(1)

    def nginx_pids(self):
        """The nginx master and its workers."""
        try:
            master = int(open(os.path.join(self.prefix, "nginx.pid")).read())
        except (OSError, ValueError):
            return []
        pids = [master]
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == master:
                    pids.append(int(pid))
            except (OSError, IndexError, ValueError):
                pass
        return pids

    def error_lines(self):
        """nginx's error log, read before the stop removes its prefix."""
        try:
            with open(os.path.join(self.prefix, "logs", "error.log"), errors="replace") as f:
                return [line.rstrip("\n") for line in f if "[notice]" not in line]
        except OSError:
            return []

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (OSError, IndexError, ValueError):
            pass
    return total / TICKS


def peak_memory_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def established(address, port):
    """Connections established to ADDRESS:PORT, from /proc/net/tcp."""
    want = "%s:%04X" % ("".join("%02X" % int(x) for x in reversed(address.split("."))), port)
    n = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[1] == want and fields[3] == "01":
                n += 1
    return n


class ConnectionSampler(threading.Thread):
    """The most connections each watched address held, sampled every 20 ms."""

    def __init__(self, watched):
        super().__init__(daemon=True)
        self.watched = watched
        self.peak = {name: 0 for name in watched}
        self.halt = threading.Event()

    def run(self):
        while not self.halt.wait(0.02):
            for name, (address, port) in self.watched.items():
                self.peak[name] = max(self.peak[name], established(address, port))


def machine_ticks():
    """(busy, all) clock ticks of every core of the machine, from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    k = min(len(values) - 1, max(0, int(round(p / 100.0 * (len(values) - 1)))))
    return values[k]


class Load:
    """One h2load run in the background, its per-request log and output."""

    def __init__(self, work, name, url_or_file, requests, clients, headers=(), input_file=False):
        self.name = name
        self.log = os.path.join(work, name + ".h2log")
        args = [H2LOAD, "--h1", "-n", str(requests), "-c", str(min(clients, requests)), "-t", "1",
                "-H", "User-Agent: " + AGENT, "--log-file", self.log]
        for h in headers:
            args += ["-H", h]
        args += ["-i", url_or_file] if input_file else [url_or_file]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)

    def wait(self):
        try:
            out, _ = self.proc.communicate(timeout=RUN_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
            fail("h2load %s did not finish within %d s" % (self.name, RUN_TIMEOUT_S))
        self.output = out
        status = re.search(r"status codes: (\d+) 2xx, (\d+) 3xx, (\d+) 4xx, (\d+) 5xx", out)
        done = re.search(r"requests: (\d+) total, (\d+) started, (\d+) done, (\d+) succeeded, (\d+) failed, "
                         r"(\d+) errored, (\d+) timeout", out)
        if not status or not done:
            fail("h2load %s printed no summary:\n%s" % (self.name, out))
        self.status = dict(zip(("2xx", "3xx", "4xx", "5xx"), map(int, status.groups())))
        self.done = dict(zip(("total", "started", "done", "succeeded", "failed", "errored", "timeout"),
                             map(int, done.groups())))
        self.durations_ms = []
        self.codes = {}
        with open(self.log) as f:
            for line in f:
                parts = line.split("\t")
                if len(parts) >= 3:
                    self.codes[parts[1]] = self.codes.get(parts[1], 0) + 1
                    self.durations_ms.append(int(parts[2]) / 1000.0)
        return self

    def latency(self):
        return percentile(self.durations_ms, 50), percentile(self.durations_ms, 99)


def publish(work, size):
    installer = os.path.join(work, "installer.exe")
    block = hashlib.sha512(b"vornquill-bench-edge").digest() * (SLICE // 64)
    with open(installer, "wb") as f:
        for i in range((size + SLICE - 1) // SLICE):
            f.write((i.to_bytes(4, "little") + block[4:])[:min(SLICE, size - i * SLICE)])
    folder = os.path.join(work, "published")
    r = subprocess.run([TOOL, "publish", "--installer", installer, "--version", VERSION, "--key", SECRET,
                        "--fresh-key", FRESH_SECRET, "--out", folder, "--allow-refused-installer"], capture_output=True, text=True, timeout=120)
    if r.returncode != 0:
        fail("publish: %s" % (r.stdout + r.stderr))
    with open(installer, "rb") as f:
        tag = '"%s"' % hashlib.sha256(f.read()).hexdigest()
    os.unlink(installer)
    return folder, tag


def origin_requests(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-mib", type=int, default=32, help="installer size in MiB (default 32)")
    ap.add_argument("--clients", type=int, default=128,
                    help="setups in the herd per edge, each on its own connection (default 128)")
    ap.add_argument("--latest", type=int, default=20000, help="latest.txt requests per edge in step 2")
    ap.add_argument("--resumptions", type=int, default=1024, help="resumptions per edge in step 3")
    ap.add_argument("--quick", action="store_true", help="the smallest sizes (a smoke run)")
    ap.add_argument("--keep", action="store_true", help="keep the work folder (logs) and print its name")
    args = ap.parse_args()
    if args.quick:
        args.size_mib, args.clients, args.latest, args.resumptions = 4, 8, 200, 32
    if not os.access(H2LOAD, os.X_OK):
        fail("h2load not found (Debian package nghttp2-client; scripts/setup-deps installs it)")
    if not os.access(TOOL, os.X_OK):
        fail("%s has not been built" % TOOL)
    size = args.size_mib * SLICE - 4321          # the last slice is a short one
    slices = (size + SLICE - 1) // SLICE
    work = tempfile.mkdtemp(prefix="vq-bench-edge.")
    servers = []
    try:
        folder, tag = publish(work, size)
        port = free_port("127.0.0.1")
        origin_log = os.path.join(work, "origin.jsonl")
        origin = Server(work, "origin", [folder, "--sha256-tags", "--bind", ORIGIN, "--port", str(port),
                                         "--access-log", origin_log, "--workers", "1",
                                         "--worker-connections", "4096"])
        servers.append(origin)
        edges = {}
        for name, address in EDGES.items():
            edges[name] = Server(work, "edge-" + name,
                                 ["--edge", "%s:%d" % (ORIGIN, port), "--bind", address, "--port", str(port),
                                  "--origin-bind", address, "--cache", os.path.join(work, "cache-" + name),
                                  "--access-log", os.path.join(work, "edge-%s.log" % name),
                                  "--workers", "1", "--worker-connections", "8192"])
            servers.append(edges[name])
        uris = {name: "https://%s:%d" % (address, port) for name, address in EDGES.items()}
        origin_uri = "https://%s:%d" % (ORIGIN, port)
        watched = {name: (address, port) for name, address in EDGES.items()}
        watched["origin"] = (ORIGIN, port)
        sampler = ConnectionSampler(watched)
        sampler.start()

        def cpu_of():
            return {"edges": cpu_seconds([p for e in edges.values() for p in e.nginx_pids()]),
                    "origin": cpu_seconds(origin.nginx_pids())}

        machine = os.cpu_count()
        print("bench edge: origin %s and edges A %s, B %s on port %d; installer %d bytes (%d slices of "
              "1 MiB); %d cores; h2load %s" % (ORIGIN, EDGES["A"], EDGES["B"], port, size, slices, machine,
                                               subprocess.run([H2LOAD, "--version"], capture_output=True,
                                                              text=True).stdout.split()[-1]), flush=True)

        # 1. The herd on cold edges: latest.txt, then the installer, per client.
        herd_file = os.path.join(work, "herd-%s.uris")
        loads = []
        children_before = os.times()
        ticks0 = machine_ticks()
        t0 = time.monotonic()
        cpu0 = cpu_of()
        for name in EDGES:
            with open(herd_file % name, "w") as f:
                f.write(uris[name] + RELEASE + "\n" + uris[name] + INSTALLER + "\n")
            loads.append(Load(work, "herd-" + name, herd_file % name, 2 * args.clients, args.clients,
                              input_file=True))
        for load in loads:
            load.wait()
        wall = time.monotonic() - t0
        ticks1 = machine_ticks()
        cpu1 = cpu_of()
        children_after = os.times()
        h2 = (children_after.children_user + children_after.children_system -
              children_before.children_user - children_before.children_system)
        sampler.halt.set()
        sampler.join()
        peaks = dict(sampler.peak)
        memory = {name: peak_memory_kib(e.nginx_pids()) for name, e in edges.items()}

        herd_requests = sum(l.done["done"] for l in loads)
        herd_bytes = 2 * args.clients * size
        print("\n1. The herd on cold edges: %d setups (%d per edge, one connection each), latest.txt then "
              "the whole installer" % (2 * args.clients, args.clients))
        mix = {}
        for l in loads:
            for k, v in l.codes.items():
                mix[k] = mix.get(k, 0) + v
        print("   requests answered: %d of %d; status mix: %s; failed %d, errored %d, timed out %d"
              % (herd_requests, 4 * args.clients, ", ".join("%s x%d" % kv for kv in sorted(mix.items())),
                 sum(l.done["failed"] for l in loads), sum(l.done["errored"] for l in loads),
                 sum(l.done["timeout"] for l in loads)))
        print("   %.1f s for %.1f GiB sent to the herd: %.0f MiB/s over both edges"
              % (wall, herd_bytes / 2 ** 30, herd_bytes / SLICE / wall))
        asked = origin_requests(origin_log)
        print("   the origin's requests per edge (installer slices: asked / distinct / slices of the file; "
              "latest.txt):")
        origin_bytes = {}
        for name, address in EDGES.items():
            mine = [r for r in asked if r["client"] == address]
            ranges = [r["headers"]["Range"] for r in mine if r["target"] == INSTALLER]
            latest = [r for r in mine if r["target"].startswith(RELEASE.split("?")[0])]
            origin_bytes[name] = sum(r["body_bytes"] for r in mine if r["target"] == INSTALLER)
            per_slice = [ranges.count("bytes=%d-%d" % (k * SLICE, (k + 1) * SLICE - 1)) for k in range(slices)]
            print("     edge %s: %d / %d / %d (at most %d per slice; per slice: %s); latest.txt %d" %
                  (name, len(ranges), len(set(ranges)), slices, max(per_slice, default=0),
                   " ".join(map(str, per_slice)), len(latest)))
        for name in EDGES:
            print("     edge %s: the origin sent %d installer bytes, %.3f times the file"
                  % (name, origin_bytes[name], origin_bytes[name] / size))
        served = herd_bytes
        print("   share of installer bytes the edges served from their caches: %.4f "
              "(origin sent %d of %d bytes)" % (1 - sum(origin_bytes.values()) / served,
                                              sum(origin_bytes.values()), served))
        for name in EDGES:
            print("   edge %s: peak memory %.1f MiB (master and worker, resident), peak connections %d"
                  % (name, memory[name] / 1024.0, peaks[name]))
        print("   origin: peak connections %d (the edges' kept-alive connections)" % peaks["origin"])
        cpu = {"h2load": h2, "edges": cpu1["edges"] - cpu0["edges"], "origin": cpu1["origin"] - cpu0["origin"]}
        busy = sum(cpu.values())
        print("   CPU: %s; %.2f of %d cores busy over the step"
              % (", ".join("%s %.1f s (%.0f%%)" % (k, v, 100 * v / busy if busy else 0) for k, v in cpu.items()),
                 busy / wall, machine))
        machine_busy = (ticks1[0] - ticks0[0]) / max(1, ticks1[1] - ticks0[1])
        print("   per CPU second of their own: the edges sent %.0f MiB (TLS included), h2load took in %.0f MiB"
              % (herd_bytes / SLICE / max(cpu["edges"], 0.01), herd_bytes / SLICE / max(cpu["h2load"], 0.01)))
        print("   the machine's cores were %.0f%% busy over the step, the others' work included: the "
              "bench's own processes used %.0f%% of them" % (100 * machine_busy, 100 * busy / wall / machine))
        print("   TLS handshakes: %d to the edges (one per setup), %d from the edges to the origin at most "
              "(kept alive)" % (2 * args.clients, peaks["origin"]))
        top = max(cpu, key=cpu.get)
        print("   limit: %s; the largest share is %s's (%s)"
              % ("the cores are saturated" if machine_busy >= 0.9 else
                 "the cores are not saturated (%.0f%%): the herd is too small to load this machine"
                 % (100 * machine_busy),
                 top, {"h2load": "the load generator: TLS decryption of every body and its bookkeeping",
                       "edges": "TLS encryption of every body the edges send, and their cache",
                       "origin": "the origin: its TLS to the edges"}[top]))

        # 2 and 3: latency from warm edges and from the origin, in the same run.
        def compare(title, path, count, headers=()):
            rows = []
            for name, uri in list(uris.items()) + [("origin", origin_uri)]:
                c0 = os.times()
                e0 = cpu_of()
                t = time.monotonic()
                l = Load(work, "%s-%s" % (title, name), uri + path, count, args.clients, headers).wait()
                w = time.monotonic() - t
                c1 = os.times()
                e1 = cpu_of()
                h2cpu = c1.children_user + c1.children_system - c0.children_user - c0.children_system
                server = e1["origin"] - e0["origin"] if name == "origin" else e1["edges"] - e0["edges"]
                rows.append((name, l, w, h2cpu, server))
            print("\n%s: %d requests per server, %d clients" % (title, count, args.clients))
            base = rows[-1][1].latency()
            for name, l, w, h2cpu, server in rows:
                med, p99 = l.latency()
                print("   %-6s  status %s  median %7.2f ms  p99 %8.2f ms  (x%.2f, x%.2f of the origin)  "
                      "%6.0f req/s  CPU h2load %.1f s, server %.1f s"
                      % (name, ", ".join("%s x%d" % kv for kv in sorted(l.codes.items())), med, p99,
                         med / base[0] if base[0] else 0, p99 / base[1] if base[1] else 0,
                         l.done["done"] / w, h2cpu, server))
            return rows

        compare("2. latest.txt", RELEASE, args.latest)
        first = (slices - 1) * SLICE
        compare("3. resumption of the last slice (Range bytes=%d-, If-Range the tag)" % first, INSTALLER,
                args.resumptions, ["Range: bytes=%d-" % first, "If-Range: " + tag])
        for name, server in [("origin", origin)] + [("edge " + n, e) for n, e in edges.items()]:
            lines = server.error_lines()
            print("%s's error log: %d lines%s" % (name, len(lines), "".join("\n   " + l for l in lines[:5])))
        print("\nThe machine: %d cores, shared with other work while this ran; compare the ratios, "
              "not the times." % machine)
        return 0
    finally:
        for s in reversed(servers):
            s.stop()
        if args.keep:
            print("work folder kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
