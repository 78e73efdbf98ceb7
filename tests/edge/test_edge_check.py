"""The caching edge of the hosting recipe (tools/cloud/nginx/edge.conf.in,
started by nginx-serve --edge) in front of nginx serving a published folder
(the origin), each on a free loopback port: what the edge answers and keeps,
how soon a new latest.txt shows through it, and what vornquill-release check
reports through it, for the recipe's configuration and for broken ones. Also
the check's judgement of latest.txt's caching headers, against the reference
cloud told to send them.

    test_edge_check.py <vornquill-release>
"""

import base64
import email.utils
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TESTS, "cloud"))
sys.path.insert(0, os.path.join(TESTS, "release"))
import cloudtest as ct  # noqa: E402
import test_check as tc  # noqa: E402

NGINX_SERVE = os.path.join(ct.REPO, "tools", "cloud", "nginx-serve")
EDGE_TEMPLATE = os.path.join(ct.REPO, "tools", "cloud", "nginx", "edge.conf.in")
# How long the test's edge keeps latest.txt (the recipe says 60 s).
TTL = 3
# The longest wait for a line of a log or a process's end: a bound that only
# ends a hang (the waits end as soon as what they wait for is there), so that
# a machine busy with other work makes a test slower, not wrong.
LOG_WAIT_S = 30
LATEST_PATH = ct.RELEASE.partition("?")[0]
SIZE = 2500000
NEXT_VERSION = "2.5.0"
CHECKS = ["release", "freshness", "stale", "envelope", "statement", "tls", "certificate", "installer",
          "entity-tag", "resume", "if-range", "past-end", "content", "redirects"]
HINT = 'tools/cloud/README.md, "Releases through a caching edge"'
# One line of the edge's access log (log_format vornquill_edge).
# One line of the origin's access log (JSON, see nginx-serve): target, status, bytes.
ORIGIN_LINE = re.compile(r'^\{.*?"target":"([^"]+)","status":(\d+),"body_bytes":(\d+),')
EDGE_LINE = re.compile(r'^\S+ "GET (\S+) HTTP/1\.1" (\d+) (\d+) range="([^"]*)" if_range="([^"]*)" '
                       r'cache=(\S+) etag=(\S*)$')


def release_text(port):
    r = ct.fetch(port, ct.RELEASE)
    assert r.status == 200, r.status
    return r.body


class Edge:
    """An origin serving FOLDER and an edge in front of it. The origin is
    nginx with SHA-256 tags, or with CLOUD the reference cloud, whose
    answers follow the rules file self.rules and which logs every request
    (self.cloud_log)."""

    def __init__(self, root, folder, name, *edge_options, origin_options=(), cloud=False):
        self.log = os.path.join(root, name + "-edge.log")
        self.rules = os.path.join(root, name + "-rules.json")
        self.cloud_log = os.path.join(root, name + "-cloud.jsonl")
        if cloud:
            self.set_rules([])
            self.origin = tc.start([tc.CLOUD, folder, "--rules", self.rules, "--log", self.cloud_log]
                                   + list(origin_options), root, name + "-origin")
        else:
            self.origin = tc.start([NGINX_SERVE, folder, "--sha256-tags"] + list(origin_options), root,
                                   name + "-origin")
        self.edge = None
        try:
            self.start_edge(root, name, *edge_options)
        except Exception:
            self.origin.stop()
            raise
        self.port = self.edge.port
        if not cloud:
            # nginx-serve names its prefix on the line it prints once listening.
            prefix = re.search(r"prefix (\S+)\)", self.origin.proc.stdout.readline()).group(1)
            self.origin_log = os.path.join(prefix, "logs", "access.log")

    def start_edge(self, root, name, *edge_options):
        self.edge = tc.start([NGINX_SERVE, "--edge", "127.0.0.1:%d" % self.origin.port,
                              "--access-log", self.log] + list(edge_options), root, name + "-edge")

    def set_rules(self, rules):
        with open(self.rules + ".tmp", "w") as f:
            json.dump(rules, f)
        os.replace(self.rules + ".tmp", self.rules)

    def stop(self):
        if self.edge is not None:
            self.edge.stop()
        if self.origin.proc.poll() is None:
            self.origin.stop()

    def lines(self, origin=False, count=0):
        """The log's lines, once it has at least COUNT (nginx writes a line
        just after the answer, so a client can be a moment ahead of it; the
        wait ends at once when they are there, its bound only ends a hang)."""
        deadline = time.monotonic() + LOG_WAIT_S
        while True:
            with open(self.origin_log if origin else self.log, encoding="utf-8") as f:
                pattern = ORIGIN_LINE if origin else EDGE_LINE
                found = [m.groups() for m in map(pattern.match, f.read().splitlines()) if m]
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.02)

    def ask(self, path=ct.RELEASE, headers=()):
        """One request through the edge, returned with its cache status once
        the edge has logged it. nginx logs an answer that started a fetch in
        the background (STALE) only when that fetch has ended, so when ask()
        returns no fetch of this client's is out: a rule set now meets the
        edge's next fetch, and the next request meets what the last fetch
        left. Only for a test that is the edge's one client."""
        before = len(self.lines())
        r = ct.fetch(self.port, path, headers)
        found = self.lines(count=before + 1)
        if len(found) <= before:
            raise AssertionError("the edge did not log the answer to %s within %d s" % (path, LOG_WAIT_S))
        return r, found[before][5]

    def until_fetched(self, path=ct.RELEASE):
        """Asks until an answer is one whose fetch from the origin has ended
        (MISS, EXPIRED, or STALE: a fetch in the background): the first
        fetch after the copy ended, as many seconds after the copy was made
        as the edge keeps it, however slow the machine. Returns the answers'
        cache statuses."""
        seen = []
        deadline = time.monotonic() + LOG_WAIT_S + 60
        while not seen or seen[-1] not in ("MISS", "EXPIRED", "STALE"):
            if time.monotonic() > deadline:
                raise AssertionError("the edge did not ask the origin again: %s" % seen)
            seen.append(self.ask(path)[1])
            if seen[-1] == "HIT":
                time.sleep(0.1)
        return seen

    def origin_requests(self, path):
        """The reference cloud's records of requests for PATH (without query)."""
        return [r for r in ct.read_log(self.cloud_log) if r.get("event") == "request" and r["path"] == path]


@unittest.skipUnless(tc.HAVE_NGINX, "nginx is not installed (Debian package nginx-light)")
class EdgeTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        # Three of the edge's 1 MiB slices.
        cls.root = ct.temp_dir(cls)
        cls.data = ct.installer_bytes(SIZE, seed=b"edge")
        cls.folder = tc.publish(cls.root, cls.data)
        cls.path = tc.FILES
        cls.tag = '"%s"' % hashlib.sha256(cls.data).hexdigest()

    def serve(self, name, *edge_options, folder=None, origin_options=(), cloud=False):
        edge = Edge(self.root, folder or self.folder, name, *edge_options, origin_options=origin_options,
                    cloud=cloud)
        self.addCleanup(edge.stop)
        return edge

    def live_folder(self, name):
        live = os.path.join(self.root, "live-" + name)
        shutil.copytree(self.folder, live)
        return live

    def publish_next(self, live, envelope_first=False, between=None):
        """A new release at the origin, as the recipe publishes it: the files
        first, then latest.txt renamed over the old one (ENVELOPE_FIRST: the
        wrong order); BETWEEN() is called between the two steps. Returns the
        new latest.txt."""
        out = os.path.join(self.root, "next")
        if not os.path.isdir(out):
            installer = os.path.join(self.root, "next.exe")
            with open(installer, "wb") as f:
                f.write(ct.installer_bytes(150000, seed=b"next"))
            subprocess.run([tc.TOOL, "publish", "--installer", installer, "--version", NEXT_VERSION, "--key",
                            tc.SECRET, "--fresh-key", tc.FRESH_SECRET, "--out", out, "--allow-refused-installer"],
                           check=True, capture_output=True, timeout=60)
        with open(os.path.join(out, "latest.txt"), "rb") as f:
            new = f.read()

        def files():
            shutil.copytree(os.path.join(out, "files", NEXT_VERSION), os.path.join(live, "files", NEXT_VERSION))

        def envelope():
            shutil.copyfile(os.path.join(out, "latest.txt"), os.path.join(live, "latest.txt.new"))
            os.replace(os.path.join(live, "latest.txt.new"), os.path.join(live, "latest.txt"))
        first, second = (envelope, files) if envelope_first else (files, envelope)
        first()
        if between is not None:
            between()
        second()
        return new

    def test_resumption_answered_from_the_edge_with_the_origin_tag(self):
        edge = self.serve("resume", "--latest-ttl", str(TTL))
        whole = ct.fetch(edge.port, self.path)
        self.assertEqual((whole.status, whole.body, whole.header("ETag")), (200, self.data, self.tag))
        other = '"%s"' % ("1" if self.tag[1] == "0" else "0") + self.tag[2:]
        cases = [  # Range, If-Range, status, body, Content-Range
            ("bytes=1500000-", self.tag, 206, self.data[1500000:], "bytes 1500000-2499999/2500000"),
            ("bytes=1500000-", other, 200, self.data, None),
            ("bytes=1500000-", "W/" + self.tag, 200, self.data, None),
            ("bytes=2500000-", self.tag, 416, None, "bytes */2500000"),
        ]
        for rng, if_range, status, body, content_range in cases:
            with self.subTest(range=rng, if_range=if_range):
                r = ct.fetch(edge.port, self.path, [("Range", rng), ("If-Range", if_range)])
                self.assertEqual(r.status, status)
                if body is not None:
                    self.assertEqual(r.body, body)
                self.assertEqual(r.header("Content-Range"), content_range)
        lines = [line for line in edge.lines(count=5) if line[0] == self.path]
        self.assertEqual([(line[1], line[5]) for line in lines],
                         [("200", "MISS"), ("206", "HIT"), ("200", "HIT"), ("200", "HIT"), ("416", "HIT")])
        self.assertEqual(lines[1][6], self.tag.replace('"', "\\x22"), "the tag sent with the resumption")
        # The origin sent each slice once, for the first request.
        self.assertEqual([line[1:] for line in edge.lines(origin=True, count=3) if line[0] == self.path],
                         [("206", "1048576"), ("206", "1048576"), ("206", "402848")])

    def test_origin_with_a_certificate_of_another_name_or_ca_is_refused(self):
        refusal = os.path.join(ct.PKI, "refusal")
        # untrusted: for localhost, from a CA the edge does not trust;
        # other-host: from a CA the edge trusts here, for another name.
        for name, trusted in (("untrusted", ct.CA), ("other-host", os.path.join(refusal, "refusal-ca.crt"))):
            with self.subTest(certificate=name):
                edge = self.serve("origin-" + name, "--origin-ca", trusted, origin_options=[
                    "--cert", os.path.join(refusal, name + ".crt"), "--key", os.path.join(refusal, name + ".key")])
                self.assertEqual(ct.fetch(edge.port, ct.RELEASE).status, 502)
                self.assertEqual(ct.fetch(edge.port, self.path).status, 502)
                self.assertEqual([line[5] for line in edge.lines(count=2)], ["MISS", "MISS"])

    def test_check_through_the_edge_is_all_ok(self):
        edge = self.serve("check", "--latest-ttl", str(TTL))
        code, out, lines = tc.run_check(edge.port, "--full")
        self.assertEqual(code, 0, out)
        self.assertEqual([(s, n) for s, n, _ in lines if s != "ok"], [], out)
        self.assertEqual([n for _, n, _ in lines], CHECKS, out)
        text = dict((n, r) for _, n, r in lines)
        self.assertRegex(text["freshness"], r'^Cache-Control "public, max-age=%d": caches keep latest\.txt '
                                            r'for at most %d s, so a new release shows within that$' % (TTL, TTL))
        self.assertEqual(text["entity-tag"], "%s, the file's quoted SHA-256" % self.tag)
        # The resumption and the other questions after the first were the edge's own answers.
        caches = [line[5] for line in edge.lines(count=5) if line[0] == self.path]
        self.assertEqual(caches[0], "MISS", out)
        self.assertTrue(len(caches) >= 4 and set(caches[1:]) == {"HIT"}, caches)

    def test_stale_edge_warns(self):
        edge = self.serve("stale", "--latest-ttl", "86400")
        code, out, lines = tc.run_check(edge.port)
        self.assertEqual(code, 0, out)
        warned = [(n, r) for s, n, r in lines if s != "ok"]
        self.assertEqual([n for n, _ in warned], ["freshness"], out)
        self.assertEqual(warned[0][1], 'Cache-Control "public, max-age=86400" lets caches keep latest.txt for '
                                       '86400 s: setups see a new release only that much later. Change: let the '
                                       'edge keep latest.txt for at most 60 s and say so (Cache-Control "public, '
                                       'max-age=60"); the origin sends "no-store" (%s)' % HINT)

    def test_edge_that_strips_or_replaces_the_tag_warns(self):
        with open(EDGE_TEMPLATE, encoding="utf-8") as f:
            recipe = f.read()
        anchor = "        slice 1m;\n"
        self.assertEqual(recipe.count(anchor), 1, "the edge configuration's slice line moved")
        variants = {
            "strip": ("        proxy_hide_header ETag;\n", "no ETag"),
            "replace": ('        proxy_hide_header ETag;\n        add_header ETag \'"edge-1"\';\n',
                        'ETag "edge-1"'),
        }
        for name, (lines_added, seen) in variants.items():
            with self.subTest(variant=name):
                template = os.path.join(self.root, "edge-%s.conf.in" % name)
                with open(template, "w", encoding="utf-8") as f:
                    f.write(recipe.replace(anchor, anchor + lines_added))
                edge = self.serve("tag-" + name, "--template", template)
                code, out, lines = tc.run_check(edge.port)
                warned = [(n, r) for s, n, r in lines if s != "ok"]
                self.assertEqual([n for n, _ in warned], ["entity-tag", "resume"], out)
                self.assertTrue(warned[0][1].startswith("%s is not the file's quoted SHA-256 %s: every "
                                                        "resumption will start again from byte 0. Change: "
                                                        % (seen, self.tag)), out)
                self.assertEqual(code, 0, out)

    def test_new_release_shows_at_the_first_fetch_after_the_copy_ended(self):
        """A new latest.txt at the origin is the edge's answer once the edge
        has fetched it again, which it does at the first request after its
        copy ended (nginx's whole seconds: at least TTL after the copy was
        made), and never earlier: the stated time, bound by what the edge
        did, not by how fast this machine is."""
        live = self.live_folder("fresh")
        edge = self.serve("fresh", "--latest-ttl", str(TTL), folder=live)
        filled = time.time()                   # the edge stored its copy after this
        r, cache = edge.ask()
        old = r.body
        new = self.publish_next(live)
        self.assertNotEqual(new, old)
        asked = edge.until_fetched()
        ended = time.time()
        self.assertEqual(set(asked[:-1]), {"HIT"} if len(asked) > 1 else set(), asked)
        self.assertEqual(asked[-1], "STALE", asked)
        # The copy lived at least its time (nginx counts whole seconds).
        self.assertGreaterEqual(ended - filled, TTL - 1, "the edge asked the origin before its copy ended")
        r, cache = edge.ask()
        self.assertEqual((r.status, r.body), (200, new), cache)
        print("new latest.txt served through the edge %d answers and %.1f s after the copy was made (kept %d s)"
              % (len(asked) + 1, time.time() - filled, TTL), flush=True)

    def test_old_copy_until_it_ends_and_while_its_fetch_is_held(self):
        """The origin's answer to the edge's next fetch of latest.txt is held
        back (a rule of the reference cloud), so what the edge answers
        meanwhile does not depend on how fast this machine is: the old copy,
        first fresh (HIT) and, once it has ended, while its fetch is out
        (STALE for the request that started it, UPDATING for the others).
        The first answer that was not a HIT ended at least the edge's time
        after the copy was fetched. nginx logs the STALE answer only when
        the fetch it started has ended, after the others."""
        live = self.live_folder("held")
        edge = self.serve("held", "--latest-ttl", str(TTL), folder=live, cloud=True)
        filled = time.time()                   # the edge stored its copy at or after this
        old = release_text(edge.port)
        flag = os.path.join(self.root, "held-fetch")
        edge.set_rules([{"path": "/v1/public/installer/latest.txt", "hold_until": flag}])
        self.addCleanup(lambda: open(flag, "w").close())
        new = self.publish_next(live)
        ended = [filled]                       # when each answer had come, the fill's included
        deadline = time.monotonic() + TTL + LOG_WAIT_S
        while [line[5] for line in edge.lines()].count("UPDATING") < 3:
            self.assertLess(time.monotonic(), deadline, "the edge never fetched latest.txt again")
            self.assertEqual(release_text(edge.port), old, "the edge answered with the new copy while its "
                                                           "fetch was held")
            ended.append(time.time())
            time.sleep(0.1)
        open(flag, "w").close()
        caches = [line[5] for line in edge.lines(count=len(ended))]
        self.assertEqual(len(caches), len(ended), caches)
        hits = caches.count("HIT")
        self.assertEqual(caches, ["MISS"] + ["HIT"] * hits + ["UPDATING"] * (len(ended) - hits - 2) + ["STALE"],
                         caches)
        # The answers came one after the other: the first hits + 1 were the
        # fill and the HITs, the next one the STALE answer.
        self.assertGreaterEqual(ended[hits + 1], filled + TTL, "the edge asked the origin before its copy "
                                                               "ended")
        deadline = time.monotonic() + LOG_WAIT_S
        while release_text(edge.port) != new:
            self.assertLess(time.monotonic(), deadline, "the held fetch's answer never replaced the copy")
            time.sleep(0.1)

    def test_origin_fails_the_edge_serves_its_last_good_copy(self):
        """Once the edge holds latest.txt and the installer, an origin that
        stops, or answers every request with 503, costs the setups nothing:
        past its time the edge serves its last copy of latest.txt (STALE)
        and the installer from its slices. check through it reports how old
        that copy is, from the origin's Date that the edge keeps with it."""
        sent = email.utils.formatdate(time.time() - 600, usegmt=True)
        for failure in ("stopped", "503"):
            with self.subTest(origin=failure):
                edge = self.serve("failing-" + failure, "--latest-ttl", "1", cloud=True)
                # The origin's clock says the copy was made 10 minutes ago.
                edge.set_rules([{"path": "/v1/public/installer/latest.txt", "headers": {"Date": sent}}])
                old = release_text(edge.port)
                self.assertEqual(ct.fetch(edge.port, self.path).body, self.data)
                if failure == "stopped":
                    edge.origin.stop()
                else:
                    edge.set_rules([{"path": "*", "status": 503}])
                time.sleep(2.2)                # past the edge's second, in nginx's whole seconds
                r = ct.fetch(edge.port, ct.RELEASE)
                self.assertEqual((r.status, r.body, r.header("Date")), (200, old, sent))
                r = ct.fetch(edge.port, self.path, [("Range", "bytes=1500000-"), ("If-Range", self.tag)])
                self.assertEqual((r.status, r.body), (206, self.data[1500000:]))
                # (The STALE answer is logged once the fetch it started has
                # failed, which may be after the next answer.)
                caches = [line[5] for line in edge.lines(count=4)]
                self.assertEqual(sorted(caches[2:]), ["HIT", "STALE"], caches)
                code, out, lines = tc.run_check(edge.port)
                stale = [(s, r) for s, n, r in lines if n == "stale"]
                self.assertEqual(len(stale), 1, out)
                self.assertEqual(stale[0][0], "warn", out)
                self.assertRegex(stale[0][1], r"^this copy of latest\.txt is 6[0-9][0-9] s old \(Date\), past the "
                                              r"1 s that caches keep it: a cache in front of the origin serves its "
                                              r"last good copy because the origin fails", out)

    def test_what_replaces_the_copy_of_latest_txt(self):
        """What the edge does with each kind of answer of the origin to its
        fetch of latest.txt, once its copy has ended (the fetch in the
        background that the first request after that starts): a failure
        (429, 500, 503, no answer at all) leaves the last good copy, served
        STALE; any other answer replaces it at once, whatever its status
        and headers: a withdrawn release (404, 410, 403, 204), a redirect, a
        501, a 200 with Set-Cookie (not passed on) or with "Vary: *". An
        answer the edge did not keep would never replace the copy, and the
        withdrawn release would be served for ever. Between the cases the
        origin's good answer replaces whatever the edge holds. On a cold
        edge a failure is passed on and not kept."""
        edge = self.serve("answers", "--latest-ttl", "1", cloud=True)
        edge.set_rules([{"path": LATEST_PATH, "status": 503, "retry_after": 7}])
        r, cache = edge.ask()
        self.assertEqual((r.status, r.header("Retry-After"), cache), (503, "7", "MISS"))
        edge.set_rules([])
        r, cache = edge.ask()
        self.assertEqual((r.status, cache), (200, "MISS"), "a cold edge kept the origin's 503")
        good = r.body
        cases = [  # name, the origin's answer, whether it replaces the copy
            ("429", {"status": 429, "retry_after": 30}, False),
            ("500", {"status": 500}, False),
            ("503", {"status": 503, "retry_after": 5}, False),
            ("no answer", {"hang_up": True}, False),
            ("404", {"status": 404}, True),
            ("410", {"status": 410}, True),
            ("403", {"status": 403}, True),
            ("204", {"status": 204}, True),
            ("301", {"status": 301, "headers": {"Location": "https://localhost/moved"}}, True),
            ("302", {"status": 302, "headers": {"Location": "https://localhost/moved"}}, True),
            ("501", {"status": 501}, True),
            ("200 Set-Cookie", {"body": "with a cookie", "headers": {"Set-Cookie": "session=1; Path=/"}}, True),
            ("200 Vary *", {"body": "varies", "headers": {"Vary": "*"}}, True),
        ]
        holds = "good"
        for name, answer, replaces in cases:
            with self.subTest(answer=name):
                if holds != "good":
                    edge.set_rules([])
                    edge.until_fetched()
                    r, cache = edge.ask()
                    self.assertEqual((r.status, r.body), (200, good), "the origin's good answer after %s" % holds)
                    holds = "good"
                edge.set_rules([dict(answer, path=LATEST_PATH)])
                before = len([q for q in edge.origin_requests(LATEST_PATH) if q["rule"] == 1])
                edge.until_fetched()
                self.assertGreater(len([q for q in edge.origin_requests(LATEST_PATH) if q["rule"] == 1]),
                                   before, "the edge's fetch did not meet the origin's answer")
                r, cache = edge.ask()
                if replaces:
                    holds = name
                    self.assertEqual(r.status, answer.get("status", 200), "the edge's answer (%s)" % cache)
                    if "body" in answer:
                        self.assertEqual(r.body, answer["body"].encode())
                    if "Location" in answer.get("headers", {}):
                        self.assertEqual(r.header("Location"), answer["headers"]["Location"])
                    self.assertIsNone(r.header("Set-Cookie"))
                else:
                    self.assertEqual((r.status, r.body, cache), (200, good, "STALE"),
                                     "the last good copy while the origin fails")

    def test_withdrawn_release_is_not_masked(self):
        """The origin's 404 for latest.txt (a release withdrawn, its file
        removed) replaces the edge's copy at the first fetch after the copy
        ended."""
        live = self.live_folder("withdrawn")
        edge = self.serve("withdrawn", "--latest-ttl", str(TTL), folder=live)
        self.assertEqual(edge.ask()[0].status, 200)
        os.unlink(os.path.join(live, "latest.txt"))
        asked = edge.until_fetched()
        self.assertEqual(asked[-1], "STALE", asked)
        for _ in range(2):
            r, cache = edge.ask()
            self.assertEqual(r.status, 404, "the edge still served the withdrawn release (%s) after its fetch "
                                            "met the origin's 404" % cache)

    def test_queries_go_no_further_than_the_edge(self):
        """Requests with queries of their own (a herd that adds ?bust=N) are
        answered from the edge's one copy: the origin is asked once for
        latest.txt, with the setup's own query, and once for the installer's
        slice, without a query."""
        edge = self.serve("queries", "--latest-ttl", "60", cloud=True)
        first = ct.fetch(edge.port, LATEST_PATH + "?bust=0")
        self.assertEqual(first.status, 200)
        for n in range(1, 20):
            r = ct.fetch(edge.port, "%s&bust=%d" % (ct.RELEASE, n))
            self.assertEqual((r.status, r.body), (200, first.body), n)
        for n in range(20):
            r = ct.fetch(edge.port, "%s?bust=%d" % (self.path, n), [("Range", "bytes=0-0")])
            self.assertEqual((r.status, r.body), (206, self.data[:1]), n)
        edge.lines(count=40)
        self.assertEqual([q["query"] for q in edge.origin_requests(LATEST_PATH)],
                         [ct.RELEASE.partition("?")[2]])
        self.assertEqual([q["query"] for q in edge.origin_requests(self.path)], [""])

    def test_shed_connections_count_latest_txt_not_downloads(self):
        """The recipe's limit on connections per address counts the answers
        for latest.txt an address waits on, and not downloads: twelve
        downloads at once from one address (a company behind one NAT
        address), all waiting on the edge's first fetch of the installer, are
        answered 200, where six waits for latest.txt beyond the limit of
        four are answered 503 with a Retry-After."""
        edge = self.serve("shed-conn", "--shed-load", "--shed-burst", "40", "--shed-connections", "4",
                          "--retry-after", "60-114", cloud=True)
        for path, count, expect_shed in ((self.path, 12, 0), (ct.RELEASE, 10, 6)):
            with self.subTest(path=path):
                flag = os.path.join(self.root, "shed-conn-%d" % count)
                self.addCleanup(lambda flag=flag: open(flag, "w").close())
                edge.set_rules([{"path": path.partition("?")[0], "hold_until": flag}])
                answers = []
                sent = []
                lock = threading.Lock()

                def client():
                    try:
                        with ct.Connection(edge.port) as c:
                            c.sock.settimeout(LOG_WAIT_S)
                            with lock:
                                sent.append(1)
                            r = c.request(path)
                    except OSError as e:
                        r = e
                    with lock:
                        answers.append(r)
                threads = [threading.Thread(target=client) for _ in range(count)]
                for t in threads:
                    t.start()
                # The answers that are shed come at once, while the others
                # wait on the held fetch; then the fetch is let go.
                deadline = time.monotonic() + LOG_WAIT_S
                while time.monotonic() < deadline and (len(sent) < count or len(answers) < expect_shed):
                    time.sleep(0.05)
                if not expect_shed:
                    time.sleep(1.0)            # long enough for 503s to come, were there any
                open(flag, "w").close()
                for t in threads:
                    t.join(LOG_WAIT_S + 10)
                statuses = sorted(getattr(r, "status", repr(r)) for r in answers)
                self.assertEqual(statuses, [200] * (count - expect_shed) + [503] * expect_shed)
                for r in answers:
                    if r.status == 503:
                        self.assertIn(int(r.header("Retry-After")), range(60, 115))
                    elif path == self.path:
                        self.assertEqual(r.body, self.data)

    def test_shed_load_answers_503_with_retry_after(self):
        """The recipe's optional limit per client address, set to one request
        a minute and a burst of one: the first two are answered, the next
        get 503 with a Retry-After from the stated range, and no-store."""
        edge = self.serve("shed", "--shed-load", "--shed-rate", "1r/m", "--shed-burst", "1",
                          "--retry-after", "60-114")
        statuses = []
        for _ in range(4):
            r = ct.fetch(edge.port, ct.RELEASE)
            statuses.append(r.status)
        self.assertEqual(statuses, [200, 200, 503, 503])
        self.assertIn(int(r.header("Retry-After")), range(60, 115))
        self.assertEqual(r.header("Cache-Control"), "no-store")

    def test_new_release_during_a_herd_never_names_a_missing_installer(self):
        """Clients ask two edges over and over for latest.txt and then for the
        installer it names, while a new release is published at the origin,
        and a third edge starts cold after it: every latest.txt they get
        names an installer that its edge serves (never 404, because publish
        writes the files before latest.txt), and each edge comes to serve
        the new release (how soon: the single edge's test)."""
        self.assertEqual(herd_through_edges(self, envelope_first=False), [])

    def test_herd_meets_a_missing_installer_when_latest_txt_comes_first(self):
        """The same herd with the wrong order at the origin (latest.txt
        before its files): the check above sees it."""
        self.assertNotEqual(herd_through_edges(self, envelope_first=True), [])


KILLED_TEST = r"""
import os, sys, time
sys.path[:0] = sys.argv[1:3]
import test_check as tc
root, folder, nginx_serve = sys.argv[3:6]
origin = tc.start([tc.CLOUD, folder], root, "killed-origin")
edge = tc.start([nginx_serve, "--edge", "127.0.0.1:%d" % origin.port], root, "killed-edge")
prefix = edge.proc.stdout.readline().split("prefix ")[1].rstrip(")\n")
print(origin.proc.pid, edge.proc.pid, prefix, flush=True)
time.sleep(600)
"""


def children(pid):
    """The pids of the living processes whose parent is PID."""
    out = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid and fields[0] != "Z":
                out.append(int(entry))
    return out


def alive(pid):
    """Whether PID is a process that has not ended (a zombie has)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@unittest.skipUnless(tc.HAVE_NGINX, "nginx is not installed (Debian package nginx-light)")
class LeftoverTests(unittest.TestCase):
    """Servers that a test started end with it, also when ctest kills it at
    its time-out (SIGKILL to the test's own process only)."""

    def wait_ended(self, pids):
        deadline = time.monotonic() + LOG_WAIT_S
        while [p for p in pids if alive(p)] and time.monotonic() < deadline:
            time.sleep(0.05)
        return [p for p in pids if alive(p)]

    def start_killed_test(self, root, folder):
        """A test process that started a reference cloud and an edge in front
        of it: (the process, the cloud's pid, nginx-serve's pid, the pids of
        nginx's master and workers, nginx-serve's prefix)."""
        script = os.path.join(root, "killed-test.py")
        with open(script, "w") as f:
            f.write(KILLED_TEST)
        test = subprocess.Popen([sys.executable, script, os.path.join(TESTS, "cloud"), os.path.join(TESTS, "release"),
                                 root, folder, NGINX_SERVE], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: test.poll() is None and test.kill())
        line = test.stdout.readline().split()
        self.assertEqual(len(line), 3, "the test process did not start its servers")
        cloud, serve, prefix = int(line[0]), int(line[1]), line[2]
        self.addCleanup(self.end, [cloud, serve])
        master = children(serve)
        self.assertEqual(len(master), 1, "nginx-serve's nginx")
        nginx = master + children(master[0])
        self.addCleanup(self.end, nginx)
        return test, cloud, serve, nginx, prefix

    @staticmethod
    def end(pids):
        """Ends what a failed case left, not to leave it to the next test."""
        for pid in pids:
            if alive(pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass

    def test_servers_end_with_a_killed_test(self):
        root = ct.temp_dir(self)
        folder = tc.publish(root, ct.installer_bytes(5000, seed=b"killed"))
        for killed in ("test", "nginx-serve"):
            with self.subTest(killed=killed):
                test, cloud, serve, nginx, prefix = self.start_killed_test(root, folder)
                self.assertTrue(os.path.isdir(prefix), prefix)
                os.kill(test.pid if killed == "test" else serve, signal.SIGKILL)
                left = self.wait_ended([cloud, serve] + nginx if killed == "test" else nginx)
                self.assertEqual(left, [], "processes left after the %s was killed (cloud %d, nginx-serve %d, "
                                           "nginx %s)" % (killed, cloud, serve, nginx))
                if killed == "test":
                    self.assertFalse(os.path.exists(prefix), "nginx-serve's prefix, left after its stop")
                test.kill()
                test.wait()
                self.assertEqual(self.wait_ended([cloud, serve]), [], "the test's servers after its end")


def names_in(envelope):
    """(version, fileName) of the envelope's manifest (not verified: the
    test only follows where it points)."""
    fields = dict(line.split(b"=", 1) for line in envelope.splitlines() if b"=" in line)
    payload = fields[b"payload"]
    doc = json.loads(base64.urlsafe_b64decode(payload + b"=" * (-len(payload) % 4)))
    artifact = doc["artifacts"][0]
    return doc["version"], artifact["fileName"]


def herd_through_edges(case, envelope_first):
    """Runs the herd of the two tests above; returns the answers that named
    a missing installer (edge, version, status). Fails the case when an edge
    does not serve the new release within its stated time."""
    live = case.live_folder("herd-%s" % envelope_first)
    edges = [case.serve("herd-%s-%d" % (envelope_first, i), "--latest-ttl", str(TTL), folder=live)
             for i in range(2)]
    missing = []
    newest = {}
    lock = threading.Lock()
    stop = threading.Event()

    def client(edge):
        count = 0
        while not stop.is_set() and count < 400:
            count += 1
            version, name = names_in(release_text(edge.port))
            r = ct.fetch(edge.port, "/v1/public/installer/files/%s/%s" % (version, name),
                         [("Range", "bytes=0-0")])
            with lock:
                if r.status not in (200, 206):
                    missing.append((edge.port, version, r.status))
                if r.status in (200, 206):
                    newest[edge.port] = max(newest.get(edge.port, "0"), version)
            time.sleep(0.02)
    threads = [threading.Thread(target=client, args=(e,)) for e in edges for _ in range(2)]
    for t in threads:
        t.start()
    def cold_edge(step):
        """A cold edge started now, asked for latest.txt first and then for
        the installer it names: the version it named."""
        cold = Edge(case.root, live, "herd-cold-%s-%s" % (envelope_first, step), "--latest-ttl", str(TTL))
        try:
            version, name = names_in(release_text(cold.port))
            r = ct.fetch(cold.port, "/v1/public/installer/files/%s/%s" % (version, name),
                         [("Range", "bytes=0-0")])
            if r.status not in (200, 206):
                missing.append((cold.port, version, r.status))
        finally:
            cold.stop()
        return version
    try:
        time.sleep(0.5)
        # A cold edge between the two steps of publishing meets what a cold
        # edge meets at any moment of it.
        case.publish_next(live, envelope_first, between=lambda: cold_edge("during"))
        published = time.time()
        version = cold_edge("after")
        # How soon an edge serves a new latest.txt is the single edge's test
        # above; here each must come to it, while the herd goes on.
        deadline = published + TTL + LOG_WAIT_S
        while time.time() < deadline and not all(newest.get(e.port) == NEXT_VERSION for e in edges):
            time.sleep(0.1)
        late = [e.port for e in edges if newest.get(e.port) != NEXT_VERSION]
    finally:
        stop.set()
        for t in threads:
            t.join(30)
    if not envelope_first:
        case.assertEqual(late, [], "edges that did not come to serve the new release")
        case.assertEqual(version, NEXT_VERSION, "the cold edge's latest.txt")
    return missing


class RecipeTests(unittest.TestCase):
    """The edge recipe in tools/cloud/README.md is the configuration these tests serve."""

    def test_readme_shows_the_edge_configuration(self):
        p = subprocess.run([sys.executable, NGINX_SERVE, "--print-edge-recipe"], capture_output=True, text=True,
                           timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(os.path.join(ct.REPO, "tools", "cloud", "README.md"), encoding="utf-8") as f:
            readme = f.read()
        begin, end = "<!-- edge-recipe: begin -->\n```nginx\n", "```\n<!-- edge-recipe: end -->"
        self.assertEqual(readme.count(begin), 1)
        shown = readme[readme.index(begin) + len(begin):readme.index(end)]
        self.assertEqual(shown, p.stdout, "the README's edge recipe differs from nginx/edge.conf.in: "
                                          "paste the output of nginx-serve --print-edge-recipe")
        self.assertNotRegex(shown, "@[A-Z_]+@", "a placeholder was left unfilled")
        self.assertIn("        proxy_cache_valid 429 500 502 503 504 0s;\n"
                      "        proxy_cache_valid any 60s;\n", shown)
        self.assertIn("    proxy_cache_use_stale error timeout updating http_429 http_500 http_502 http_503 http_504;\n"
                      "    proxy_cache_background_update on;\n", shown)
        # The optional load shedding is shown, commented out.
        self.assertIn("    # ~ limit_req zone=vornquill_rate burst=20 nodelay;\n", shown)
        self.assertNotIn("\n    limit_req ", shown)


    def test_edge_command_line_refusals(self):
        cases = [
            (["--edge", "localhost"], "--edge 'localhost': give the origin as HOST:PORT"),
            (["--edge", "https://localhost:1"], "give the origin as HOST:PORT"),
            ([self.id(), "--edge", "localhost:1"], "--edge serves the origin's answers, not a folder"),
            (["--edge", "localhost:1", "--latest-ttl", "0"], "--latest-ttl must be at least 1, not 0"),
        ]
        for argv, message in cases:
            with self.subTest(argv=argv):
                p = subprocess.run([sys.executable, NGINX_SERVE] + argv, capture_output=True, text=True, timeout=30)
                self.assertEqual(p.returncode, 2, p.stdout + p.stderr)
                self.assertIn(message, p.stderr)


class FreshnessJudgementTests(unittest.TestCase):
    """The freshness check reads Cache-Control and Age of latest.txt as the
    caches between the cloud and the setup read them."""

    @classmethod
    def setUpClass(cls):
        cls.f = tc.Fixture.make(cls)
        cls.root = ct.temp_dir(cls)
        cls.rules = os.path.join(cls.root, "rules.json")
        cls.set_rules([])
        cls.server = tc.start([tc.CLOUD, cls.f.folder, "--rules", cls.rules], cls.root, "cloud")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    @classmethod
    def set_rules(cls, rules):
        tc.ReferenceCloudTests.set_rules.__func__(cls, rules)

    def test_table(self):
        usable = "latest.txt comes without a usable Cache-Control"
        cases = [  # headers of latest.txt, status, start of the reason
            ({"Cache-Control": "no-store"}, "ok",
             'Cache-Control "no-store": no cache serves latest.txt without asking the cloud'),
            ({"Cache-Control": "No-Cache"}, "ok", 'Cache-Control "No-Cache": no cache serves'),
            ({"Cache-Control": "public, max-age=60"}, "ok",
             'Cache-Control "public, max-age=60": caches keep latest.txt for at most 60 s'),
            ({"Cache-Control": "max-age=300", "Age": "299"}, "ok",
             'Cache-Control "max-age=300": caches keep latest.txt for at most 300 s, so a new release shows '
             'within that, this copy 299 s old'),
            ({"Cache-Control": "max-age=301"}, "warn",
             'Cache-Control "max-age=301" lets caches keep latest.txt for 301 s'),
            ({"Cache-Control": "max-age=0, s-maxage=3600"}, "warn",
             'Cache-Control "max-age=0, s-maxage=3600" lets caches keep latest.txt for 3600 s'),
            ({"Cache-Control": "s-maxage=60, max-age=86400"}, "ok", 'Cache-Control "s-maxage=60, max-age=86400": '
             'caches keep latest.txt for at most 60 s'),
            ({"Cache-Control": "public, max-age=60", "Age": "4000"}, "warn",
             "latest.txt was served 4000 s after a cache fetched it (Age 4000): setups see a new release only "
             "that much later. Change: let the edge keep latest.txt for at most 60 s (%s)" % HINT),
            ({"Cache-Control": None}, "warn", usable + ": a cache between the cloud and the setup may keep it"),
            ({"Cache-Control": "private"}, "warn", usable + ' ("private")'),
            ({"Cache-Control": "max-age=soon"}, "warn", usable + ' ("max-age=soon")'),
        ]
        for headers, status, reason in cases:
            with self.subTest(headers=headers):
                self.set_rules([{"path": "/v1/public/installer/latest.txt", "headers": headers}])
                code, out, lines = tc.run_check(self.server.port)
                self.assertEqual(code, 0, out)
                found = [(s, r) for s, n, r in lines if n == "freshness"]
                self.assertEqual(len(found), 1, out)
                self.assertEqual(found[0][0], status, out)
                self.assertTrue(found[0][1].startswith(reason), out)
                if status == "warn":
                    self.assertIn("Change: ", found[0][1])
                # A copy 4000 s old is also past the time caches keep it.
                stale = ["stale"] if headers.get("Age") == "4000" else []
                self.assertEqual([n for s, n, _ in lines if s != "ok"],
                                 (["freshness"] if status == "warn" else []) + stale,
                                 out)


if __name__ == "__main__":
    tc.TOOL = os.path.abspath(sys.argv.pop(1))
    ct.run_suite("edge.check", EdgeTests, RecipeTests, FreshnessJudgementTests, LeftoverTests)
