"""Redirects: followed on HTTPS, never to plain HTTP."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)

import socket
import threading

REDIRECT_FAILED = 12156    # ERROR_WINHTTP_REDIRECT_FAILED


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


def redirect_to_http(suite, sc):
    """The cloud answers every release request with a redirect to plain
    HTTP on a port that listens. The program must not follow it: the
    plain port sees no connection. WinHTTP does not hand the redirect
    back as a response; it fails the request with
    ERROR_WINHTTP_REDIRECT_FAILED, so each attempt is a failed exchange
    and the run ends, after its eight attempts, as an unreachable cloud."""
    b = suite.b
    listener = PlainListener()
    target = "http://127.0.0.1:%d%s?%s" % (listener.port, RELEASE_PATH, RELEASE_QUERY)
    plan = dict(sc, release="good", rules=[rule(RELEASE_PATH, status=302,
                                                headers={"Location": target})],
                code=1, reason="release", message=("error", msg_cannot_reach(b.base)),
                timeout=240)
    try:
        run = suite.run_plain(plan)
    finally:
        listener.close()
    suite.last_run = run
    c = Checker(sc["name"])
    check_common(c, run, plan)
    c.eq([line for line in run.log.lines if line.startswith("latest.txt attempt ")],
         ["latest.txt attempt %d failed (status 0, error %d)" % (n, REDIRECT_FAILED)
          for n in range(1, 9)], "attempt lines")
    c.eq([r["status"] for r in run.releases()], [302] * 8, "release requests' statuses")
    c.eq(listener.connections, 0, "connections to the plain-HTTP port")
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""

    def redirect_followed(c, run):
        r = run.releases()
        c.eq([(x["status"], "moved=1" in x["query"]) for x in r], [(302, False), (200, True)],
             "release requests (status, redirected)")
        check_installed(c, run, b)

    return [
        dict(name="redirect-https-followed", release="good",
             rules=[rule(RELEASE_PATH, nth=1, status=302,
                         headers={"Location": "%s%s?%s&moved=1" % (b.base, RELEASE_PATH,
                                                                   RELEASE_QUERY)})],
             code=0, reason="installed", message=("information", msg_installed()),
             check=redirect_followed),
        dict(name="redirect-to-http", runner=redirect_to_http),
    ]
