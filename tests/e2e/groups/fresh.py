"""Freshness: every release is used only inside the window of its freshness
statement (the three lines fresh, fresh_kid, fresh_sig of latest.txt, signed
with the freshness key). A frozen or replayed latest.txt, validly signed, is
refused once its window has passed, before anything is downloaded:

- a fresh release installs, and the log shows its window;
- the same release after its window: refused with the out-of-date message;
- an older release replayed with its own (expired) statement, on a machine
  without the product and on one with an older version;
- the statement of another release beside the current release's lines;
- a release without the three lines, and a statement signed with the
  release key;
- a release whose window has passed, renewed with vornquill-release refresh:
  the next run installs it, with the new window.
"""

import shutil

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)

OLDER = "1.1.0"
RELEASE_PUBLIC = os.path.join(ROOT, "tests", "release", "keys", "test-release.public")
INSTALLED_OLDER = "1.0.5"
FRESH_KID = "fresh-20261211-c40ca3d5"
# The window of the release that passes while the group waits: long enough
# for one installation under Wine on a busy machine, short enough to wait out.
SHORT_WINDOW_S = 45
ISO = "%Y-%m-%dT%H:%M:%SZ"


def iso(seconds):
    return time.strftime(ISO, time.gmtime(seconds))


def readable(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def msg_stale(expires, machine):
    return ("The release information from Vornquill Cloud is out of date: it was valid until %s, "
            "and this computer's clock shows %s. Nothing was installed.\n\nIf this computer's "
            "date or time is wrong, correct it and run Setup again. Otherwise try again later."
            % (readable(expires), readable(machine)))


def copy_release(b, source, name):
    out = os.path.join(b.work, "pub-" + name)
    shutil.rmtree(out, ignore_errors=True)
    shutil.copytree(b.published[source], out)
    b.published[name] = out
    return out


def releases(b):
    """The older release kept by an attacker with the statement it had (its
    window passed a minute ago); the current release with the statement of
    another release, without the three lines, and with a statement signed by
    the release key."""
    b.publish("fresh-older", b.sign("pinned", True, "fresh-older"), version=OLDER)
    b.windows = {"fresh-older-expired": b.freshen(copy_release(b, "fresh-older", "fresh-older-expired"),
                                                  "--expired")}
    # The older release's own statement (fresh, valid, signed) beside the
    # current release's lines, as a mirror that mixes files would serve.
    older = open(os.path.join(b.published["fresh-older"], "latest.txt"), "rb").read()
    theirs = [line for line in older.splitlines() if line.split(b"=", 1)[0] in (b"fresh", b"fresh_kid", b"fresh_sig")]
    mixed = copy_release(b, "good", "fresh-of-another-release")
    path = os.path.join(mixed, "latest.txt")
    b.freshen(mixed, "--strip")
    with open(path, "ab") as f:
        f.write(b"\n".join(theirs) + b"\n")
    b.freshen(copy_release(b, "good", "fresh-stripped"), "--strip")
    b.freshen(copy_release(b, "good", "fresh-release-key"), "--key", b.key)


def window_line(kid, window):
    return "freshness statement verified (key %s): issued %s, expires %s; this computer's time " % (
        kid, iso(window[0]), iso(window[1]))


def machine_time(run):
    """This computer's time as the run logged it beside the window, in seconds."""
    for line in run.log.lines:
        if line.startswith("freshness statement") and "this computer's time " in line:
            text = line.rsplit("this computer's time ", 1)[1]
            return calendar_seconds(text)
    return None


def calendar_seconds(text):
    try:
        return int(datetime.datetime.strptime(text, ISO).replace(
            tzinfo=datetime.timezone.utc).timestamp())
    except ValueError:
        return None


def stale_expected(window):
    """The plan of a run refused for its expired statement: exit 2, reason
    release, the out-of-date message with the window's end and the machine's
    time as the run logged it."""
    return dict(code=2, reason="release",
                message=lambda run: ("error", msg_stale(window[1], machine_time(run) or 0)),
                lines=["RELEASE-ERROR stale"],
                no_lines=["release %s verified" % VERSION, "release %s verified" % OLDER,
                          "freshness statement verified", "running: "])


def stale_checks(c, run, window):
    """The refusal's detail and the window in the log, the machine's time
    past the window and within the run, and nothing downloaded: the cloud
    answered latest.txt once and nothing else."""
    now = machine_time(run)
    c.true(now is not None and now > window[1],
           "the logged machine time %r is not past %d" % (now, window[1]))
    if run.log.stamps:
        first, last = run.log.stamps[0], run.log.stamps[-1]
        c.true(now is not None and int(first) - 1 <= now <= int(last) + 1,
               "the logged machine time %r is not the run's time %d..%d" % (now, first, last))
    now = now or 0
    for line in ("release verification failed: stale: the freshness statement expired at %s "
                 "(issued %s; this computer's time is %s)" % (iso(window[1]), iso(window[0]), iso(now)),
                 "freshness statement: issued %s, expires %s; this computer's time %s"
                 % (iso(window[0]), iso(window[1]), iso(now))):
        c.true(run.log.has(line), "log lacks %r" % line)
    nothing_fetched(c, run)


def nothing_fetched(c, run):
    c.eq([r["path"] for r in run.requests if r.get("event", "request") == "request"],
         [RELEASE_PATH], "what the cloud was asked (latest.txt once, no installer)")
    c.true(not os.path.exists(run.install_dir) or not os.listdir(run.install_dir),
           "the install folder holds something")
    check_no_installer_left(c, run)


def same_release_after_window(suite, sc):
    """The current release with a window of SHORT_WINDOW_S seconds from now:
    a run inside it installs and logs the window; the same latest.txt, served
    unchanged after its window, is refused on a machine without the product."""
    b = suite.b
    out = copy_release(b, "good", "fresh-short")
    window = b.freshen(out, "--window", str(SHORT_WINDOW_S))
    first = suite.run_plain(dict(sc, release="fresh-short"))
    c = Checker(sc["name"])
    check_common(c, first, dict(code=0, reason="installed", message=("information", msg_installed()),
                                lines=[window_line(FRESH_KID, window), "installer exit code 0"]))
    check_installed(c, first, b, "fresh-short")
    suite.cleanup_run(first)
    # Past the window's last second, by the host's clock (the one Wine gives).
    while time.time() < window[1] + 1.2:
        time.sleep(0.2)
    second = suite.run_plain(dict(sc, name=sc["name"] + "-after", release="fresh-short"))
    suite.last_run = second
    check_common(c, second, stale_expected(window))
    stale_checks(c, second, window)
    return c.failures


def window_of(latest):
    """(issued, expires) of the statement in the text of a latest.txt."""
    fresh = envelope_fields(latest)["fresh"]
    statement = json.loads(base64.urlsafe_b64decode(fresh + b"=" * (-len(fresh) % 4)))
    return statement["issued"], statement["expires"]


def refresh_then_installs(suite, sc):
    """The current release whose statement expired: a run is refused; the
    vendor's refresh renews the statement of the latest.txt being served
    (its release lines kept byte for byte), and the next run installs it and
    logs the new window of 7 days from the refresh."""
    b = suite.b
    out = copy_release(b, "good", "fresh-renewed")
    expired = b.freshen(out, "--expired")
    c = Checker(sc["name"])
    first = suite.run_plain(dict(sc, name=sc["name"] + "-before", release="fresh-renewed"))
    check_common(c, first, stale_expected(expired))
    stale_checks(c, first, expired)
    suite.cleanup_run(first)

    path = os.path.join(out, "latest.txt")
    before = open(path, "rb").read()
    start = int(time.time())
    r = run_quiet([b.release_tool, "refresh", "--latest", path, "--key", RELEASE_PUBLIC,
                   "--fresh-key", b.fresh_key])
    end = int(time.time())
    if r.returncode != 0:
        raise Failed("refresh: %s" % r.stdout.decode(errors="replace"))
    after = open(path, "rb").read()
    release_lines = lambda text: [line for line in text.splitlines()
                                  if line.split(b"=", 1)[0] not in (b"fresh", b"fresh_kid", b"fresh_sig")]
    c.eq(release_lines(after), release_lines(before), "the release lines after refresh")
    window = window_of(after)
    c.true(start <= window[0] <= end and window[1] == window[0] + 7 * 86400,
           "the renewed window %r is not 7 days from the refresh (%d..%d)" % (window, start, end))

    second = suite.run_plain(dict(sc, release="fresh-renewed"))
    suite.last_run = second
    check_common(c, second, dict(code=0, reason="installed", message=("information", msg_installed()),
                                 lines=[window_line(FRESH_KID, window), "installer exit code 0"]))
    check_installed(c, second, b, "fresh-renewed")
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    expired = b.windows["fresh-older-expired"]

    def older_refused(c, run):
        stale_checks(c, run, expired)

    return [
        dict(name="fresh-installs-then-refused-after-its-window", runner=same_release_after_window),
        dict(name="fresh-refresh-then-installs", runner=refresh_then_installs),
        # Rollback: the older release an attacker kept, with its own statement.
        dict(stale_expected(expired), name="fresh-replay-older-expired-nothing-installed",
             release="fresh-older-expired", check=older_refused),
        dict(stale_expected(expired), name="fresh-replay-older-expired-older-installed",
             release="fresh-older-expired", registry=(INSTALLED_OLDER, "{dir}"),
             lines=["RELEASE-ERROR stale"], check=older_refused),
        dict(name="fresh-statement-of-another-release", release="fresh-of-another-release",
             code=2, reason="release", message=("error", msg_verification("fresh-mismatch")),
             lines=["release verification failed: fresh-mismatch: the freshness statement is for "
                    "another manifest (sha256 ", "RELEASE-ERROR fresh-mismatch"],
             check=nothing_fetched),
        dict(name="fresh-lines-missing", release="fresh-stripped", code=2, reason="release",
             message=("error", msg_verification("fresh-missing")),
             lines=["release verification failed: fresh-missing: latest.txt has no freshness "
                    "statement", "freshness statement: issued unknown, expires unknown; this "
                    "computer's time ", "RELEASE-ERROR fresh-missing"],
             check=nothing_fetched),
        dict(name="fresh-signed-with-the-release-key", release="fresh-release-key", code=2,
             reason="release", message=("error", msg_newer_key(b.base)),
             lines=["release verification failed: fresh-unknown-kid: the freshness statement is "
                    "signed with key release-", "RELEASE-ERROR fresh-unknown-kid"],
             check=nothing_fetched),
    ]
