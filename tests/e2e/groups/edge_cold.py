"""A cold edge in front of a dead origin: the edge of the hosting recipe,
with nothing in its cache, whose origin does not answer. The edge answers
every request 502; the run retries as for any 5xx answer, with its full
back-off (about two minutes), and ends as the exit-code table says for a
cloud that is not usable: code 1, reason "release"."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)
from groups.edge import Edges, answers, silent_run

# Eight attempts with seven waits of 2, 4, 8, 16, 32, 32 and 32 s.
ATTEMPTS = 8


def cold_edge_dead_origin(suite, sc):
    b = suite.b
    edges = Edges(suite, "good")
    try:
        edges.stop_origin()
        edges.start_edge("a")
        run = silent_run(suite, sc, edges, "a", "good", timeout=240)
    finally:
        edges.stop()
    c = Checker(sc["name"])
    check_common(c, run, dict(code=1, reason="release", message=("error", msg_cannot_reach(b.base)),
                              lines=["latest.txt attempt %d failed (status 502, error 0)" % ATTEMPTS]))
    c.eq(run.log.count("latest.txt attempt "), ATTEMPTS, "failed attempts in the log")
    c.eq(answers(run), [("latest", 502, "MISS")] * ATTEMPTS, "the edge's answers (path, status, cache)")
    check_no_installer_left(c, run)
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [dict(name="edge-cold-origin-dead", runner=cold_edge_dead_origin)]
