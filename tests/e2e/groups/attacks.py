"""What an attacker between the program and the vendor's cloud (or in control
of a mirror or an edge) tries: replaying an older signed release, mixing the
parts of two releases, serving another release's installer under the name
asked for, endless and trickling answers. Each run shows what the program
does about it, or, where the design installs what is served (an older
release on a machine without the product), that it does exactly that."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)

OLDER = "1.1.0"
BELOW_FLOOR = "0.9.0"
# The test build's window of the slow-transfer guard for the trickle
# scenarios (VQ_TEST_PROGRESS_WINDOW_MS); the real one is five minutes.
WINDOW_MS = "2000"
# A read that does not return by the window's end plus the receive
# time-out's share of the window (60 s of the real 5 minutes, 400 ms of the
# test window) is cut there.
READ_DEADLINE_MS = 2400
# Room for a loaded machine between the deadline and the cloud's record of
# the client's going (under Wine a cut read ends at the sender's next byte,
# 50 ms later).
DEADLINE_SLACK_MS = 1500
ERROR_WINHTTP_TIMEOUT = 12002
# What the guard asks of each window of an installer download.
CLOUD_MIN = 65536
# The steady download: 640 KiB of data after the demo installer's image, at
# 128 KiB a second, 256 KiB in each window of 2 s (the guard asks for 64 KiB).
STEADY_SIZE = 640 * 1024
STEADY_RATE = 131072
# A pause of 11 s within the body: past a window of 10 s, before the read's
# deadline at 12 s.
LATE_WINDOW_MS = "10000"
LATE_PAUSE_MS = 11000
# The endless installer body comes at this pace, so that what the cloud has
# sent when the client goes is what the client asked for, give or take the
# pieces in flight.
ENDLESS_RATE = 131072
ENDLESS_PIECES_IN_FLIGHT = 4


def decoded_payload(fields):
    payload = fields["payload"]
    return base64.urlsafe_b64decode(payload + b"=" * (-len(payload) % 4))


def encoded(manifest):
    return base64.urlsafe_b64encode(manifest).rstrip(b"=")


def write_envelope(b, name, kid, payload, sig):
    """Release NAME: the good release's files under an envelope made of the
    given fields (as an attacker who can only copy and cut puts them)."""
    out = os.path.join(b.work, "pub-" + name)
    shutil.copytree(b.published["good"], out)
    with open(os.path.join(out, "latest.txt"), "wb") as f:
        f.write(b"kid=" + kid + b"\npayload=" + payload + b"\nsig=" + sig + b"\n")
    b.published[name] = out


def releases(b):
    """The older releases an attacker has kept, and the envelopes and edge
    folders made from them."""
    good_installer = b.installer_of("good")
    older_installer = b.sign("pinned", True, "older")
    b.publish("older", older_installer, version=OLDER)
    b.publish("below-floor", b.sign("pinned", True, "below-floor"), version=BELOW_FLOOR)
    good = envelope_fields(open(os.path.join(b.published["good"], "latest.txt"), "rb").read())
    old = envelope_fields(open(os.path.join(b.published["older"], "latest.txt"), "rb").read())

    # The older envelope, its signed manifest changed to name the current
    # installer (version and file name), its signature kept.
    manifest = decoded_payload(old)
    renamed = manifest.replace(installer_name(OLDER).encode(), installer_name().encode())
    renamed = renamed.replace(b'"version":"%s"' % OLDER.encode(), b'"version":"%s"' % VERSION.encode())
    if renamed.count(installer_name().encode()) != 1 or OLDER.encode() in renamed:
        raise Failed("the older manifest was not rewritten: %r" % renamed)
    write_envelope(b, "old-envelope-new-name", old["kid"], encoded(renamed), old["sig"])
    # The current release's manifest under the older release's signature.
    write_envelope(b, "old-signature-new-payload", old["kid"], good["payload"], old["sig"])
    # A manifest signed with the right key that says 1.1.0 but names the
    # 1.2.0 installer: a release engineer's mistake, or a replay that tries
    # to pull another release's file.
    text = manifest.decode().replace(installer_name(OLDER), installer_name())
    publish_manifest(b, "signed-other-name", text)

    # Edges that answer the current release's installer request with the
    # older release's installer (the same program signed for another
    # release: the same size, other bytes), or with another release's
    # installer of another size (the unsigned build's).
    if os.path.getsize(older_installer) != os.path.getsize(good_installer):
        raise Failed("the older release's installer (%d bytes) and the current one (%d bytes) "
                     "differ in size; the same-size fixture needs them equal"
                     % (os.path.getsize(older_installer), os.path.getsize(good_installer)))
    for name, source in (("edge-older-installer", older_installer),
                         ("edge-other-size-installer", b.installer_of("unsigned"))):
        out = os.path.join(b.work, "pub-" + name)
        shutil.copytree(b.published["good"], out)
        served = os.path.join(out, "files", VERSION, installer_name())
        os.unlink(served)
        shutil.copyfile(source, served)
        b.published[name] = out
    if os.path.getsize(b.installer_of("unsigned")) >= os.path.getsize(good_installer):
        raise Failed("the unsigned installer is not shorter than the signed one")

    # An installer of 640 KiB (the demo installer with data after its image,
    # signed over all of it) for a slow download that spans several windows.
    padded = os.path.join(b.work, "steady.exe")
    with open(padded, "wb") as f:
        f.write(open(b.demo, "rb").read())
        f.write(hashlib.sha512(b"vornquill-e2e-steady").digest() * (STEADY_SIZE // 64))
    b.publish("steady", b.sign("pinned", True, "steady", source=padded))
    os.unlink(padded)


def msg_newer_than(installed, release):
    return ("Vornquill AI %s is installed, which is newer than the current release %s. Setup "
            "never downgrades an installation, so nothing was changed." % (installed, release))


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    good_sha = sha256_file(b.installer_of("good"))
    older_sha = sha256_file(b.installer_of("older", OLDER))
    silent = ["/VERYSILENT", "/SUPPRESSMSGBOXES"]

    def nothing_run(c, run):
        """No installer was started and nothing was installed."""
        c.true(not run.log.has("running: "), "the installer was started")
        c.true(not os.path.exists(run.install_dir), "the install folder was made")
        check_no_installer_left(c, run)

    def refused_release(c, run):
        no_download(c, run)
        nothing_run(c, run)

    def older_installed(c, run):
        check_rollback(c, run, b, "older", OLDER)
        check_no_installer_left(c, run)
        c.eq(len(run.downloads()), 1, "installer requests")
        c.eq([r["path"] for r in run.downloads()],
             ["/v1/public/installer/files/%s/%s" % (OLDER, installer_name(OLDER))],
             "the installer asked for")

    def refused_download(c, run):
        c.eq(len(run.downloads()), 1, "installer requests")
        nothing_run(c, run)

    def trickled_installer(c, run):
        """Eight attempts, each ended by the guard, each resuming the part
        file, which is kept in the shared folder and holds what came."""
        # The cloud writes a request's record when its answer ends: the last
        # one once it has noticed that the run went away.
        records = b.wait_records(run.mark, ("request",), 9)
        downloads = [r for r in records if r["path"].startswith(FILES[:-1])]
        c.eq(len(downloads), 8, "installer requests")
        c.eq([d.get("status") for d in downloads], [200] + [206] * 7,
             "answers: the whole file, then the tail from what is held")
        c.eq(run.log.count("download attempt "), 8, "attempt lines")
        stopped = [line for line in run.log.lines if line.startswith("download attempt ")]
        c.true(all(line.endswith("error %d)" % ERROR_WINHTTP_TIMEOUT) for line in stopped),
               "every attempt ended by the guard: %s" % stopped)
        part = os.path.join(run.folder, good_sha + ".part")
        c.true(os.path.isfile(part), "the part file is kept for the next run")
        if os.path.isfile(part):
            held = open(part, "rb").read()
            c.true(0 < len(held) < CLOUD_MIN, "the part file holds what came (%d bytes)" % len(held))
            c.true(held == open(b.installer_of("good"), "rb").read()[:len(held)],
                   "the part file holds the installer's first bytes")
            # What was in flight when an attempt ended was sent, not held.
            c.true(len(held) <= sum(d.get("body_bytes", 0) for d in downloads),
                   "the part file holds more than was sent")
        c.true(not run.log.has("running: "), "the installer was started")

    def cut_at_deadline(c, records):
        """Each trickle of chunk framing was cut at the read's deadline: the
        cloud saw the client go while it was still trickling, no byte of
        data sent."""
        for r in records:
            c.eq((r.get("outcome"), r.get("body_bytes")), ("client-closed", 0),
                 "request %s: outcome and data bytes" % r.get("conn"))
            c.true(r.get("framing_bytes", 0) > 0, "request %s trickled no framing" % r.get("conn"))
            c.true(int(WINDOW_MS) <= r.get("duration_ms", 0) < READ_DEADLINE_MS + DEADLINE_SLACK_MS,
                   "request %s cut after %s ms, not within the window and its read deadline (%d ms)"
                   % (r.get("conn"), r.get("duration_ms"), READ_DEADLINE_MS))

    def trickle_records(run, path, count):
        """The requests for PATH once the run's COUNT requests are recorded
        (the cloud writes a request's record when its answer ends: the last
        one once it has noticed that the run went away)."""
        return [r for r in b.wait_records(run.mark, ("request",), count)
                if r["path"].startswith(path)]

    def chunk_trickled_installer(c, run):
        downloads = trickle_records(run, FILES[:-1], 9)
        c.eq(len(downloads), 8, "installer requests")
        cut_at_deadline(c, downloads)
        stopped = [line for line in run.log.lines if line.startswith("download attempt ")]
        c.eq(stopped, ["download attempt %d stopped at 0 bytes (status 200, error %d)"
                       % (n, ERROR_WINHTTP_TIMEOUT) for n in range(1, 9)], "attempt lines")
        c.true(not run.log.has("running: "), "the installer was started")

    def chunk_trickled_release(c, run):
        releases = trickle_records(run, RELEASE_PATH, 8)
        c.eq(len(releases), 8, "release requests")
        cut_at_deadline(c, releases)
        c.eq(run.log.count("latest.txt attempt "), 8, "attempt lines")
        no_download(c, run)

    def endless_refused(c, run):
        """The client went at the first piece past the signed size: the
        cloud, which would have sent forever, sent at most the size and the
        pieces in flight."""
        refused_download(c, run)
        size = os.path.getsize(b.installer_of("good"))
        for r in run.downloads():
            c.eq(r.get("outcome"), "client-closed", "the endless body's record")
            c.true(size < r.get("body_bytes", 0) <= size + ENDLESS_PIECES_IN_FLIGHT * CLOUD_MIN,
                   "the cloud sent %s bytes of the endless body for an installer of %d"
                   % (r.get("body_bytes"), size))
            c.true(not r.get("endless_stopped"), "the endless body ran out of time")

    def steady_installed(c, run):
        check_installed(c, run, b, "steady")
        downloads = run.downloads()
        c.eq(len(downloads), 1, "installer requests")
        if downloads:
            # It lasted several windows of the guard.
            c.true(downloads[0].get("duration_ms", 0) > 2 * int(WINDOW_MS),
                   "the download took %s ms" % downloads[0].get("duration_ms"))

    def trickled_release(c, run):
        records = b.wait_records(run.mark, ("request",), 8)
        c.eq(len([r for r in records if r["path"] == RELEASE_PATH]), 8, "release requests")
        c.eq(run.log.count("latest.txt attempt "), 8, "attempt lines")
        c.eq(run.log.count("retrying in 1000 ms"), 7, "waits of 1 s")
        no_download(c, run)

    return [
        # Rollback: an older release, validly signed, replayed as latest.txt.
        dict(name="replay-older-installed-newer", release="older",
             registry=(VERSION, "{dir}"), code=7, reason="newer-installed",
             message=("error", msg_newer_than(VERSION, OLDER)),
             lines=["release %s verified (key " % OLDER, "installed version: %s" % VERSION],
             check=no_download),
        dict(name="replay-older-nothing-installed", release="older", code=0,
             reason="installed", message=("information", msg_installed(OLDER)),
             lines=["release %s verified (key " % OLDER, "no installed version found",
                    "sha256 ok", "rollback package kept in updater-work\\rollback\\%s" % OLDER],
             check=older_installed),
        dict(name="replay-below-floor", release="below-floor", code=2, reason="release",
             message=("error", "Vornquill Cloud offered an older release than this Setup "
                               "accepts. Nothing was installed. Try again later, or download "
                               "the current installer from %s/download/" % b.base),
             lines=["release verification failed: below-floor: release %s is older than this "
                    "installer's minimum version" % BELOW_FLOOR, "RELEASE-ERROR below-floor"],
             check=refused_release),
        # Mix and match: parts of two releases in one envelope.
        dict(name="mix-old-envelope-new-file-name", release="old-envelope-new-name", code=2,
             reason="release", message=("error", msg_verification("bad-signature")),
             lines=["RELEASE-ERROR bad-signature"],
             check=refused_release),
        dict(name="mix-old-signature-new-payload", release="old-signature-new-payload", code=2,
             reason="release", message=("error", msg_verification("bad-signature")),
             lines=["RELEASE-ERROR bad-signature"],
             check=refused_release),
        dict(name="signed-manifest-names-another-release", release="signed-other-name", code=2,
             reason="release", message=("error", msg_verification("file-name")),
             lines=["release verification failed: file-name: the Windows installer's file name "
                    "%s is not accepted" % installer_name(), "RELEASE-ERROR file-name"],
             check=refused_release),
        # Malicious mirror or edge: another release's installer under the
        # name asked for.
        dict(name="edge-serves-older-installer", release="edge-older-installer", code=2,
             reason="sha256-mismatch", message=("error", MSG_SHA),
             lines=["sha256 mismatch: got %s" % older_sha],
             no_lines=["sha256 ok", "authenticode: "],
             check=refused_download),
        dict(name="edge-serves-other-size-installer", release="edge-other-size-installer",
             code=2, reason="download-size", message=("error", MSG_SIZE),
             no_lines=["sha256 ok", "sha256 mismatch", "authenticode: "],
             check=refused_download),
        # Endless data: bodies without a length that go on past what is allowed.
        dict(name="endless-release-body", release="good",
             rules=[rule(RELEASE_PATH, content_length=None, append_bytes=2150400)], code=2,
             reason="release", message=("error", MSG_TOO_LARGE),
             check=refused_release),
        dict(name="endless-installer-body", release="good",
             rules=[rule(FILES, endless=True, rate=ENDLESS_RATE)], code=2,
             reason="oversized-download", message=("error", MSG_SIZE),
             no_lines=["sha256 ok", "sha256 mismatch", "authenticode: "],
             check=endless_refused),
        # Slow retrieval: a sender of 20 bytes a second. Each attempt ends
        # when a window passes with fewer than 64 KiB; the server's
        # Retry-After of 1 s keeps the waits short.
        dict(name="slow-retrieval-installer", release="good", shared=True,
             rules=[rule(FILES, rate=20, retry_after=1)],
             hooks={"VQ_TEST_PROGRESS_WINDOW_MS": WINDOW_MS}, code=1, reason="download-failed",
             message=("error", MSG_FAILED), lines=["download attempt 8 stopped at "],
             timeout=120, check=trickled_installer),
        dict(name="slow-retrieval-release", release="good",
             rules=[rule(RELEASE_PATH, rate=20, retry_after=1)],
             hooks={"VQ_TEST_PROGRESS_WINDOW_MS": WINDOW_MS}, code=1, reason="release",
             message=("error", msg_cannot_reach(b.base)),
             lines=["latest.txt attempt 8 failed (status 200, error %d)" % ERROR_WINHTTP_TIMEOUT],
             timeout=120, check=trickled_release),
        # Chunk framing that is never data (the leading zeros of a chunk
        # size; a chunk extension that never ends), one byte each 50 ms: a
        # read that waits for body data would wait forever, each byte
        # starting the receive time-out again. The read's deadline cuts
        # each attempt.
        dict(name="chunk-trickle-installer", release="good",
             rules=[rule(FILES, chunked="extension", retry_after=1)],
             hooks={"VQ_TEST_PROGRESS_WINDOW_MS": WINDOW_MS}, code=1, reason="download-failed",
             message=("error", MSG_FAILED), timeout=120, check=chunk_trickled_installer),
        dict(name="chunk-trickle-release", release="good",
             rules=[rule(RELEASE_PATH, chunked="size-zeros", retry_after=1)],
             hooks={"VQ_TEST_PROGRESS_WINDOW_MS": WINDOW_MS}, code=1, reason="release",
             message=("error", msg_cannot_reach(b.base)),
             lines=["latest.txt attempt 8 failed (status 200, error %d)" % ERROR_WINHTTP_TIMEOUT],
             timeout=120, check=chunk_trickled_release),
        # The whole installer at once, then nothing for longer than the
        # window, then more than the signed size: the piece that crosses the
        # size comes too late for the guard as well, and its size decides
        # (exit 2 at once), not the guard (a transport failure, retried).
        dict(name="late-piece-past-the-size", release="good",
             rules=[rule(FILES, content_length=None, append_bytes=1000,
                         pause_after=os.path.getsize(b.installer_of("good")),
                         pause_ms=LATE_PAUSE_MS, retry_after=1)],
             hooks={"VQ_TEST_PROGRESS_WINDOW_MS": LATE_WINDOW_MS}, code=2,
             reason="oversized-download", message=("error", MSG_SIZE),
             no_lines=["download attempt ", "sha256 ok", "sha256 mismatch", "authenticode: "],
             check=refused_download),
        # A slow connection that still makes progress (four times the
        # minimum in each window, over several windows) is not cut off.
        dict(name="slow-but-steady-download", release="steady",
             rules=[rule(FILES, rate=STEADY_RATE)],
             hooks={"VQ_TEST_PROGRESS_WINDOW_MS": WINDOW_MS}, code=0, reason="installed",
             message=("information", msg_installed()), no_lines=["download attempt "],
             switches=silent, check=steady_installed),
    ]

