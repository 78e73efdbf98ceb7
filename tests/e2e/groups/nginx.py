"""The same published folder on nginx, with its own and with SHA-256 entity
tags; what nginx received is read from its own access log."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)


def nginx_resume(suite, sc):
    """A silent installation from nginx serving the published folder, with
    a part file of the release in the shared work folder. nginx does not
    listen yet when the run starts; while the run waits out its first
    failed attempt, the part file is put into the shared folder it has
    just made and nginx is started. nginx's own entity tags never match
    the SHA-256 in If-Range, so it answers the resumption with the whole
    file and the program starts again from byte 0; with SHA-256 tags it
    continues where the part file ends."""
    b = suite.b
    b.serve("good")
    installer = b.installer_of("good")
    size = os.path.getsize(installer)
    sha = sha256_file(installer)
    held = size // 3
    with open(installer, "rb") as f:
        head = f.read(held)
    b.stop_cloud()
    nginx = None
    try:
        plan = dict(sc, shared=True)
        inst = suite.prepare_machine(plan)
        mark = b.reqlog_mark()
        p = b.start(suite.switches(plan, inst))
        shared = os.path.join(b.programdata, SHARED)
        suite.plant_part_file(p, sha, head)
        nginx = b.start_nginx(sc["tags"])
        rc = p.wait(120)
    finally:
        if nginx is not None:
            b.stop_server(nginx)
        b.start_cloud()
    # What nginx received, from its own access log; the reference cloud
    # was not running.
    run = Run(b, rc, shared, mark, b.unix_of(inst), requests=b.nginx_requests())
    suite.last_run = run
    c = Checker(sc["name"])
    restart = "the server sent the whole file again; restarted from byte 0"
    check_common(c, run, dict(
        code=0, reason="installed", message=("information", msg_installed()),
        lines=["latest.txt attempt 1 failed (status 0, error ",
               "resuming a partial download at %d bytes" % held] +
              ([] if sc["tags"] else [restart]),
        no_lines=[restart] if sc["tags"] else []))
    c.eq(b.requests_since(mark), [], "requests the reference cloud received")
    c.eq([(r["query"], r["status"]) for r in run.releases()], [(RELEASE_QUERY, 200)],
         "release requests nginx answered")
    d = run.downloads()
    c.eq(len(d), 1, "installer requests nginx answered")
    if d:
        c.eq((d[0]["headers"].get("Range"), d[0]["headers"].get("If-Range")),
             ("bytes=%d-" % held, '"%s"' % sha), "the resumption's Range and If-Range")
        c.eq((d[0]["status"], d[0]["body_bytes"], d[0]["completion"]),
             (206, size - held, "OK") if sc["tags"] else (200, size, "OK"),
             "nginx's answer to the resumption")
    check_installed(c, run, b)
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [
        dict(name="nginx-resume-restarts", runner=nginx_resume, tags=False),
        dict(name="nginx-sha256-tags-resume", runner=nginx_resume, tags=True),
    ]
