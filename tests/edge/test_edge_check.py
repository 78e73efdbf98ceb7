"""The caching edge of the hosting recipe (tools/cloud/nginx/edge.conf.in,
started by nginx-serve --edge) in front of nginx serving a published folder
(the origin), each on a free loopback port: what the edge answers and keeps,
how soon a new latest.txt shows through it, and what vornquill-release check
reports through it, for the recipe's configuration and for broken ones. Also
the check's judgement of latest.txt's caching headers, against the reference
cloud told to send them.

    test_edge_check.py <vornquill-release>
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
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
SIZE = 2500000
NEXT_VERSION = "2.5.0"
CHECKS = ["release", "freshness", "stale", "envelope", "tls", "certificate", "installer", "entity-tag", "resume",
          "if-range", "past-end", "content", "redirects"]
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
    """nginx serving FOLDER (SHA-256 tags) and an edge in front of it."""

    def __init__(self, root, folder, name, *edge_options, origin_options=()):
        self.log = os.path.join(root, name + "-edge.log")
        self.origin = tc.start([NGINX_SERVE, folder, "--sha256-tags"] + list(origin_options), root,
                               name + "-origin")
        try:
            self.edge = tc.start([NGINX_SERVE, "--edge", "127.0.0.1:%d" % self.origin.port,
                                  "--access-log", self.log] + list(edge_options), root, name + "-edge")
        except Exception:
            self.origin.stop()
            raise
        self.port = self.edge.port
        # nginx-serve names its prefix on the line it prints once listening.
        prefix = re.search(r"prefix (\S+)\)", self.origin.proc.stdout.readline()).group(1)
        self.origin_log = os.path.join(prefix, "logs", "access.log")

    def stop(self):
        self.edge.stop()
        self.origin.stop()

    def lines(self, origin=False, count=0):
        """The log's lines, once it has at least COUNT (nginx writes a line
        just after the answer, so a client can be a moment ahead of it)."""
        deadline = time.monotonic() + 3
        while True:
            with open(self.origin_log if origin else self.log, encoding="utf-8") as f:
                pattern = ORIGIN_LINE if origin else EDGE_LINE
                found = [m.groups() for m in map(pattern.match, f.read().splitlines()) if m]
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.02)


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

    def serve(self, name, *edge_options, folder=None, origin_options=()):
        edge = Edge(self.root, folder or self.folder, name, *edge_options, origin_options=origin_options)
        self.addCleanup(edge.stop)
        return edge

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

    def test_new_release_shows_within_the_stated_time(self):
        live = os.path.join(self.root, "live")
        shutil.copytree(self.folder, live)
        edge = self.serve("fresh", "--latest-ttl", str(TTL), folder=live)
        filled = time.time()                   # the edge stored its copy at or after this
        old = release_text(edge.port)
        self.assertEqual(release_text(edge.port), old)
        self.assertEqual([line[5] for line in edge.lines(count=2)], ["MISS", "HIT"])

        # A new release at the origin, as the recipe publishes it: the files
        # first, then latest.txt renamed over the old one.
        installer = os.path.join(self.root, "next.exe")
        with open(installer, "wb") as f:
            f.write(ct.installer_bytes(150000, seed=b"next"))
        subprocess.run([tc.TOOL, "publish", "--installer", installer, "--version", NEXT_VERSION, "--key",
                        tc.SECRET, "--out", os.path.join(self.root, "next"), "--allow-refused-installer"],
                       check=True, capture_output=True,
                       timeout=60)
        shutil.copytree(os.path.join(self.root, "next", "files", NEXT_VERSION),
                        os.path.join(live, "files", NEXT_VERSION))
        shutil.copyfile(os.path.join(self.root, "next", "latest.txt"), os.path.join(live, "latest.txt.new"))
        published = time.time()
        os.replace(os.path.join(live, "latest.txt.new"), os.path.join(live, "latest.txt"))
        with open(os.path.join(live, "latest.txt"), "rb") as f:
            new = f.read()
        self.assertNotEqual(new, old)

        # nginx counts whole seconds: a copy stored in second S is fresh
        # through second S + TTL, so at least until filled + TTL (an answer
        # that ends before then must still be the old one), and a fresh fetch
        # comes at most TTL + 1 s after it was stored.
        still = release_text(edge.port)
        if time.time() < filled + TTL:
            self.assertEqual(still, old, "the edge asked the origin before its copy ended")
        # The stated time, nginx's whole second, and a second for answers
        # slowed by a loaded machine.
        deadline = published + TTL + 1 + 1.0
        while True:
            seen = release_text(edge.port)
            if seen == new or time.time() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(seen, new, "the edge still served the old latest.txt %.1f s after the new one was "
                                    "published (the edge keeps it %d s)" % (time.time() - published, TTL))
        print("new latest.txt served through the edge %.1f s after it was published (kept %d s)"
              % (time.time() - published, TTL), flush=True)


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
        self.assertNotIn("@", shown, "a placeholder was left unfilled")
        self.assertIn("proxy_cache_valid 200 204 404 60s;", shown)


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
                self.assertEqual([n for s, n, _ in lines if s != "ok"], ["freshness"] if status == "warn" else [],
                                 out)


if __name__ == "__main__":
    tc.TOOL = os.path.abspath(sys.argv.pop(1))
    ct.run_suite("edge.check", EdgeTests, RecipeTests, FreshnessJudgementTests)
