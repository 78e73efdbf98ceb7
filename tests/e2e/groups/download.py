"""The download loop: statuses, sizes, drops and resumptions, the part file in
the shared work folder, and a resumption across runs."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)


def across_runs(suite, sc):
    """A part file left in the shared work folder by one run is resumed by
    the next. Under Wine the shared folder is private only in the run that
    creates it, so the second run gets a newly made shared folder into
    which the first run's part file is put back while the release answer
    is held back."""
    b = suite.b
    b.serve("good")
    size = os.path.getsize(b.installer_of("good"))
    sha = sha256_file(b.installer_of("good"))
    drop = size // 3
    b.set_rules([rule(FILES, nth=1, drop_after=drop), rule(FILES, nth=2, status=404)])
    sc1 = dict(sc, name=sc["name"] + "-1", shared=True)
    inst = suite.prepare_machine(sc1)
    mark = b.reqlog_mark()
    rc = b.start(suite.switches(sc1, inst)).wait(90)
    first = Run(b, rc, os.path.join(b.programdata, SHARED), mark, b.unix_of(inst))
    c = Checker(sc["name"])
    check_common(c, first, dict(code=6, reason="release-gone", message=("error", MSG_GONE)))
    part = os.path.join(first.folder, sha + ".part")
    c.true(os.path.isfile(part), "the first run did not keep its part file in the shared folder")
    if not os.path.isfile(part):
        return c.failures
    held = os.path.getsize(part)
    c.true(0 < held < size, "part file of %d bytes" % held)
    saved = os.path.join(b.work, "saved.part")
    shutil.copyfile(part, saved)

    # The second run: the same part file, and two other releases' part
    # files that must be cleaned away.
    shutil.rmtree(first.folder)
    flag, release = b.hold()
    b.set_rules([rule(RELEASE_PATH, hold_until=flag)])
    mark = b.reqlog_mark()
    p = b.start(suite.switches(sc1, inst))
    shared = os.path.join(b.programdata, SHARED)
    if not suite.wait_for(suite.shared_log_made, 20):
        p.kill()
        return c.failures + ["the second run made no shared folder"]
    shutil.copyfile(saved, os.path.join(shared, sha + ".part"))
    for other in ("1" * 64, "2" * 64):
        with open(os.path.join(shared, other + ".part"), "wb") as f:
            f.write(b"older release")
    release()
    rc = p.wait(90)
    second = Run(b, rc, shared, mark, b.unix_of(inst))
    check_common(c, second, dict(code=0, reason="installed",
                                 message=("information", msg_installed()),
                                 lines=["resuming a partial download at %d bytes" % held]))
    d = second.downloads()
    c.eq(len(d), 1, "installer requests of the second run")
    if d:
        c.eq(d[0]["headers"].get("Range"), "bytes=%d-" % held, "second run's Range")
        c.eq(d[0]["status"], 206, "second run's status")
        c.eq(d[0]["body_bytes"], size - held, "bytes sent to the second run")
    check_installed(c, second, b)
    return c.failures


def part_file_directory(suite, sc):
    """A directory stands at the part file's name in the shared work
    folder (made while the release answer is held back): the part file
    cannot be created, the run ends with "part-file" and the system's
    error, nothing is downloaded and the directory is left as it was."""
    b = suite.b
    b.serve("good")
    sha = sha256_file(b.installer_of("good"))
    started = suite.start_shared_held(sc, RELEASE_PATH)
    if started is None:
        return ["the run made no shared folder"]
    p, plan, inst, mark, shared, release = started
    part = os.path.join(shared, sha + ".part")
    os.mkdir(part)
    with open(os.path.join(part, "inside.txt"), "w") as f:
        f.write("not the program's")
    release()
    run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
    suite.last_run = run
    c = Checker(sc["name"])
    check_common(c, run, dict(code=5, reason="part-file",
                              message=("error", "Setup could not create its download file "
                                                "(error %d)." % ERROR_ACCESS_DENIED),
                              downloads=0))
    c.eq(sorted(os.listdir(part)) if os.path.isdir(part) else None, ["inside.txt"],
         "the directory at the part file's name")
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    size = os.path.getsize(b.installer_of("good"))
    sha = sha256_file(b.installer_of("good"))
    drop = size // 2

    def resumed(c, run):
        d = run.downloads()
        c.true(len(d) >= 2, "fewer than two installer requests")
        if len(d) >= 2:
            held = run.log.value("download attempt 1 stopped at ")
            held = int(held.split()[0]) if held else None
            c.true(held is not None and 0 < held < size, "attempt 1 held %r bytes" % held)
            c.eq(d[1]["headers"].get("Range"), "bytes=%s-" % held, "resumed request's Range")
            c.eq(d[1]["headers"].get("If-Range"), '"%s"' % sha, "resumed request's If-Range")
            c.eq(d[1]["status"], 206, "resumed request's status")
        check_installed(c, run, b)

    def restarted(c, run):
        d = run.downloads()
        c.true(len(d) == 2 and "Range" in d[1]["headers"], "second request was no resumption")
        if len(d) == 2:
            c.eq((d[1]["status"], d[1]["body_bytes"]), (200, size), "answer to the resumption")
        check_installed(c, run, b)

    def restarted_next_attempt(c, run):
        d = run.downloads()
        c.eq(len(d), 3, "installer requests")
        if len(d) == 3:
            c.true("Range" in d[1]["headers"], "second request was no resumption")
            c.true("Range" not in d[2]["headers"], "third request still asked for a range")
            c.eq(d[2]["status"], 200, "third request's status")
        check_installed(c, run, b)

    def part_kept_shared(c, run):
        part = os.path.join(run.folder, sha + ".part")
        c.eq(os.path.getsize(part) if os.path.exists(part) else None, drop,
             "part file kept in the shared folder")

    def eight_download_failures(c, run):
        c.eq(run.log.count("download attempt "), 8, "download attempt lines")
        c.eq(run.log.count("retrying in 1000 ms"), 7, "waits of 1 s")
        c.eq(len(run.releases()), 1, "release requests")
        part_kept_shared(c, run)

    def part_deleted_shared(c, run):
        c.eq(run.log.value("work folder reuse: "), "yes (private)", "work folder kind")
        check_no_installer_left(c, run)

    return [
        dict(name="download-404", release="good",
             rules=[rule(FILES, status=404)], code=6, reason="release-gone",
             message=("error", MSG_GONE), check=fresh_cleanup),
        dict(name="download-204", release="good",
             rules=[rule(FILES, status=204)], code=6, reason="release-gone",
             message=("error", MSG_GONE), downloads=1, check=fresh_cleanup),
        dict(name="download-eight-failures-silent", release="good", shared=True,
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1),
                    rule(FILES, status=503, retry_after=1)],
             code=1, reason="download-failed", message=("error", MSG_FAILED),
             lines=["download attempt 8 stopped at %d bytes (status 503, error 0)" % drop],
             downloads=8, check=eight_download_failures),
        dict(name="part-file-is-a-directory", release="good",
             runner=part_file_directory),
        dict(name="download-407", release="good",
             rules=[rule(FILES, status=407)], code=1, reason="proxy-auth",
             message=("error", msg_proxy(b.base)), downloads=1, check=fresh_cleanup),
        dict(name="download-403", release="good",
             rules=[rule(FILES, status=403)], code=1, reason="download-status",
             message=("error", "The download failed (HTTP 403). Run Setup again later."),
             downloads=1, check=fresh_cleanup),
        dict(name="download-rate-limited", release="good", shared=True,
             rules=[rule(FILES, nth=1, drop_after=drop),
                    rule(FILES, nth=2, status=429, retry_after=301)],
             code=1, reason="rate-limited", message=("error", msg_minutes(6)),
             lines=["download attempt 1 stopped at %d bytes" % drop], downloads=2,
             check=part_kept_shared),
        dict(name="content-length-above", release="good", shared=True,
             rules=[rule(FILES, content_length=size + 1)], code=2, reason="oversized-download",
             message=("error", MSG_SIZE), check=part_deleted_shared),
        dict(name="content-length-below", release="good",
             rules=[rule(FILES, content_length=size - 1)], code=2, reason="download-size",
             message=("error", MSG_SIZE), check=fresh_cleanup),
        dict(name="drop-then-resume", release="good",
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1)], code=0,
             reason="installed", message=("information", msg_installed()),
             lines=["download attempt 1 stopped at "], check=resumed),
        dict(name="resume-answered-200", release="good",
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1),
                    rule(FILES, nth=2, ignore_range=True)], code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["the server sent the whole file again; restarted from byte 0"],
             downloads=2, check=restarted),
        dict(name="resume-answered-416", release="good",
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1),
                    rule(FILES, nth=2, status=416, retry_after=1)], code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["the server sent the whole file again; restarted from byte 0",
                    "download attempt 2 stopped at 0 bytes (status 416, error 0)"],
             check=restarted_next_attempt),
        dict(name="resume-wrong-content-range", release="good",
             rules=[rule(FILES, nth=1, drop_after=drop, retry_after=1),
                    rule(FILES, nth=2, content_range="bytes 0-9/%d" % (size + 1),
                         retry_after=1)],
             code=0, reason="installed", message=("information", msg_installed()),
             lines=["the server sent the whole file again; restarted from byte 0",
                    "download attempt 2 stopped at 0 bytes (status 206, error 0)"],
             check=restarted_next_attempt),
        dict(name="resume-across-runs", release="good", runner=across_runs),
    ]
