"""The windowed runs under Xvfb: the progress window, Cancel at every stage,
the questions and the final boxes."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)

# A cancel during a back-off wait ends the run within this many seconds of
# the click (the wait looks at the cancel every 100 ms; the window's
# fail-safe ends the process after 4 s).
CANCEL_HEEDED_S = 3.0


def visible_windows():
    """The visible windows titled TITLE with their geometry; a window that
    goes away while it is looked at is left out."""
    r = run_quiet(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % TITLE])
    out = []
    for wid in r.stdout.decode().split():
        g = run_quiet(["xdotool", "getwindowgeometry", "--shell", wid]).stdout.decode()
        geo = dict(line.split("=", 1) for line in g.split() if "=" in line)
        try:
            out.append({"id": wid, "x": int(geo["X"]), "y": int(geo["Y"]),
                        "w": int(geo["WIDTH"]), "h": int(geo["HEIGHT"])})
        except (KeyError, ValueError):
            pass
    return out


def find_window(suite):
    """The progress window (460 x 168 at 96 DPI)."""
    for w in visible_windows():
        if (w["w"], w["h"]) == (460, 168):
            return w
    return None


def click_cancel(suite, win):
    """Clicks Cancel; returns the time just before the click (seconds since
    the epoch, the time base of the log's stamps)."""
    before = time.time()
    run_quiet(["xdotool", "mousemove", str(win["x"] + 395), str(win["y"] + 142), "click", "1"])
    return before


def screenshot(suite, win, name):
    os.makedirs(suite.b.artefacts, exist_ok=True)
    out = os.path.join(suite.b.artefacts, name + ".png")
    run_quiet(["import", "-window", "root", "-crop",
               "500x208+%d+%d" % (win["x"] - 20, win["y"] - 20), out])
    return out


def window_run(suite, sc, release, rules, switches=(), hooks=None, registry=None,
               shared=False):
    b = suite.b
    b.serve(release)
    b.set_rules(rules)
    plan = dict(sc, registry=registry, shared=shared)
    inst = suite.prepare_machine(plan)
    before = b.work_folders()
    mark = b.reqlog_mark()
    sw = list(switches)
    if registry is None:
        sw.append("/DIR=" + inst)
    p = b.start(sw, hooks)
    return p, before, mark, inst, plan


def window_after(suite, p, before, line, timeout):
    """The progress window once the run's log has LINE; None, with the
    run killed, when the line or the window does not come."""
    win = None
    if suite.wait_log_line(before, line, timeout):
        suite.wait_for(lambda: find_window(suite) is not None, 5)
        win = find_window(suite)
    if win is None:
        p.kill()
    return win


def end_window_run(suite, p, plan, before, mark, inst, timeout=30):
    try:
        rc = p.wait(timeout)
    except subprocess.TimeoutExpired:
        # A box or a window is holding the process: read it for the report.
        box = suite.b.probe_read_box(10)
        p.kill()
        raise Failed("the windowed run did not end by itself (box: %r)" % (box,))
    run = Run(suite.b, rc, suite.folder_of_run(plan, before), mark, suite.b.unix_of(inst))
    suite.last_run = run
    return run


def window_cancel_download(suite, sc):
    b = suite.b
    # Under Wine a read returns only once the client's 64 KiB buffer is
    # full, so the rate gives it a piece every half second.
    p, before, mark, inst, plan = window_run(
        suite, sc, "medium", [rule(FILES, rate=131072)])
    c = Checker(sc["name"])
    win = window_after(suite, p, before, "no installed version found", 20)
    if win is None:
        return ["no progress window during the download"]
    # What the real download shows, read back from the window: its
    # status, then a detail with the total and a rate, the bar out of marquee.
    total = "%.1f" % (os.path.getsize(b.installer_of("medium")) / 1048576.0)
    detail = re.compile(r"^\d+\.\d MB of %s MB  \u2014  \d+\.\d MB/s$" % re.escape(total))
    fields = {}
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        held, fields = b.probe_read_window(
            2000, "status=Downloading Vornquill AI %s\\u2026" % VERSION, "bar=normal",
            "cancel=enabled")
        if held and detail.match(fields.get("detail", "")):
            break
    c.true(fields.get("status") == "Downloading Vornquill AI %s\u2026" % VERSION and
           fields.get("bar") == "normal" and detail.match(fields.get("detail", "")),
           "the window did not show the download's texts: %r" % (fields,))
    screenshot(suite, win, "progress-during-download")
    click_cancel(suite, win)
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=3, reason="cancelled", message=None,
                              no_lines=["cancelled by the user"]))
    d = run.downloads()
    c.true(len(d) == 1 and d[0]["body_bytes"] < os.path.getsize(b.installer_of("medium")),
           "the download was not cut short by the cancel")
    check_no_installer_left(c, run)
    return c.failures


def window_cancel_backoff(suite, sc):
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [rule(FILES, status=503, retry_after=30)])
    c = Checker(sc["name"])
    if not suite.wait_log_line(before, "retrying in 30000 ms", 20):
        p.kill()
        return ["no back-off wait began"]
    win = find_window(suite)
    if win is None:
        p.kill()
        return ["no progress window during the wait"]
    clicked = click_cancel(suite, win)
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=3, reason="cancelled", message=None,
                              lines=["download attempt 1 stopped at 0 bytes (status 503, "
                                     "error 0)"], no_lines=["cancelled by the user"]))
    # The cancel ended the wait, which looks at the cancel every 100 ms: the
    # RESULT line came within a few seconds of the click (the window's
    # fail-safe would end the process after 4 s), not at the end of the
    # wait's 30 s.
    lines = run.log.lines
    waited = [run.log.stamps[i] for i, line in enumerate(lines) if line == "retrying in 30000 ms"]
    c.true(len(waited) == 1 and lines[-1].startswith("RESULT "), "one wait, then the RESULT line")
    heeded = run.log.stamps[-1] - clicked
    c.true(-STAMP_SLACK_S <= heeded <= CANCEL_HEEDED_S,
           "the RESULT line came %.3f s after the click (at most %.0f s)" % (heeded, CANCEL_HEEDED_S))
    c.eq(len(run.downloads()), 1, "installer requests")
    return c.failures


def window_cancel_hash(suite, sc):
    """The shared folder holds the release's complete part file (a large
    one), so the run only computes its digest; Cancel stops that."""
    b = suite.b
    b.serve("large")
    big = b.installer_of("large")
    sha = sha256_file(big)
    flag, release = b.hold()
    p, before, mark, inst, plan = window_run(
        suite, sc, "large", [rule(RELEASE_PATH, hold_until=flag)], shared=True)
    c = Checker(sc["name"])
    shared = os.path.join(b.programdata, SHARED)
    if not suite.wait_for(suite.shared_log_made, 20):
        p.kill()
        return ["the run made no shared folder"]
    # The window is found first, so that the click can follow the log
    # line at once; the digest of 2 GiB lasts seconds even on a fast
    # machine.
    win = find_window(suite) if suite.wait_for(lambda: find_window(suite), 30) else None
    if win is None:
        p.kill()
        return ["no progress window"]
    # A copy: the program refuses to open a file with a second hard link.
    copy_sparse(big, os.path.join(shared, sha + ".part"))
    release()
    if not suite.wait_log_line(before, "resuming a partial download at", 20, shared=True):
        p.kill()
        return ["the run did not take up the complete part file"]
    click_cancel(suite, win)
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=3, reason="cancelled", message=None,
                              lines=["resuming a partial download at %d bytes"
                                     % os.path.getsize(big)],
                              no_lines=["sha256 ok", "sha256 mismatch",
                                        "cancelled by the user"]))
    c.eq(len(run.downloads()), 0, "installer requests")
    check_no_installer_left(c, run)
    return c.failures


def window_after_hand_over(suite, sc):
    b = suite.b
    # The demo installer waits for this file before it installs, so that
    # the click meets the running installer, not the final box.
    flag, go_on = b.hold()
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [], hooks={"VQ_DEMO_WAIT_FILE": b.winpath(flag)})
    c = Checker(sc["name"])
    win = None
    if suite.wait_for(lambda: find_window(suite) is not None, 20):
        win = find_window(suite)
    if win is None or not suite.wait_log_line(before, "running: ", 20):
        p.kill()
        return ["no window before the hand-over, or the installer never ran"]
    c.true(suite.wait_for(lambda: find_window(suite) is None, 5),
           "the progress window is still shown after the hand-over")
    click_cancel(suite, win)      # where Cancel was: nothing there acts any more
    c.true(b.installer_running(), "the installer was not running when the click came")
    go_on()
    b_box = suite.b.probe_read_box(30)
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=0, reason="installed",
                              message=("information", msg_installed()),
                              lines=["installer exit code 0"],
                              no_lines=["cancelled by the user"]))
    c.eq(b_box, {"text": msg_installed(), "icon": "information"}, "final box")
    check_installed(c, run, suite.b)
    return c.failures


def window_retry_question_cancel(suite, sc):
    """Eight failed download attempts in a windowed run ask Retry/Cancel;
    Cancel there gives up the download (code 1, not a cancel)."""
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [rule(FILES, status=503, retry_after=1)])
    c = Checker(sc["name"])
    c.true(answer_second(suite, "retry-question", 40),
           "no Retry/Cancel question, or its Cancel button did not answer it")
    box = suite.b.probe_read_box(30)
    run = end_window_run(suite, p, plan, before, mark, inst)
    text = ("The download failed. Check your internet connection and run Setup again; "
            "it continues where it stopped.")
    check_common(c, run, dict(code=1, reason="download-failed", message=("error", text),
                              lines=["download attempt 8 stopped at 0 bytes (status 503, "
                                     "error 0)"], downloads=8))
    c.eq(box, {"text": text, "icon": "error"}, "final box")
    return c.failures


def window_retry_question_retry(suite, sc):
    """Eight failed download attempts in a windowed run ask Retry/Cancel;
    Retry starts the attempts again from 1 at once (no wait before the
    next request). The first attempt after the answer fails once more,
    the next one completes the installation."""
    b = suite.b
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [rule(FILES, status=503, retry_after=1)])
    c = Checker(sc["name"])
    if not suite.wait_for(lambda: question_box(suite) is not None, 40):
        p.kill()
        return ["no Retry/Cancel question"]
    b.set_rules([rule(FILES, nth=1, status=503, retry_after=1)])
    c.true(answer_box(suite, "retry-question-retry", first=True),
           "the question's Retry button did not answer it")
    box = b.probe_read_box(30) or b.probe_read_box(30)
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=0, reason="installed",
                              message=("information", msg_installed()),
                              lines=["download attempt 8 stopped at 0 bytes (status 503, "
                                     "error 0)"], downloads=10))
    lines = run.log.lines
    eighth = [i for i, line in enumerate(lines) if line.startswith("download attempt 8 ")]
    after = [line for line in lines[eighth[0] + 1:] if line.startswith("download attempt ") or
             line.startswith("retrying in ")] if eighth else []
    c.eq(after, ["download attempt 1 stopped at 0 bytes (status 503, error 0)",
                 "retrying in 1000 ms"], "attempt lines after the answer")
    c.eq(box, {"text": msg_installed(), "icon": "information"}, "final box")
    check_installed(c, run, b)
    return c.failures


def window_cancel_release_fetch(suite, sc):
    """Cancel while the release request is under way (its answer held
    back until the window has taken the cancel): the fetch ends with
    "cancelled" when the answer arrives, before the grace period's end,
    with no message, nothing verified and nothing downloaded."""
    b = suite.b
    flag, release = b.hold()
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [rule(RELEASE_PATH, hold_until=flag)])
    c = Checker(sc["name"])
    win = window_after(suite, p, before, "work folder reuse: ", 20)
    if win is None:
        return ["no progress window while the release is fetched"]
    # The window answers clicks once it shows its first status with an
    # enabled Cancel; the request has reached the cloud (which records
    # loading the rules when it arrives) and its answer is held back.
    held, fields = b.probe_read_window(
        5000, "status=Checking for the latest version\u2026", "cancel=enabled")
    arrived = b.wait_records(mark, ("rules-loaded",), 1)
    if not held or not arrived:
        p.kill()
        return ["the window did not show the release fetch (%r), or the request did not "
                "arrive (%r)" % (fields, arrived)]
    click_cancel(suite, win)
    # The answer goes once the window shows that it took the cancel.
    held, fields = b.probe_read_window(3000, "status=Cancelling\u2026", "cancel=disabled")
    release()
    c.true(held, "the window did not take the cancel: %r" % (fields,))
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=3, reason="cancelled", message=None,
                              no_lines=["release %s verified" % VERSION,
                                        "latest.txt attempt", "cancelled by the user"],
                              downloads=0))
    c.eq(len(run.releases()), 1, "release requests")
    return c.failures


def window_cancel_last_moment(suite, sc):
    """Cancel after the digest, while the signature of a large signed
    installer is checked: the check still ends, and the last test before
    the hand-over ends the run ("cancelled", no message); the installer
    never runs and is deleted."""
    b = suite.b
    p, before, mark, inst, plan = window_run(suite, sc, "padded", [])
    c = Checker(sc["name"])
    win = None
    if suite.wait_for(lambda: find_window(suite) is not None, 20):
        win = find_window(suite)
    if win is None:
        p.kill()
        return ["no progress window"]
    # The run is stopped (SIGSTOP) the moment its log says the digest is
    # done, so that the click is waiting for the window before the signature
    # check can go on; a run whose check had already ended by then is
    # reported, not counted as a pass.
    stopped = []

    def stop_at_digest():
        path = suite.current_log(before)
        if path is None or b"sha256 ok\r\n" not in open(path, "rb").read():
            return False
        for pid in b.run_processes():
            os.kill(pid, signal.SIGSTOP)
            stopped.append(pid)
        return True
    if not suite.wait_for(stop_at_digest, 60, 0.005):
        p.kill()
        return ["the digest never ended"]
    try:
        early = LogRun(suite.current_log(before)).has("authenticode: ")
        click_cancel(suite, win)
    finally:
        for pid in stopped:
            os.kill(pid, signal.SIGCONT)
    if early:
        p.kill()
        return ["the signature check had ended before the run was stopped"]
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=3, reason="cancelled", message=None,
                              lines=["sha256 ok", "authenticode: pinned self-signed certificate"],
                              no_lines=["running: ", "cancelled by the user"]))
    check_no_installer_left(c, run)
    return c.failures


def window_error_box(suite, sc):
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [rule(RELEASE_PATH, status=403)])
    c = Checker(sc["name"])
    box = suite.b.probe_read_box(30)
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=1, reason="release", message=("error", msg_status(403))))
    c.eq(box, {"text": msg_status(403), "icon": "error"}, "final box")
    return c.failures


def window_repair_no(suite, sc):
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [], registry=(VERSION, "{dir}"))
    c = Checker(sc["name"])
    c.true(answer_second(suite, "repair-question"),
           "no repair question, or its No button did not answer it")
    box = suite.b.probe_read_box(30)
    run = end_window_run(suite, p, plan, before, mark, inst)
    check_common(c, run, dict(code=0, reason="already-installed",
                              message=("information", MSG_ALREADY),
                              no_lines=["repairing the installed version"]))
    c.eq(box, {"text": MSG_ALREADY, "icon": "information"}, "final box")
    c.eq(len(run.downloads()), 0, "installer requests")
    return c.failures


def question_box(suite):
    """A question box over the progress window (lower than the window)."""
    for w in visible_windows():
        if w["h"] < 168:
            return w
    return None


def answer_second(suite, artefact, timeout=20):
    """Waits for a two-button question box over the progress window and
    clicks its second button (No, or Cancel; the buttons are centred in
    the box); returns True once the box is gone."""
    return answer_box(suite, artefact, timeout)


def answer_box(suite, artefact, timeout=20, first=False):
    """Clicks the second button (or the first: Yes, Retry) of a
    two-button question box; True once the box is gone."""
    box = lambda: question_box(suite)
    if not suite.wait_for(lambda: box() is not None, timeout):
        return False
    # The box is read once it holds still (two reads alike), not after a
    # fixed pause.
    last = [None]
    def still():
        now = box()
        same = now is not None and now == last[0]
        last[0] = now
        return same
    if not suite.wait_for(still, 5, 0.1):
        return False
    q = last[0]
    os.makedirs(suite.b.artefacts, exist_ok=True)
    run_quiet(["import", "-window", "root", "-crop",
               "%dx%d+%d+%d" % (q["w"] + 20, q["h"] + 20, q["x"] - 10, q["y"] - 10),
               os.path.join(suite.b.artefacts, artefact + ".png")])
    run_quiet(["xdotool", "mousemove", str(q["x"] + q["w"] // 2 + (-36 if first else 36)),
               str(q["y"] + q["h"] - 22), "click", "1"])
    def gone():
        now = box()
        return now is None or now["id"] != q["id"]
    return suite.wait_for(gone, 5)


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys): the
    cancels, each timed against the program's own steps, so the group runs
    alone (a timing test). The questions and final boxes, which hold no
    timing bound, are the group "boxes"."""
    return [
        dict(name="cancel-slow-download", runner=window_cancel_download),
        dict(name="cancel-backoff-wait", runner=window_cancel_backoff),
        dict(name="cancel-while-hashing", runner=window_cancel_hash),
        dict(name="cancel-after-hand-over", runner=window_after_hand_over),
        dict(name="cancel-release-fetch", runner=window_cancel_release_fetch),
        dict(name="cancel-at-the-last-moment", runner=window_cancel_last_moment),
    ]
