"""What another program meets that reaches for the installer while it runs:
the program holds it open with read sharing only, from its proof to the end
of the installer's run."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)
from groups.window import end_window_run, window_run

# ERROR_SHARING_VIOLATION: what another process gets for a file held open
# with read sharing only.
ERROR_SHARING_VIOLATION = 32


def installer_held(suite, sc):
    """While the product installer runs, another process can neither open
    the installer file for writing, nor rename it, nor delete it: the
    program holds it open with read sharing only from its proof to the
    end of the installer's run."""
    b = suite.b
    # The demo installer waits for this file before it installs: the probe
    # acts while it runs, however long the probe takes.
    flag, go_on = b.hold()
    p, before, mark, inst, plan = window_run(
        suite, sc, "good", [], switches=("/VERYSILENT", "/SUPPRESSMSGBOXES"),
        hooks={"VQ_DEMO_WAIT_FILE": b.winpath(flag)})
    if not suite.wait_log_line(before, "running: ", 30):
        p.kill()
        raise Failed("the installer was never started")
    folder = sorted(b.work_folders() - before)[0]
    path = "C:\\ProgramData\\%s\\%s" % (os.path.basename(folder), installer_name())
    r = b.wine_tool([b.probe, "try-file", path])
    still_running = b.installer_running()
    go_on()
    attempts = {}
    for line in r.stdout.decode(errors="replace").replace("\r", "").splitlines():
        key, sep, value = line.partition(": ")
        if sep:
            attempts[key] = int(value)
    run = end_window_run(suite, p, plan, before, mark, inst, timeout=60)
    c = Checker(sc["name"])
    c.true(still_running, "the installer had ended before the probe was done: the "
                          "attempts did not meet the running installer")
    c.eq(attempts, {"write": ERROR_SHARING_VIOLATION, "rename": ERROR_SHARING_VIOLATION,
                    "delete": ERROR_SHARING_VIOLATION},
         "another process's attempts on the running installer (system errors)")
    check_common(c, run, dict(code=0, reason="installed",
                              message=("information", msg_installed()),
                              lines=["installer exit code 0"]))
    check_installed(c, run, b)
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [dict(name="installer_held_from_others", runner=installer_held)]
