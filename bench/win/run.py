#!/usr/bin/env python3
"""Windows benchmarks of the setup executable under Wine, printed as a table of
figures and ratios (never pass/fail: the goals are printed beside the ratios).

    bench/win/run.py [--quick] [--reps N] [--size-mib N] [--small-mib N] [--keep]

Run through `scripts/bench windows`, which builds what is needed first. Uses the
Windows test tree build/win-test (its cloud port from CMakeCache.txt), the
production tree build/win-production when it exists (size figures only), the
native release tool, a private Wine prefix and loopback servers only.

What is measured (each timed figure is the best of --reps runs, default 5, interleaved so
that every contender sees the same machine load):
  1. download of a signed release padded to --size-mib by the setup executable
     (a whole silent run), by a bare WinHTTP loop (vq-bench.exe) and by curl,
     from the reference cloud and from nginx;
  2. the setup executable's peak memory for a --small-mib and a --size-mib run;
  3. file_sha256 against a bare CNG loop and sha256sum;
  4. the whole run against a bare download plus a bare hash, with the run's
     phases from its log;
  5. the size of the setup executable and what it is made of (link map).
"""

import argparse
import glob
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime, timezone

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WIN = os.path.join(REPO, "build", "win-test")
PROD = os.path.join(REPO, "build", "win-production")
NATIVE = os.path.join(REPO, "build", "native")
EXE_NAME = "VornquillAI-Online-Setup-x64-SELFSIGNED.exe"
WINE64 = "/usr/lib/wine/wine64"
VERSION = "1.2.0"
RELEASE_PATH = "/v1/public/installer/latest.txt?platform=win32&arch=x64&kind=windows-installer"
UNINSTALL_KEY = (r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
                 r"\{5E2A7C19-3B4D-4F86-A1C0-9D8E7F6B5A43}_is1")
POLL_S = 0.005
MIB = 1048576


def fail(message):
    print(f"bench: {message}", file=sys.stderr, flush=True)
    sys.exit(1)


def note(message):
    print(f"   .. {message}", file=sys.stderr, flush=True)


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def cloud_port():
    cache = os.path.join(WIN, "CMakeCache.txt")
    with open(cache, encoding="utf-8") as f:
        for line in f:
            if line.startswith("VQ_TEST_CLOUD_PORT:"):
                return int(line.split("=", 1)[1])
    fail(f"VQ_TEST_CLOUD_PORT not found in {cache}")


def run(cmd, **kw):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    if r.returncode != 0:
        fail(f"{' '.join(cmd)} returned exit status {r.returncode}:\n{r.stdout}{r.stderr}")
    return r


# ---------------------------------------------------------------- releases

def make_release(work, size, name):
    """The demo installer padded with random bytes to about size, signed with the
    pinned test certificate and published as release VERSION (its time stamp
    comes from the test PKI, whose root the test machines trust)."""
    pad = os.path.join(work, f"{name}-unsigned.exe")
    signed = os.path.join(work, f"{name}-signed.exe")
    folder = os.path.join(work, name)
    shutil.copyfile(os.path.join(WIN, "tools", "vq-demo-installer.exe"), pad)
    # The signature adds a few KiB: leave room so the signed file stays below size.
    left = size - os.path.getsize(pad) - 16384
    with open(pad, "ab") as f:
        while left > 0:
            n = min(left, 16 * MIB)
            f.write(os.urandom(n))
            left -= n
    run([os.path.join(REPO, "tools", "sign-installer"), pad, signed, "--cert", "pinned",
         "--timestamp"])
    run([os.path.join(NATIVE, "vornquill-release"), "publish", "--installer", signed,
         "--version", VERSION, "--key", os.path.join(REPO, "tests", "release", "keys",
                                                     "test-release.secret"),
         "--fresh-key", os.path.join(REPO, "tests", "release", "keys", "test-freshness.secret"),
         "--out", folder, "--self-signed", "--trust-ca",
         os.path.join(REPO, "tests", "signing", "ca.crt")])
    os.unlink(pad)
    os.unlink(signed)
    files = glob.glob(os.path.join(folder, "files", VERSION, "*"))
    if len(files) != 1:
        fail(f"the published folder {folder} does not hold one installer")
    out = run(["sha256sum", files[0]]).stdout.split()[0]
    return {"folder": folder, "file": files[0], "name": os.path.basename(files[0]),
            "size": os.path.getsize(files[0]), "sha256": out,
            "path": f"/v1/public/installer/files/{VERSION}/{os.path.basename(files[0])}"}


# ---------------------------------------------------------------- Wine and servers

class Wine:
    def __init__(self):
        out = run(["bash", "-c", f". '{REPO}/scripts/wine-env.sh'; wine_env_start; "
                   "echo \"$WINEPREFIX $VQ_XVFB_PID $DISPLAY\""], stdin=subprocess.DEVNULL)
        self.prefix, self.xvfb_pid, self.display = out.stdout.split()[-3:]
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=self.display)
        self.drive_c = os.path.join(self.prefix, "drive_c")

    def call(self, args, check=True):
        return subprocess.run([WINE64] + args, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              check=check)

    def reset_product(self):
        """No installed product and no work folder: every run downloads afresh."""
        self.call(["reg", "delete", UNINSTALL_KEY, "/f", "/reg:64"], check=False)
        shutil.rmtree(os.path.join(self.drive_c, "Program Files", "Vornquill AI"),
                      ignore_errors=True)
        for d in glob.glob(os.path.join(self.drive_c, "ProgramData", "VornquillAI-Setup*")):
            shutil.rmtree(d, ignore_errors=True)

    def stop(self):
        """wine_env_stop: the server, the prefix (an overlay is taken down,
        a copy removed) and the display."""
        env = dict(self.env, VQ_XVFB_PID=self.xvfb_pid)
        subprocess.run(["bash", "-c", f". '{REPO}/scripts/wine-env.sh'; wine_env_stop"],
                       env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


class Server:
    """The reference cloud or the private nginx for one published folder."""

    def __init__(self, kind, folder, port, work):
        self.kind = kind
        ready = os.path.join(work, f"{kind}.ready")
        if os.path.exists(ready):
            os.unlink(ready)
        if kind == "cloud":
            cmd = [os.path.join(REPO, "scripts", "cloud"), folder, "--port", str(port),
                   "--ready-file", ready]
        else:
            cmd = [os.path.join(REPO, "tools", "cloud", "nginx-serve"), folder, "--port",
                   str(port), "--ready-file", ready, "--sha256-tags"]
        self.out = open(os.path.join(work, f"{kind}.out"), "w")
        self.proc = subprocess.Popen(cmd, stdout=self.out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(ready) and os.path.getsize(ready) > 0:
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        self.stop()
        with open(self.out.name) as f:
            fail(f"the {kind} server did not start:\n{f.read()}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


# ---------------------------------------------------------------- one setup run

LOG_STAMP = re.compile(r"^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})Z (.*)$")


def read_log(path):
    lines = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            m = LOG_STAMP.match(raw.rstrip("\r\n"))
            if not m:
                continue
            y, mo, d, h, mi, s, ms = (int(g) for g in m.groups()[:7])
            t = datetime(y, mo, d, h, mi, s, ms * 1000, tzinfo=timezone.utc).timestamp()
            lines.append((t, m.group(8)))
    return lines


def first(lines, prefix):
    for t, text in lines:
        if text.startswith(prefix):
            return t
    return None


class Poller(threading.Thread):
    """Samples the process's memory figures and the part file's length."""

    def __init__(self, pid, program_data, part_name, installer_name, total):
        super().__init__(daemon=True)
        self.installer_name = installer_name
        self.pid = pid
        self.program_data = program_data
        self.part_name = part_name
        self.total = total
        self.samples = []          # (time, VmRSS, RssAnon, RssFile in KiB, CPU s)
        self.hwm = 0
        self.full_at = None        # first time the part file held the whole size
        self.moved_at = None       # first time the installer had its own name
        self.first_byte_at = None  # first time the part file held any byte
        self.stop_flag = threading.Event()

    def run(self):
        status = f"/proc/{self.pid}/status"
        stat = f"/proc/{self.pid}/stat"
        tick = os.sysconf("SC_CLK_TCK")
        part = None
        while not self.stop_flag.is_set():
            now = time.time()
            try:
                with open(status) as f:
                    fields = {}
                    for line in f:
                        key, _, value = line.partition(":")
                        if key in ("VmHWM", "VmRSS", "RssAnon", "RssFile"):
                            fields[key] = int(value.split()[0])
                with open(stat) as f:
                    times = f.read().rsplit(")", 1)[1].split()
                cpu = (int(times[11]) + int(times[12])) / tick  # utime + stime
                if fields:
                    self.hwm = max(self.hwm, fields.get("VmHWM", 0))
                    self.samples.append((now, fields.get("VmRSS", 0), fields.get("RssAnon", 0),
                                         fields.get("RssFile", 0), cpu))
            except (OSError, ValueError):
                pass
            if self.full_at is None:
                if part is None:
                    found = glob.glob(os.path.join(self.program_data, "VornquillAI-Setup*",
                                                   self.part_name))
                    part = found[0] if found else None
                if part is not None:
                    try:
                        size = os.stat(part).st_size
                    except OSError:
                        size = -1
                    if size > 0 and self.first_byte_at is None:
                        self.first_byte_at = now
                    if size == self.total:
                        self.full_at = now
                    elif size < 0:
                        # The last write and the rename to the installer's
                        # name fell between two samples: both are taken as
                        # seen now, once the installer holds every byte.
                        moved = os.path.join(os.path.dirname(part), self.installer_name)
                        try:
                            if os.stat(moved).st_size == self.total:
                                self.full_at = self.moved_at = now
                        except OSError:
                            pass
            elif self.moved_at is None and part is not None:
                if os.path.exists(os.path.join(os.path.dirname(part), self.installer_name)):
                    self.moved_at = now
            self.stop_flag.wait(POLL_S)


def setup_run(wine, release):
    wine.reset_product()
    os.sync()  # no write-back of an earlier run's files during this one
    exe = os.path.join(WIN, EXE_NAME)
    program_data = os.path.join(wine.drive_c, "ProgramData")
    start = time.time()
    proc = subprocess.Popen([WINE64, exe, "/VERYSILENT", "/SUPPRESSMSGBOXES", "/NORESTART"],
                            env=wine.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    poller = Poller(proc.pid, program_data, release["sha256"] + ".part", release["name"],
                    release["size"])
    poller.start()
    code = proc.wait()
    end = time.time()
    poller.stop_flag.set()
    poller.join()
    logs = sorted(glob.glob(os.path.join(program_data, "VornquillAI-Setup*", "online-setup*.log")),
                  key=os.path.getmtime)
    if not logs:
        fail(f"the setup run (exit code {code}) left no log")
    lines = read_log(logs[-1])
    result = [text for _, text in lines if text.startswith("RESULT ")]
    if code != 0 or not result or result[-1] != "RESULT code=0 reason=installed":
        fail(f"the setup run ended with exit code {code}: {result[-1] if result else 'no RESULT'}"
             f" (log {logs[-1]})")
    if any(text.startswith("download attempt") for _, text in lines):
        note("a download attempt failed and was retried in this run")
    sha_ok = first(lines, "sha256 ok")
    # The download begins after the last line before the digest's.
    before = [t for t, text in lines if sha_ok is not None and t <= sha_ok
              and not text.startswith("sha256 ok")]
    phases = {
        "wall": end - start,
        "start": start,
        "first_log": lines[0][0],
        "verified": first(lines, "release "),
        "dl_start": before[-1] if before else None,
        "full": poller.full_at,
        "moved": poller.moved_at,
        "sha_ok": sha_ok,
        "auth": first(lines, "authenticode: "),
        "result": first(lines, "RESULT "),
        "end": end,
    }
    if None in phases.values():
        fail(f"the setup run's log or the part file did not show every phase: {phases}")
    return {"phases": phases, "hwm": poller.hwm, "samples": poller.samples}


def phase_cpu(run_info, a, b):
    """CPU seconds of the process between phase marks a and b (10 ms ticks)."""
    t0, t1 = run_info["phases"][a], run_info["phases"][b]
    before = [s[4] for s in run_info["samples"] if s[0] <= t0]
    after = [s[4] for s in run_info["samples"] if s[0] >= t1]
    if not before or not after:
        return float("nan")
    return after[0] - before[-1]


def phase_peaks(run_info, a, b):
    """Peak VmRSS, RssAnon and RssFile (KiB) sampled between phase marks a and b."""
    t0, t1 = run_info["phases"][a], run_info["phases"][b]
    inside = [s for s in run_info["samples"] if t0 - POLL_S <= s[0] <= t1 + POLL_S]
    if not inside:
        return (0, 0, 0)
    return tuple(max(s[i] for s in inside) for i in (1, 2, 3))


# ---------------------------------------------------------------- bare contenders

def parse_fields(text, what):
    for line in text.splitlines():
        if line.startswith(what + " "):
            return dict(kv.split("=", 1) for kv in line.split()[1:] if "=" in kv)
    fail(f"no '{what}' line in:\n{text}")


def bare_download(wine, release, port, out, piece=65536):
    os.sync()
    res = wine.call([os.path.join(WIN, "bench", "vq-bench.exe"), "download", "localhost",
                     str(port), release["path"], win_path(out), "--warm", RELEASE_PATH,
                     "--read", str(piece)], check=False)
    f = parse_fields(res.stdout, "download")
    if f.get("ok") != "1" or int(f["bytes"]) != release["size"]:
        fail(f"the bare download failed: {res.stdout.strip()}")
    os.unlink(out)
    return (float(f["ms"]) / 1000.0, (float(f["setup_ms"]) + float(f["ms"])) / 1000.0,
            float(f["cpu_ms"]) / 1000.0)


def curl_download(release, port, out):
    os.sync()
    res = run(["curl", "-s", "-S", "-o", out, "--cacert",
               os.path.join(REPO, "tests", "cloud", "pki", "ca.crt"), "-w", "%{time_total}",
               f"https://localhost:{port}{release['path']}"])
    if os.path.getsize(out) != release["size"]:
        fail("curl did not fetch the whole file")
    os.unlink(out)
    return float(res.stdout.strip())


def hash_figure(wine, command, release):
    res = wine.call([os.path.join(WIN, "bench", "vq-bench.exe"), command,
                     win_path(release["file"])], check=False)
    f = parse_fields(res.stdout, command)
    if f.get("ok") != "1" or f.get("sha256") != release["sha256"]:
        fail(f"{command} gave a wrong result: {res.stdout.strip()}")
    return float(f["ms"]) / 1000.0, float(f["cpu_ms"]) / 1000.0


def sha256sum_figure(release):
    start = time.time()
    out = run(["sha256sum", release["file"]]).stdout.split()[0]
    if out != release["sha256"]:
        fail("sha256sum disagrees with the published digest")
    return time.time() - start


# ---------------------------------------------------------------- sizes

def sections(exe):
    out = run(["x86_64-w64-mingw32-objdump", "-h", exe]).stdout
    rows = []
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 7 and parts[0].isdigit():
            rows.append((parts[1], int(parts[2], 16)))
    return rows


MAP_OUTPUT = re.compile(r"^[0-9a-f]{8} [0-9a-f]{8}\s+\d+ (\.\S+)$")
MAP_INPUT = re.compile(r"^[0-9a-f]{8} ([0-9a-f]{8})\s+\d+ {9}(\S.*?):\(([^)]*)\)$")


def contributor(path):
    """(group, item) for an input file of lld's link map (archive members are
    named without their archive)."""
    base = os.path.basename(path)
    if base.endswith(".res"):
        return "resources", "resources: " + base
    if "/vq_setup.dir/" in path:
        return "product code", "vq_setup: " + re.sub(r"\.(cpp|c)\.obj$", "", base)
    if base.endswith(".cpp.obj"):
        return "product code", "vq_win: " + re.sub(r"\.cpp\.obj$", "", base)
    if base.startswith("libsodium_la-"):
        return "libsodium", "libsodium: " + re.sub(r"^libsodium_la-|\.o$", "", base)
    m = re.match(r"lib64_lib(\w+?)_a-", base)
    if m:
        return "C/C++ runtime", "runtime: lib" + m.group(1)
    if re.match(r"(_head_)?(lib64_)?lib\w+?(s\d+\.o|_a|_defs\d+\.o|_def_a)$", base) or \
            base.endswith(".dll"):
        return "import stubs", "import stubs"
    if base.startswith(("crt", "dllcrt")) or "/mingw32/lib/" in path:
        return "C/C++ runtime", "runtime: start-up objects"
    return "C/C++ runtime", "runtime: libstdc++, libgcc and others"


def map_contributors(map_file):
    """Bytes per input file in the output sections that take room in the file."""
    sizes = {}
    section = None
    with open(map_file, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            out = MAP_OUTPUT.match(line)
            if out:
                section = out.group(1)
                continue
            if section not in (".text", ".rdata", ".data", ".pdata", ".xdata", ".idata",
                               ".rsrc", ".CRT", ".tls", ".reloc", ".00cfg"):
                continue
            m = MAP_INPUT.match(line)
            if m is None:
                continue
            size, path = int(m.group(1), 16), m.group(2)
            if size == 0 or m.group(3).startswith(".bss"):  # zero-filled: no room in the file
                continue
            key = contributor(path.strip())
            sizes[key] = sizes.get(key, 0) + size
    return sizes


def resource_sizes(exe):
    """Bytes per resource type, read with pefile when Debian's python3-pefile is there."""
    code = ("import sys, pefile\n"
            "pe = pefile.PE(sys.argv[1], fast_load=False)\n"
            "for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:\n"
            "    name = str(t.name) if t.name else pefile.RESOURCE_TYPE.get(t.id, t.id)\n"
            "    total = sum(l.data.struct.Size for n in t.directory.entries\n"
            "                for l in n.directory.entries)\n"
            "    print(name, total)\n")
    try:
        out = subprocess.run(["/usr/bin/python3", "-c", code, exe], capture_output=True,
                             text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return []
    rows = [line.rsplit(" ", 1) for line in out.splitlines() if " " in line]
    return sorted(((n, int(v)) for n, v in rows), key=lambda kv: -kv[1])


# ---------------------------------------------------------------- report

def mibs(size, seconds):
    return size / MIB / seconds if seconds > 0 else float("nan")


def best(values):
    return min(values)


def spread(values):
    return f"{min(values):.2f}-{max(values):.2f} s" if len(values) > 1 else f"{values[0]:.2f} s"


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="one run of each figure instead of five")
    p.add_argument("--reps", type=int, default=None, help="runs per figure (default 5, --quick 1)")
    p.add_argument("--size-mib", type=int, default=256, help="the large release (MiB)")
    p.add_argument("--small-mib", type=int, default=16, help="the small release for memory (MiB)")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    args = p.parse_args()
    reps = args.reps or (1 if args.quick else 5)
    if reps < 1 or args.size_mib < 1 or args.small_mib < 1:
        fail("--reps, --size-mib and --small-mib must be at least 1")
    for need in (os.path.join(WIN, EXE_NAME), os.path.join(WIN, "bench", "vq-bench.exe"),
                 os.path.join(WIN, "tools", "vq-demo-installer.exe"),
                 os.path.join(NATIVE, "vornquill-release")):
        if not os.path.exists(need):
            fail(f"{need} is missing: run scripts/bench windows (it builds it)")
    port = cloud_port()

    work = tempfile.mkdtemp(prefix="vq-bench-win.")
    wine = None
    server = None
    try:
        note(f"publishing {args.size_mib} MiB and {args.small_mib} MiB signed releases")
        big = make_release(work, args.size_mib * MIB, "large")
        small = make_release(work, args.small_mib * MIB, "small")
        note("starting a private Wine prefix")
        wine = Wine()
        out = os.path.join(work, "download.bin")

        # 1, 2, 4: setup runs, bare and curl downloads on both servers.
        dl = {}
        setup_runs = {}
        for kind in ("cloud", "nginx"):
            server = Server(kind, big["folder"], port, work)
            rows = {"setup": [], "bare": [], "bare_total": [], "curl": [], "setup_cpu": [],
                    "bare_cpu": []}
            runs = []
            for i in range(reps):
                note(f"{kind}: round {i + 1} of {reps} (setup, bare WinHTTP, curl)")
                r = setup_run(wine, big)
                runs.append(r)
                ph = r["phases"]
                rows["setup"].append(ph["full"] - ph["dl_start"])
                rows["setup_cpu"].append(phase_cpu(r, "dl_start", "full"))
                warm, total, cpu = bare_download(wine, big, port, out)
                rows["bare"].append(warm)
                rows["bare_total"].append(total)
                rows["bare_cpu"].append(cpu)
                rows["curl"].append(curl_download(big, port, out))
            wine.reset_product()
            server.stop()
            server = None
            dl[kind] = rows
            setup_runs[kind] = runs

        server = Server("cloud", small["folder"], port, work)
        small_runs = []
        for i in range(reps):
            note(f"memory: {args.small_mib} MiB setup run {i + 1} of {reps}")
            small_runs.append(setup_run(wine, small))
        wine.reset_product()
        server.stop()
        server = None

        # 3: hashing.
        hashes = {"product": [], "bare": [], "native": [], "product_cpu": [], "bare_cpu": []}
        for i in range(reps):
            note(f"hashing: round {i + 1} of {reps}")
            for name in ("product", "bare"):
                elapsed, cpu = hash_figure(wine, "hash-" + name, big)
                hashes[name].append(elapsed)
                hashes[name + "_cpu"].append(cpu)
            hashes["native"].append(sha256sum_figure(big))

        report(args, reps, big, small, dl, setup_runs, small_runs, hashes)
    finally:
        if server is not None:
            server.stop()
        if wine is not None:
            wine.stop()
        if args.keep:
            print(f"(work folder kept: {work})")
        else:
            shutil.rmtree(work, ignore_errors=True)


def report(args, reps, big, small, dl, setup_runs, small_runs, hashes):
    size = big["size"]
    print()
    print(f"Windows benchmarks under Wine ({'best' if reps > 1 else 'one run'} of {reps}; "
          f"large release {size} bytes, small {small['size']} bytes; loopback HTTPS)")

    print()
    print("1. Download of the large release (MiB/s; ratio goal: setup/bare >= 0.90)")
    print(f"   {'server':<8} {'setup (Wine)':>13} {'bare WinHTTP':>13} {'curl native':>12} "
          f"{'setup/bare':>11}   runs: setup | bare")
    for kind, rows in dl.items():
        s, b, c = best(rows["setup"]), best(rows["bare"]), best(rows["curl"])
        print(f"   {kind:<8} {mibs(size, s):13.0f} {mibs(size, b):13.0f} {mibs(size, c):12.0f} "
              f"{b / s:11.2f}   {spread(rows['setup'])} | {spread(rows['bare'])}")
    print("   client CPU seconds for the download (less sensitive to the machine's load; "
          "ratio goal bare/setup >= 0.90):")
    for kind, rows in dl.items():
        sc, bc = best(rows["setup_cpu"]), best(rows["bare_cpu"])
        print(f"   {kind:<8} setup {sc:5.2f} s   bare {bc:5.2f} s   bare/setup {bc / sc:.2f}")
    print("   setup: a whole silent run; its download lasts from the log line before the")
    print("   download (stamped in ms by the program) to the moment the part file, polled every")
    print("   5 ms, first holds every byte. bare: vq-bench.exe fetches the release envelope and")
    print("   then the installer on the same connection (as the setup does), 65536-byte")
    print("   WinHttpReadData into WriteFile, timed from the installer's request to its last")
    print("   write. curl: native, the whole transfer with its TLS handshake (context only).")

    print()
    big_hwm = [r["hwm"] for r in setup_runs["cloud"]]
    small_hwm = [r["hwm"] for r in small_runs]
    bh, sh = statistics.median(big_hwm), statistics.median(small_hwm)
    print(f"2. Peak memory of the setup executable (VmHWM of its Wine process, median of {reps};"
          f" goal: ratio within 1.00 +- 0.10)")
    print(f"   {args.small_mib:>4} MiB release: {sh / 1024:7.1f} MiB   "
          f"{args.size_mib:>4} MiB release: {bh / 1024:7.1f} MiB   ratio {bh / sh:.2f}")
    print("   peak resident memory by phase (MiB: all | anonymous | file-backed), "
          "one run of each size:")
    for label, r in ((f"{args.small_mib} MiB", small_runs[0]),
                     (f"{args.size_mib} MiB", setup_runs["cloud"][0])):
        parts = []
        for name, a, b in (("to download", "start", "dl_start"), ("download", "dl_start", "full"),
                           ("flush+digest", "full", "sha_ok"), ("authenticode", "sha_ok", "auth"),
                           ("installer", "auth", "result")):
            rss, anon, filed = phase_peaks(r, a, b)
            parts.append(f"{name} {rss / 1024:.0f}|{anon / 1024:.0f}|{filed / 1024:.0f}")
        print(f"   {label:>8}: " + ", ".join(parts))

    print()
    hp, hb, hn = best(hashes["product"]), best(hashes["bare"]), best(hashes["native"])
    print("3. SHA-256 of the large release (MiB/s; goal: file_sha256 >= 0.90 x bare)")
    print(f"   file_sha256 (Wine) {mibs(size, hp):6.0f}   bare CNG loop (Wine) {mibs(size, hb):6.0f}"
          f"   sha256sum native {mibs(size, hn):6.0f}   file_sha256/bare {hb / hp:.2f}")
    print(f"   CPU: file_sha256 {best(hashes['product_cpu']):.2f} s, bare "
          f"{best(hashes['bare_cpu']):.2f} s")
    print(f"   runs: file_sha256 {spread(hashes['product'])} | bare {spread(hashes['bare'])}; "
          "both in vq-bench.exe, timed inside the")
    print("   process, the file in the page cache; bare = 1 MiB ReadFile + BCryptHashData.")

    print()
    runs = setup_runs["cloud"]
    wall = [r["phases"]["wall"] for r in runs]
    bare_sum = best(dl["cloud"]["bare_total"]) + hb
    w = best(wall)
    print("4. Whole run of the large release from the reference cloud (goal: <= 1.15 x bare)")
    print(f"   whole silent run {w:.2f} s   bare download (handshake included) + bare hash "
          f"{bare_sum:.2f} s   ratio {w / bare_sum:.2f}")
    fastest = min(runs, key=lambda r: r["phases"]["wall"])
    ph = fastest["phases"]
    steps = (("process start to first log line", "start", "first_log"),
             ("connection, release fetch and check", "first_log", "verified"),
             ("installed version, disk space", "verified", "dl_start"),
             ("download", "dl_start", "full"),
             ("flush, close, move of the part file", "full", "moved"),
             ("reopen, size, SHA-256", "moved", "sha_ok"),
             ("Authenticode check", "sha_ok", "auth"),
             ("installer, rollback package, result", "auth", "result"),
             ("log close to process exit", "result", "end"))
    print("   phases of the fastest run (s):")
    for label, a, b in steps:
        print(f"     {label:<38} {ph[b] - ph[a]:6.2f}")
    def median_phase(runs_of_size, a, b):
        return statistics.median(r["phases"][b] - r["phases"][a] for r in runs_of_size)
    print(f"   by release size (median s, {args.small_mib} MiB | {args.size_mib} MiB): "
          f"SHA-256 {median_phase(small_runs, 'moved', 'sha_ok'):.2f} | "
          f"{median_phase(runs, 'moved', 'sha_ok'):.2f}, Authenticode "
          f"{median_phase(small_runs, 'sha_ok', 'auth'):.2f} | "
          f"{median_phase(runs, 'sha_ok', 'auth'):.2f}")
    no_auth = w - (ph["auth"] - ph["sha_ok"])
    print(f"   the run without its Authenticode check: {no_auth:.2f} s, "
          f"ratio {no_auth / bare_sum:.2f}")

    print()
    print("5. Size of the setup executable (linked with -s; goal < 300 KB = 307200 bytes)")
    for profile, tree in (("test", WIN), ("production", PROD)):
        exe = os.path.join(tree, EXE_NAME)
        if not os.path.exists(exe):
            print(f"   {profile:<10} (not built: scripts/build {profile})")
            continue
        secs = ", ".join(f"{n} {sz}" + (" (not in the file)" if n == ".bss" else "")
                         for n, sz in sorted(sections(exe), key=lambda x: -x[1]))
        print(f"   {profile:<10} {os.path.getsize(exe):7d} bytes   sections: {secs}")
    exe = os.path.join(WIN, EXE_NAME)
    map_file = os.path.join(WIN, "setup.map")
    if os.path.exists(map_file):
        sizes = map_contributors(map_file)
        groups = {}
        for (group, _), v in sizes.items():
            groups[group] = groups.get(group, 0) + v
        total = sum(groups.values())
        print(f"   what the test profile's file is made of (link map, {total} bytes of input "
              "sections):")
        print("     " + ", ".join(f"{g} {v}" for g, v in sorted(groups.items(),
                                                               key=lambda kv: -kv[1])))
        print("   largest single contributors:")
        for (_, item), v in sorted(sizes.items(), key=lambda kv: -kv[1])[:14]:
            print(f"     {item:<52} {v:7d}")
    rsrc = resource_sizes(exe)
    if rsrc:
        print("   resources by type (bytes): " + ", ".join(f"{n} {v}" for n, v in rsrc))


if __name__ == "__main__":
    main()
