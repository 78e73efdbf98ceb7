"""Releases through the caching edge of the hosting recipe
(tools/cloud/nginx/edge.conf.in, started by nginx-serve --edge) on the test
build's cloud port, in front of an origin on another port: nginx serving the
published folder as in "Hosting releases", or the reference cloud where the
origin must misbehave. The reference cloud of the harness is stopped while a
scenario runs. What the program sent is read from the edge's own log (the
edge is the cloud it reaches); what the edge asked is read from the origin's.

- an installation through the edge (the edge fetches the installer once, in
  slices), and a resumption answered from the edge's copy;
- vornquill-release check through the edge: every line ok;
- the origin stopped, or answering 503, after the edge holds the release:
  the edge serves its last good copy and the run installs;
- a download interrupted at one edge continues at another edge under the
  same name: 206 with the same tag, and the second edge asks the origin only
  for the slices it lacked;
- the recipe's optional load shedding: a 503 with Retry-After, which the run
  waits out (the log's delay line) before it installs.

A cold edge in front of a dead origin is the group edge_cold.
"""

import json
import shutil
import subprocess
import sys

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)

sys.path.insert(0, os.path.join(ROOT, "tests", "cloud"))
import cloudtest  # noqa: E402

NGINX_SERVE = os.path.join(ROOT, "tools", "cloud", "nginx-serve")
CLOUD = os.path.join(ROOT, "scripts", "cloud")
PUBLIC = os.path.join(ROOT, "tests", "release", "keys", "test-release.public")
# Seconds the test's edges keep latest.txt: each run, started well after the
# edge last fetched it, makes the edge ask the origin again (or, when the
# origin fails, serve its stale copy).
LATEST_TTL = 1
SLICE = MiB
# The edges' addresses towards the origin, so that the origin's log tells
# which edge asked.
EDGE_ADDRESS = {"a": "127.0.0.2", "b": "127.0.0.3"}
# The recipe's load shedding as the test sets it: one request per address
# every 5 s, no burst, and a Retry-After of 6 s.
SHED = ["--shed-load", "--shed-rate", "12r/m", "--shed-burst", "0", "--retry-after", "6"]
SHED_RETRY_S = 6
# Slices of the large release: an interrupted download resumes inside the third.
LARGE_SLICES = 4
RESTART_LINE = "the server sent the whole file again; restarted from byte 0"


def releases(b):
    """Release "edge-large": the demo installer with 3.5 MiB of data after
    its image, signed over all of it, so that it spans four of the edge's
    slices."""
    block = hashlib.sha512(b"vornquill-e2e-edge").digest() * 16384   # 1 MiB
    padded = os.path.join(b.work, "edge-large.exe")
    with open(padded, "wb") as f:
        f.write(open(b.demo, "rb").read())
        for i in range(LARGE_SLICES - 1):
            f.write(i.to_bytes(4, "little") + block[4:])
        f.write(block[:SLICE // 2])
    b.publish("edge-large", b.sign("pinned", True, "edge-large", source=padded))
    os.unlink(padded)


def read_json_lines(path, mark=0):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f.read().splitlines()[mark:] if line.endswith("}")]


class Edges:
    """The origin and the edges of one scenario. The harness's reference
    cloud is stopped from the start to the end (stop())."""

    def __init__(self, suite, release, origin="nginx"):
        self.b = suite.b
        self.b.stop_cloud()
        self.b.serve(release)
        self.release = release
        self.edges = {}
        self.kind = origin
        self.origin = None
        self.origin_port = cloudtest.free_port()
        self.origin_log = os.path.join(self.b.work, "origin.jsonl")
        if os.path.exists(self.origin_log):
            os.unlink(self.origin_log)
        self.start_origin()

    def start_origin(self):
        if self.kind == "nginx":
            args = [NGINX_SERVE, self.b.live, "--sha256-tags", "--port", str(self.origin_port),
                    "--access-log", self.origin_log]
        else:
            self.b.set_rules([])
            args = [CLOUD, self.b.live, "--port", str(self.origin_port), "--rules", self.b.rules,
                    "--log", self.b.reqlog]
        self.origin = self.b.start_server("origin", "the origin", args)

    def stop_origin(self):
        if self.origin is not None:
            self.b.stop_server(self.origin)
            self.origin = None

    def start_edge(self, name, extra=(), cache=None):
        """Edge NAME on the test build's cloud port, asking the origin from
        its own address; its cache folder is kept across its restarts."""
        cache = cache or os.path.join(self.b.work, "edge-cache-" + name)
        logs = (os.path.join(self.b.work, "edge-%s.log" % name),
                os.path.join(self.b.work, "edge-%s.jsonl" % name))
        self.edges[name] = self.b.start_server(
            "edge-" + name, "edge " + name,
            [NGINX_SERVE, "--edge", "127.0.0.1:%d" % self.origin_port, "--port", str(self.b.port),
             "--cache", cache, "--latest-ttl", str(LATEST_TTL), "--access-log", logs[0],
             "--json-log", logs[1], "--origin-bind", EDGE_ADDRESS[name]] + list(extra))

    def stop_edge(self, name):
        server = self.edges.pop(name, None)
        if server is not None:
            self.b.stop_server(server)

    def stop(self):
        for name in list(self.edges):
            self.stop_edge(name)
        self.stop_origin()
        for name in EDGE_ADDRESS:
            shutil.rmtree(os.path.join(self.b.work, "edge-cache-" + name), ignore_errors=True)
            for suffix in (".log", ".jsonl"):
                path = os.path.join(self.b.work, "edge-" + name + suffix)
                if os.path.exists(path):
                    os.unlink(path)
        self.b.start_cloud()

    def edge_mark(self, name):
        return len(read_json_lines(os.path.join(self.b.work, "edge-%s.jsonl" % name)))

    def edge_records(self, name, mark=0):
        """The requests edge NAME answered after the first MARK, as the
        harness's request records (with the headers the client sent) and
        the edge's cache status."""
        path = os.path.join(self.b.work, "edge-%s.jsonl" % name)
        out = []
        for n, rec in enumerate(read_json_lines(path, mark), mark + 1):
            record = nginx_record("edge-%s-%d" % (name, n), rec)
            record["cache"] = rec["cache"]
            out.append(record)
        return out

    def origin_mark(self):
        if self.kind == "nginx":
            return len(read_json_lines(self.origin_log))
        return self.b.reqlog_mark()

    def origin_records(self, mark=0):
        """What the origin answered after MARK: (client address, path,
        Range, status)."""
        if self.kind == "nginx":
            return [(r["client"], r["target"].partition("?")[0], r["headers"]["Range"], r["status"])
                    for r in read_json_lines(self.origin_log, mark)]
        # Read as written: the edge keeps its connections to the origin open.
        return [(r["client"].rpartition(":")[0], r["path"], r["headers"].get("Range", ""), r["status"])
                for r in read_json_lines(self.b.reqlog, mark) if r.get("event") == "request"]

    def warm(self):
        """Fills the edge's cache as a first setup would: latest.txt, then the
        whole installer."""
        for path in (RELEASE_PATH + "?" + RELEASE_QUERY, self.installer_path()):
            r = cloudtest.fetch(self.b.port, path)
            if r.status != 200:
                raise Failed("warming the edge: %s answered %s" % (path, r.status))

    def installer_path(self):
        return "/v1/public/installer/files/%s/%s" % (VERSION, installer_name())

    def wait_stale(self, name):
        """Asks edge NAME for latest.txt until it answers from its expired
        copy (the origin failing behind it): the run that follows meets the
        stale copy, not a fresh one."""
        mark = self.edge_mark(name)

        # nginx logs a STALE answer once the fetch it started has ended:
        # any of them since the mark counts.
        def stale():
            r = cloudtest.fetch(self.b.port, RELEASE_PATH + "?" + RELEASE_QUERY)
            return r.status == 200 and any(rec["cache"] == "STALE" for rec in self.edge_records(name, mark))
        if not Suite.wait_for(stale, 15, 0.2):
            raise Failed("edge %s never served its stale latest.txt: %s"
                         % (name, self.edge_records(name)[-3:]))


def silent_run(suite, sc, edges, edge, release, during=None, timeout=120):
    """A silent installation through EDGE; DURING(process) runs while it does.
    The run's requests are what the edge received."""
    b = suite.b
    plan = dict(sc, shared=bool(sc.get("shared")))
    inst = suite.prepare_machine(plan)
    before = b.work_folders()
    mark = edges.edge_mark(edge)
    p = b.start(suite.switches(plan, inst))
    if during is not None:
        during(p)
    try:
        rc = p.wait(timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        raise Failed("the run did not end in time")
    run = Run(b, rc, suite.folder_of_run(plan, before), 0, b.unix_of(inst),
              requests=edges.edge_records(edge, mark))
    suite.last_run = run
    return run


def answers(run):
    """The edge's answers to the run: (path kind, status, cache)."""
    return [("latest" if r["path"] == RELEASE_PATH else "installer", r["status"], r["cache"])
            for r in run.requests]


def installed(c, run, b, release="good", lines=(), no_lines=()):
    check_common(c, run, dict(code=0, reason="installed", message=("information", msg_installed()),
                              lines=["installer exit code 0"] + list(lines), no_lines=list(no_lines)))
    check_installed(c, run, b, release)


def through_edge(suite, sc):
    """An installation through a cold edge: the edge fetches latest.txt and
    the installer from the origin, the installer once, in slices."""
    b = suite.b
    edges = Edges(suite, "good")
    try:
        edges.start_edge("a")
        origin_mark = edges.origin_mark()
        run = silent_run(suite, sc, edges, "a", "good")
        asked = edges.origin_records(origin_mark)
    finally:
        edges.stop()
    c = Checker(sc["name"])
    installed(c, run, b)
    c.eq(answers(run), [("latest", 200, "MISS"), ("installer", 200, "MISS")],
         "the edge's answers (path, status, cache)")
    size = os.path.getsize(b.installer_of("good"))
    c.eq([(who, path, rng, status) for who, path, rng, status in asked if path != RELEASE_PATH],
         [(EDGE_ADDRESS["a"], edges.installer_path(), "bytes=0-%d" % (SLICE - 1), 206)],
         "the origin's answers for the installer (one slice of %d bytes)" % size)
    return c.failures


def resume_from_edge(suite, sc):
    """A download interrupted and resumed through the edge: the edge is
    stopped, so the run's first attempt fails; while it waits, the part
    file that an interrupted run leaves (a third of the installer) is put
    into the shared work folder it has made, and the edge starts again with
    the cache it had. The resumption is answered 206 from the edge's copy,
    with the origin's tag; the origin is not asked for the installer."""
    b = suite.b
    edges = Edges(suite, "good")
    installer = b.installer_of("good")
    size = os.path.getsize(installer)
    sha = sha256_file(installer)
    held = size // 3
    try:
        edges.start_edge("a")
        edges.warm()
        edges.stop_edge("a")
        origin_mark = edges.origin_mark()

        with open(installer, "rb") as f:
            head = f.read(held)

        def meanwhile(p):
            suite.plant_part_file(p, sha, head)
            edges.start_edge("a")
        run = silent_run(suite, dict(sc, shared=True), edges, "a", "good", meanwhile)
        asked = edges.origin_records(origin_mark)
    finally:
        edges.stop()
    c = Checker(sc["name"])
    installed(c, run, b, lines=["latest.txt attempt 1 failed (status 0, error ",
                                "resuming a partial download at %d bytes" % held],
              no_lines=[RESTART_LINE])
    d = run.downloads()
    c.eq([(r["status"], r["body_bytes"], r["cache"], r["headers"].get("Range"), r["headers"].get("If-Range"))
          for r in d], [(206, size - held, "HIT", "bytes=%d-" % held, '"%s"' % sha)],
         "the edge's answer to the resumption (status, bytes, cache, Range, If-Range)")
    c.eq([a for a in asked if a[1] != RELEASE_PATH], [],
         "the origin's answers for the installer during the resumed run")
    return c.failures


def check_through_edge(suite, sc):
    """vornquill-release check through the edge, as a release engineer runs
    it: every line ok."""
    b = suite.b
    edges = Edges(suite, "good")
    try:
        edges.start_edge("a")
        r = subprocess.run([b.release_tool, "check", "--url", b.base, "--key", PUBLIC, "--full"],
                           capture_output=True, text=True, timeout=120,
                           env=dict((k, v) for k, v in os.environ.items()
                                    if not k.lower().endswith("_proxy")))
    finally:
        edges.stop()
    c = Checker(sc["name"])
    bad = [line for line in r.stdout.splitlines() if line.startswith(("warn", "FAIL"))]
    c.eq((r.returncode, bad), (0, []), "check through the edge (exit code, lines not ok)")
    c.true("freshness:" in r.stdout and "stale:" in r.stdout, "check's output:\n" + r.stdout)
    return c.failures


def origin_fails(suite, sc):
    """The edge holds the release (a first setup fetched it); then the
    origin stops (or answers every request with 503), and the edge's copy of
    latest.txt expires. A run through the edge installs: the edge serves
    its last good latest.txt and the installer from its copy."""
    b = suite.b
    edges = Edges(suite, "good", origin=sc["origin"])
    try:
        edges.start_edge("a")
        edges.warm()
        if sc["origin"] == "nginx":
            edges.stop_origin()
        else:
            b.set_rules([rule("*", status=503)])
        edges.wait_stale("a")
        origin_mark = edges.origin_mark()
        run = silent_run(suite, sc, edges, "a", "good")
        asked = edges.origin_records(origin_mark) if edges.origin is not None else []
    finally:
        edges.stop()
    c = Checker(sc["name"])
    installed(c, run, b)
    # STALE, or UPDATING while a fetch that an earlier request started is
    # still out (it fails, but may not have yet). nginx logs a STALE answer
    # when the fetch it started has ended, which may be after the next one.
    c.eq(sorted((kind, status, "STALE" if cache == "UPDATING" else cache) for kind, status, cache in answers(run)),
         [("installer", 200, "HIT"), ("latest", 200, "STALE")], "the edge's answers (path, status, cache)")
    c.true(all(a[1] == RELEASE_PATH and a[3] == 503 for a in asked),
           "the origin was asked for more than latest.txt, or answered it: %s" % asked)
    return c.failures


def across_edges(suite, sc):
    """A download interrupted at edge A continues at edge B: the first part
    of the installer came through edge A (a client that went away after
    2.5 MiB); the run, whose host now reaches edge B (same name, same
    certificate, its own empty cache), gets a 206 with the same tag and
    finishes with the bytes it held, and edge B asks the origin only for
    what it needs: the first slice, whose tag it compares with If-Range
    before it answers, and the slices that hold the bytes asked for; never
    the slice between them, which the run held."""
    b = suite.b
    release = "edge-large"
    installer = b.installer_of(release)
    size = os.path.getsize(installer)
    sha = sha256_file(installer)
    held = 2 * SLICE + SLICE // 2
    edges = Edges(suite, release)
    try:
        edges.start_edge("a")
        with open(installer, "rb") as f:
            head = f.read(held)
        with cloudtest.Connection(b.port) as conn:
            r = conn.request(edges.installer_path(), [("Range", "bytes=0-%d" % (held - 1))])
        if r.status != 206 or r.body != head:
            raise Failed("edge A's first part: status %s, %d bytes" % (r.status, len(r.body or b"")))
        edges.stop_edge("a")
        origin_mark = edges.origin_mark()

        def meanwhile(p):
            suite.plant_part_file(p, sha, head)
            edges.start_edge("b")
        run = silent_run(suite, dict(sc, shared=True), edges, "b", release, meanwhile)
        asked = edges.origin_records(origin_mark)
    finally:
        edges.stop()
    c = Checker(sc["name"])
    installed(c, run, b, release, lines=["resuming a partial download at %d bytes" % held],
              no_lines=[RESTART_LINE])
    d = run.downloads()
    c.eq([(r["status"], r["body_bytes"], r["headers"].get("If-Range")) for r in d],
         [(206, size - held, '"%s"' % sha)], "edge B's answer to the resumption (status, bytes, If-Range)")
    first = held // SLICE
    wanted = [(EDGE_ADDRESS["b"], edges.installer_path(),
               "bytes=%d-%d" % (k * SLICE, (k + 1) * SLICE - 1), 206)
              for k in [0] + list(range(first, (size + SLICE - 1) // SLICE))]
    c.eq([a for a in asked if a[1] != RELEASE_PATH], wanted,
         "the origin's answers for the installer (slice 0 for the If-Range check, then from slice %d on)"
         % first)
    return c.failures


def shed_load(suite, sc):
    """The recipe's optional load shedding, set to one request per address
    every 5 s: the run's latest.txt is answered, its installer request right
    after is answered 503 with Retry-After 6; the run waits those 6 s (the
    log's delay line) and then downloads and installs."""
    b = suite.b
    edges = Edges(suite, "good")
    try:
        edges.start_edge("a", SHED)
        run = silent_run(suite, sc, edges, "a", "good")
    finally:
        edges.stop()
    c = Checker(sc["name"])
    installed(c, run, b, lines=["download attempt 1 stopped at 0 bytes (status 503, error 0)",
                                "retrying in %d ms" % (SHED_RETRY_S * 1000)])
    c.eq([(kind, status) for kind, status, _ in answers(run)],
         [("latest", 200), ("installer", 503), ("installer", 200)], "the edge's answers (path, status)")
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [dict(name="edge-install", runner=through_edge),
            dict(name="edge-resume-from-cache", runner=resume_from_edge),
            dict(name="edge-check", runner=check_through_edge),
            dict(name="edge-origin-stopped-stale", runner=origin_fails, origin="nginx"),
            dict(name="edge-origin-503-stale", runner=origin_fails, origin="cloud"),
            dict(name="edge-resume-at-another-edge", runner=across_edges),
            dict(name="edge-shed-load-retry-after", runner=shed_load)]
