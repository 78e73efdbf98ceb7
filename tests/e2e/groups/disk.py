"""A real full disk: a size-limited tmpfs over the prefix's ProgramData (root
only)."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)


def tmpfs(suite, size):
    """A size-limited tmpfs mounted over the prefix's ProgramData while
    the block runs (root only)."""
    bench = suite.b

    class Mount:
        def __enter__(self):
            r = run_quiet(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs",
                           bench.programdata])
            if r.returncode != 0:
                raise Failed("mounting a tmpfs over ProgramData: %s"
                             % r.stdout.decode(errors="replace"))
            return self

        def __exit__(self, *exc):
            deadline = time.monotonic() + 10
            while bench.setup_running() and time.monotonic() < deadline:
                time.sleep(0.05)
            if run_quiet(["umount", bench.programdata]).returncode != 0:
                run_quiet(["umount", "-l", bench.programdata])
            return False
    return Mount()


def available(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def fill(suite, folder, leave):
    """Takes all but `leave` bytes of the filesystem's free space."""
    filler = os.path.join(folder, "filler.bin")
    take = available(folder) - leave
    fd = os.open(filler, os.O_CREAT | os.O_WRONLY, 0o600)
    try:
        os.posix_fallocate(fd, 0, take)
    finally:
        os.close(fd)
    return available(folder)


def disk_run(suite, sc, size, rules, during=None, release=None):
    """One silent run in the shared work folder on a tmpfs of `size`
    bytes; `during(process, shared folder)` acts while it runs and
    returns failures, then release() lets an answer held for it go.
    Returns (run, failures, free bytes at the end); the checks must be
    made before the tmpfs goes."""
    b = suite.b
    if os.geteuid() != 0:
        raise Failed("mounting a tmpfs needs root")
    b.serve("good")
    b.set_rules(rules)
    with tmpfs(suite, size):
        plan = dict(sc, shared=True)
        inst = suite.prepare_machine(plan)
        mark = b.reqlog_mark()
        p = b.start(suite.switches(plan, inst))
        shared = os.path.join(b.programdata, SHARED)
        failures = during(p, shared) if during else []
        if release:
            release()
        if failures:
            p.kill()
            return None, failures, 0, None
        run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
        suite.last_run = run
        part = os.path.join(shared, sha256_file(b.installer_of("good")) + ".part")
        part_size = os.path.getsize(part) if os.path.isfile(part) else None
        files = run.files()
        return run, [], available(b.programdata), (part_size, files)


def disk_space_refused(suite, sc):
    """The drive holds a page less than the need once the log is written:
    the run is refused before any download, and the message's need (rounded
    up) is above its free space (rounded down); rounding both to the
    nearest would show the same figure twice."""
    size = os.path.getsize(suite.b.installer_of("good"))
    need = size + 256 * MiB
    run, failures, free, _ = disk_run(suite, sc, -(-need // 4096) * 4096, [])
    if failures:
        return failures
    c = Checker(sc["name"])
    need_mb = -(-need // MiB)
    c.true(free < need and free // MiB == need_mb - 1,
           "the tmpfs has %d bytes free for a need of %d" % (free, need))
    check_common(c, run, dict(code=5, reason="disk-space",
                              message=("error", msg_disk(need_mb, free // MiB)),
                              lines=["no installed version found"], downloads=0))
    return c.failures


def disk_full_before_check(suite, sc):
    """The disk is filled to the last byte once the log is open (the
    release answer is held back): a free-space answer of 0 is a full
    disk, refused, not an unknown amount that lets the download start.
    The log's later lines still fit in its first page."""
    def fill_after_opening_lines(p, shared):
        log = os.path.join(shared, "online-setup.log")
        def opened():
            try:
                return LogRun(log).has("work folder reuse: ")
            except (Failed, OSError, UnicodeDecodeError):
                return False
        if not suite.wait_for(opened, 20):
            return ["the run wrote no opening lines"]
        left = fill(suite, suite.b.programdata, 0)
        return [] if left == 0 else ["%d bytes still free after filling" % left]
    size = os.path.getsize(suite.b.installer_of("good"))
    flag, release = suite.b.hold()
    run, failures, free, _ = disk_run(suite, sc, 64 * MiB, [rule(RELEASE_PATH, hold_until=flag)],
                                           fill_after_opening_lines, release)
    if failures:
        return failures
    c = Checker(sc["name"])
    check_common(c, run, dict(code=5, reason="disk-space",
                              message=("error", msg_disk(-(-(size + 256 * MiB) // MiB), 0)),
                              downloads=0))
    c.eq(free, 0, "free bytes at the end")
    return c.failures


def disk_fills_during_download(suite, sc):
    """Room for the check, then (while the installer request is held
    back) the disk is filled but for 64 KiB: the first piece is written,
    the second cannot be. The download ends at once as a local failure
    with the system's error (112, disk full): one request, no retry, no
    word about the internet connection, and the part file keeps the
    bytes written."""
    size = os.path.getsize(suite.b.installer_of("good"))
    piece = 65536

    def fill_when_part_exists(p, shared):
        sha = sha256_file(suite.b.installer_of("good"))
        part = os.path.join(shared, sha + ".part")
        if not suite.wait_for(lambda: os.path.exists(part), 20):
            return ["the run made no part file"]
        left = fill(suite, suite.b.programdata, piece)
        return [] if left == piece else ["%d bytes free after filling" % left]
    if size <= piece:
        return ["the installer (%d bytes) fits in one piece" % size]
    flag, release = suite.b.hold()
    run, failures, _, left = disk_run(suite, 
        sc, -(-(size + 256 * MiB) // 4096) * 4096 + MiB, [rule(FILES, hold_until=flag)],
        fill_when_part_exists, release)
    if failures:
        return failures
    part_size, files = left
    c = Checker(sc["name"])
    check_common(c, run, dict(
        code=5, reason="part-file-write",
        message=("error", msg_write(run.log.value("work folder: "), ERROR_DISK_FULL)),
        no_lines=["download attempt ", "retrying in "], downloads=1))
    c.eq(part_size, piece, "the part file kept in the shared folder")
    c.eq([f for f in files if f.endswith(".exe")], [], "installer files left")
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [
        dict(name="disk-space-refused", runner=disk_space_refused),
        dict(name="disk-full-before-the-check", runner=disk_full_before_check),
        dict(name="disk-fills-during-the-download", runner=disk_fills_during_download),
    ]
