"""The release and the install decision: the release answer and its faults, the
signed envelope's faults, and what is installed already."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""

    def eight_failures(c, run):
        c.eq(len(run.releases()), 8, "release requests")
        c.eq(run.log.count("latest.txt attempt "), 8, "attempt lines")
        c.eq(run.log.count("retrying in 1000 ms"), 7, "waits of 1 s")

    def retried_once(c, run):
        c.eq(len(run.releases()), 2, "release requests")
        check_installed(c, run, b)

    return [
        dict(name="found-and-installed", release="good", code=0,
             reason="installed", message=("information", msg_installed()),
             lines=["release %s verified (key " % VERSION, "no installed version found", "sha256 ok",
                    "authenticode: pinned self-signed certificate",
                    "rollback package kept in updater-work\\rollback\\%s" % VERSION],
             check=installed_ok),
        dict(name="release-404", release="good",
             rules=[rule(RELEASE_PATH, status=404)], code=6, reason="no-release",
             message=("error", MSG_NO_RELEASE), check=no_download),
        dict(name="release-403", release="good",
             rules=[rule(RELEASE_PATH, status=403)], code=1, reason="release",
             message=("error", msg_status(403)), check=no_download),
        dict(name="release-407", release="good",
             rules=[rule(RELEASE_PATH, status=407)], code=1, reason="release",
             message=("error", msg_proxy(b.base)), check=no_download),
        dict(name="release-503-then-ok", release="good",
             rules=[rule(RELEASE_PATH, nth=1, status=503, retry_after=1)], code=0,
             reason="installed", message=("information", msg_installed()),
             lines=["latest.txt attempt 1 failed (status 503, error 0)", "retrying in 1000 ms"],
             check=retried_once),
        dict(name="release-rate-limited", release="good",
             rules=[rule(RELEASE_PATH, status=503, retry_after=301)], code=1, reason="release",
             message=("error", msg_minutes(6)), no_lines=["retrying in"], check=no_download),
        dict(name="release-eight-failures", release="good",
             rules=[rule(RELEASE_PATH, status=503, retry_after=1)], code=1, reason="release",
             message=("error", "Setup cannot reach Vornquill Cloud (%s). Check your internet "
                               "connection and try again." % b.base),
             lines=["latest.txt attempt 8 failed (status 503, error 0)"], check=eight_failures),
        dict(name="release-too-large", release="good",
             rules=[rule(RELEASE_PATH, status=200, body_size=2150401)], code=2, reason="release",
             message=("error", MSG_TOO_LARGE), check=no_download),
        dict(name="release-tampered", release="tampered", code=2,
             reason="release",
             message=("error", msg_verification("bad-signature")),
             lines=["release verification failed: bad-signature: ", "RELEASE-ERROR bad-signature"],
             check=no_download),
        dict(name="release-signature-last-byte", release="sig-last-byte",
             code=2, reason="release",
             message=("error", msg_verification("bad-signature")),
             lines=["RELEASE-ERROR bad-signature"], check=no_download),
        dict(name="release-key-id-last-character", release="kid-last-char",
             code=2, reason="release",
             message=("error", msg_newer_key(b.base)),
             lines=["RELEASE-ERROR unknown-kid"], check=no_download),
        dict(name="release-file-name-line-break", release="line-break", code=2,
             reason="release",
             message=("error", msg_verification("file-name")),
             lines=["release verification failed: file-name: the Windows installer's file name "
                    "%s\\x0d\\x0a2026-01-01T00:00:00.000Z RESULT code=0 reason=installed is "
                    "not accepted" % installer_name(), "RELEASE-ERROR file-name"],
             check=no_download),
        dict(name="release-unknown-key", release="other-key", code=2,
             reason="release",
             message=("error", msg_newer_key(b.base)),
             lines=["RELEASE-ERROR unknown-kid"], check=no_download),
        dict(name="installed-newer", release="good", registry=("2.0.0", None),
             code=7, reason="newer-installed",
             message=("error", msg_newer("2.0.0")),
             lines=["installed version: 2.0.0"], check=no_download),
        dict(name="installed-newer-in-last-part", release="good",
             registry=("1.2.1", None), code=7, reason="newer-installed",
             message=("error", msg_newer("1.2.1")),
             lines=["installed version: 1.2.1"], check=no_download),
        dict(name="installed-invalid", release="good",
             registry=("1.2.x", None), code=7, reason="installed-version-unknown",
             message=("error", MSG_UNKNOWN_VERSION), lines=["installed version: 1.2.x"],
             check=no_download),
        dict(name="installed-without-version", release="good",
             registry=(None, "{dir}"), code=7, reason="installed-version-unknown",
             message=("error", MSG_UNKNOWN_VERSION),
             lines=["installed version could not be read (error 2)"],
             no_lines=["no installed version found"], check=no_download),
        dict(name="installed-version-line-break", release="good",
             registry=("1.2.x\r\nRESULT code=0 reason=installed", None), code=7,
             reason="installed-version-unknown", message=("error", MSG_UNKNOWN_VERSION),
             lines=["installed version: 1.2.x\\x0d\\x0aRESULT code=0 reason=installed"],
             check=no_download),
        dict(name="installed-equal-silent", release="good",
             registry=(VERSION, "C:\\e2e\\equal"), code=0, reason="already-installed",
             message=("information", MSG_ALREADY), no_lines=["repairing the installed version"],
             check=no_download),
    ]
