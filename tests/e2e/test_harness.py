"""The end-to-end harness's reading of the servers' logs, without Wine: a
request still waiting for its answer when a run ends is among the run's
requests (so also in the check that a run which never reaches the cloud
sent it none), and every request record, of the reference cloud, of nginx
and of an edge, carries the time the request came, which the check of a run
holds against the run's own log.

    test_harness.py
"""

import datetime
import os
import sys
import time
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(TESTS, "cloud"), os.path.join(TESTS, "release")]
import cloudtest as ct  # noqa: E402
import e2e  # noqa: E402
import test_check as tc  # noqa: E402
from groups import edge as edge_group  # noqa: E402

NGINX_SERVE = os.path.join(ct.REPO, "tools", "cloud", "nginx-serve")
CLOUD = os.path.join(ct.REPO, "scripts", "cloud")
# The longest wait for a server's record: it only ends a hang.
WAIT_S = 30


def stamp():
    return time.time()


def bench_of(root):
    """The harness's Bench as far as reading the cloud's log goes."""
    b = types.SimpleNamespace(reqlog=os.path.join(root, "requests.jsonl"), work=root,
                              nginx_log=os.path.join(root, "nginx-access.jsonl"))
    for name in ("settled_lines", "requests_since", "nginx_requests"):
        setattr(b, name, getattr(e2e.Bench, name).__get__(b))
    return b


def run_log(path, first, last):
    """A setup log whose first and last lines are stamped FIRST and LAST."""
    def line(when, text):
        t = datetime.datetime.fromtimestamp(when, datetime.timezone.utc)
        return ("%s.%03dZ %s\r\n" % (t.strftime("%Y-%m-%dT%H:%M:%S"), t.microsecond // 1000, text)).encode()
    with open(path, "wb") as f:
        f.write(line(first, "Vornquill AI online installer 1.0.0"))
        f.write(line(last, "RESULT code=1 reason=release"))
    return e2e.LogRun(path)


class HarnessTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = ct.temp_dir(cls)
        cls.data = ct.installer_bytes(300000, seed=b"harness")
        cls.folder = ct.make_folder(cls.root, cls.data)

    def test_request_in_flight_at_the_end_of_a_run_is_a_request_of_the_run(self):
        """The cloud holds its answer to latest.txt; the client goes away (the
        run ends) before it comes. The run's requests hold that request,
        ended by the client, and the check of a run that "never reaches the
        cloud" sees it."""
        b = bench_of(self.root)
        flag = os.path.join(self.root, "held")
        self.addCleanup(lambda: open(flag, "w").close())
        rules = os.path.join(self.root, "rules.json")
        with open(rules, "w") as f:
            f.write('[{"path": "%s", "hold_until": "%s"}]' % (e2e.RELEASE_PATH, flag))
        cloud = tc.start([CLOUD, self.folder, "--rules", rules, "--log", b.reqlog], self.root, "cloud")
        self.addCleanup(cloud.stop)
        mark = 0
        first = stamp()
        c = ct.Connection(cloud.port)
        c.sock.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\nUser-Agent: harness\r\n\r\n"
                        % ct.RELEASE).encode())
        # The request has come when the cloud applies its rule (logged as its
        # arrival); until then the client stays.
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline and not any(
                r.get("event") == "request-arrived" for r in ct.read_log(b.reqlog)):
            time.sleep(0.02)
        c.close()
        last = stamp()
        requests = b.requests_since(mark)
        self.assertEqual([(r["path"], r["query"], r["outcome"]) for r in requests],
                         [(e2e.RELEASE_PATH, ct.RELEASE.partition("?")[2], "client-closed")])
        log = run_log(os.path.join(self.root, "in-flight.log"), first, last + 1)
        run = types.SimpleNamespace(rc=1, log=log, requests=requests, releases=lambda: requests,
                                    downloads=lambda: [])
        checker = e2e.Checker("in flight")
        e2e.check_common(checker, run, dict(code=1, reason="release", reaches_cloud=False))
        self.assertTrue([f for f in checker.failures if f.startswith("requests the cloud received from a run "
                                                                      "that never reaches it")],
                        checker.failures)

    @unittest.skipUnless(tc.HAVE_NGINX, "nginx is not installed (Debian package nginx-light)")
    def test_every_record_carries_when_the_request_came(self):
        """The reference cloud's, nginx's and an edge's records of a request
        each carry its time, between the moments before and after the
        request; and the check of a run finds a record outside the run's
        log, or one without a time."""
        b = bench_of(self.root)
        cloud = tc.start([CLOUD, self.folder, "--log", b.reqlog + ".2"], self.root, "cloud2")
        self.addCleanup(cloud.stop)
        nginx = tc.start([NGINX_SERVE, self.folder, "--access-log", b.nginx_log], self.root, "nginx")
        self.addCleanup(nginx.stop)
        edge_log = os.path.join(self.root, "edge-a.jsonl")
        edge = tc.start([NGINX_SERVE, "--edge", "127.0.0.1:%d" % cloud.port, "--json-log", edge_log],
                        self.root, "edge")
        self.addCleanup(edge.stop)
        b.reqlog += ".2"
        before = stamp()
        for port in (cloud.port, nginx.port, edge.port):
            self.assertEqual(ct.fetch(port, ct.RELEASE, [("User-Agent", "harness")]).status, 200)
        after = stamp()
        edges = types.SimpleNamespace(b=b)
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline and not (b.nginx_requests() and
                                                   edge_group.Edges.edge_records(edges, "a")):
            time.sleep(0.02)
        records = {"nginx": b.nginx_requests(), "edge": edge_group.Edges.edge_records(edges, "a")}
        edge.stop()                            # its kept-alive connection to the cloud ends
        records["cloud"] = b.requests_since(0)[:1]   # the direct request (then the edge's)
        for name, found in records.items():
            with self.subTest(server=name):
                self.assertEqual(len(found), 1, found)
                self.assertIn("time", found[0])
                when = e2e.stamp_seconds(found[0]["time"])
                self.assertTrue(before - 0.002 <= when <= after + 0.002, (before, found[0]["time"], after))
                # A run that ended before the request came: the check names it.
                run = types.SimpleNamespace(
                    rc=1, log=run_log(os.path.join(self.root, name + ".log"), before - 10, before - 5),
                    requests=found, releases=lambda found=found: found, downloads=lambda: [])
                checker = e2e.Checker(name)
                e2e.check_common(checker, run, dict(code=1, reason="release"))
                self.assertTrue([f for f in checker.failures if f.startswith("requests of the server's log "
                                                                              "outside the run's log")],
                                checker.failures)


if __name__ == "__main__":
    ct.run_suite("e2e.harness", HarnessTests)
