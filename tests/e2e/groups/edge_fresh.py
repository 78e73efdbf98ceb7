"""The edge's stale copy, bounded by the freshness window: the caching edge of
the hosting recipe (tools/cloud/nginx/edge.conf.in) holds the release, then
its origin stops. The edge keeps serving its last good latest.txt; a run
inside the statement's window installs from it, and a run after the window
is refused before anything is downloaded, although the edge serves the very
same bytes. The edges and runs are those of the group edge."""

import shutil

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)
from groups import edge
from groups import fresh

# Long enough for one installation through the edge under Wine on a busy
# machine, short enough to wait out.
WINDOW_S = 45


def stale_until_window_passes(suite, sc):
    b = suite.b
    out = fresh.copy_release(b, "good", "edge-fresh-short")
    window = b.freshen(out, "--window", str(WINDOW_S))
    edges = edge.Edges(suite, "edge-fresh-short")
    c = Checker(sc["name"])
    try:
        edges.start_edge("a")
        edges.warm()
        edges.stop_origin()
        edges.wait_stale("a")
        inside = edge.silent_run(suite, sc, edges, "a", "edge-fresh-short")
        edge.installed(c, inside, b, "edge-fresh-short", lines=[fresh.window_line(fresh.FRESH_KID, window)])
        c.eq([(kind, status) for kind, status, _ in edge.answers(inside)],
             [("latest", 200), ("installer", 200)], "the edge's answers inside the window")
        c.true(any(cache in ("STALE", "UPDATING") for kind, _, cache in edge.answers(inside) if kind == "latest"),
               "the edge's latest.txt inside the window was not its stale copy: %s" % edge.answers(inside))
        suite.cleanup_run(inside)
        while time.time() < window[1] + 1.2:
            time.sleep(0.2)
        edges.wait_stale("a")
        after = edge.silent_run(suite, dict(sc, name=sc["name"] + "-after"), edges, "a", "edge-fresh-short")
    finally:
        edges.stop()
    check_common(c, after, fresh.stale_expected(window))
    fresh.stale_checks(c, after, window)
    c.eq([(kind, status, "STALE" if cache == "UPDATING" else cache) for kind, status, cache in edge.answers(after)],
         [("latest", 200, "STALE")], "the edge's answers after the window (path, status, cache)")
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [dict(name="edge-stale-copy-until-the-window-passes", runner=stale_until_window_passes)]
