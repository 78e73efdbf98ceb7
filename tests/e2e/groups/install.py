"""Verification, launch and the installer's result: size, SHA-256 and
Authenticode refusals, files put in the run's way, the installer's exit codes."""

import contextlib
import io

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)


def start_held_at_part_file(suite, sc):
    """A silent run of the good release in the shared work folder, its
    installer answer held back once the part file exists: (the installer's
    SHA-256, what start_shared_held gives)."""
    suite.b.serve("good")
    sha = sha256_file(suite.b.installer_of("good"))
    part = sha + ".part"
    return sha, suite.start_shared_held(
        sc, FILES, lambda shared: os.path.exists(os.path.join(shared, part)))


def open_installer_second_name(suite, sc):
    """While the installer request is held back, the part file gets a
    second name outside the work folder (a hard link): the complete
    download, moved to the installer's name, is refused at its opening
    for verification ("open-installer", error 1920), its name in the work
    folder is deleted, and the data under the other name is untouched."""
    b = suite.b
    sha, started = start_held_at_part_file(suite, sc)
    if started is None:
        return ["the run made no part file"]
    p, plan, inst, mark, shared, release = started
    outside = os.path.join(b.unix_of(inst), "second-name")
    os.makedirs(os.path.dirname(outside), exist_ok=True)
    os.link(os.path.join(shared, sha + ".part"), outside)
    release()
    run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
    suite.last_run = run
    c = Checker(sc["name"])
    check_common(c, run, dict(code=5, reason="open-installer",
                              message=("error", "Setup could not open the downloaded installer "
                                                "(error %d)." % ERROR_CANT_ACCESS_FILE),
                              no_lines=["sha256 ok", "running: "], downloads=1))
    check_no_installer_left(c, run)
    c.eq(sha256_file(outside) if os.path.isfile(outside) else None, sha,
         "the data under the second name")
    return c.failures


def hash_read(suite, sc):
    """The shared folder holds the large release's complete part file;
    once the run has moved it to the installer's name and is computing
    its digest, the file is cut to half its length from outside Wine
    (Windows's sharing lock holds only against Windows programs). The
    digest's read comes up short: "hash-read", and the installer is
    deleted."""
    b = suite.b
    b.serve("large")
    big = b.installer_of("large")
    size = os.path.getsize(big)
    sha = sha256_file(big)
    started = suite.start_shared_held(sc, RELEASE_PATH)
    if started is None:
        return ["the run made no shared folder"]
    p, plan, inst, mark, shared, release = started
    copy_sparse(big, os.path.join(shared, sha + ".part"))
    exe = os.path.join(shared, installer_name())
    read_before = b.bytes_read()
    release()
    if not suite.wait_for(lambda: os.path.exists(exe), 20, 0.005):
        p.kill()
        return ["the part file was never moved to the installer's name"]
    # Past the size check once the digest reads: the run has read 16 MiB
    # more than before the release (the digest of 2 GiB reads on for
    # seconds).
    if not suite.wait_for(lambda: b.bytes_read() - read_before >= 16 * MiB, 20, 0.005):
        p.kill()
        return ["the run never began reading the installer for its digest"]
    os.truncate(exe, size // 2)
    run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
    suite.last_run = run
    c = Checker(sc["name"])
    check_common(c, run, dict(code=5, reason="hash-read",
                              message=("error", "Setup could not read the downloaded installer."),
                              lines=["resuming a partial download at %d bytes" % size],
                              no_lines=["sha256 ok", "sha256 mismatch", "authenticode: ",
                                        "running: "],
                              downloads=0))
    check_no_installer_left(c, run)
    return c.failures


def installer_name_directory(suite, sc):
    """While the installer request is held back, a directory is made at
    the installer's name in the shared work folder: the complete part file
    cannot be moved there ("rename"), stays for the next run, and the
    directory is left as it was."""
    b = suite.b
    sha, started = start_held_at_part_file(suite, sc)
    if started is None:
        return ["the run made no part file"]
    p, plan, inst, mark, shared, release = started
    part = os.path.join(shared, sha + ".part")
    exe = os.path.join(shared, installer_name())
    os.mkdir(exe)
    release()
    run = Run(b, p.wait(90), shared, mark, b.unix_of(inst))
    suite.last_run = run
    c = Checker(sc["name"])
    check_common(c, run, dict(code=5, reason="rename",
                              message=("error", "Setup could not prepare the downloaded "
                                                "installer (error %d)." % ERROR_ACCESS_DENIED),
                              no_lines=["sha256 ok", "running: "], downloads=1))
    c.eq(sha256_file(part) if os.path.isfile(part) else None, sha,
         "the complete part file kept in the shared folder")
    c.eq(os.listdir(exe) if os.path.isdir(exe) else None, [],
         "the directory at the installer's name")
    return c.failures


def harness_tool_not_started(suite, sc):
    """The harness starts its own Wine programs (regedit, reg, the probe)
    again only when Wine's loader could not start them or they did not end
    in time, and still returns the failure when no start works: a file that
    is no program is tried three times, each retry noted, and ends failed; a
    program that starts and fails is not tried again; one that never ends
    in time is tried three times and its time-out raised."""
    b = suite.b
    junk = os.path.join(b.work, "not-a-program.exe")
    with open(junk, "wb") as f:
        f.write(b"\0" * 4096)
    c = Checker(sc["name"])
    for args, code, starts in (([b.winpath(junk)], "failed", 3),
                               (["reg", "query", "HKLM\\Software\\VornquillNoSuchKey"],
                                "failed", 1),
                               (["reg", "query", "HKLM\\Software"], 0, 1)):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            r = b.wine_tool(args)
        ended = 0 if r.returncode == 0 else "failed"
        c.eq(ended, code, "how %s ended" % args[0])
        c.eq(out.getvalue().count("note: Wine could not start "), starts - 1,
             "starts of %s tried again" % args[0])
        c.eq(WINE_COULD_NOT_START in r.stdout, starts > 1,
             "Wine's loader could not start %s" % args[0])
    # A program that does not end in time is started three times, and the
    # third time-out is the harness's failure.
    out = io.StringIO()
    timed_out = False
    with contextlib.redirect_stdout(out):
        try:
            b.wine_tool(["cmd", "/c", "ping -n 4 127.0.0.1 >nul"], timeout=1)
        except subprocess.TimeoutExpired:
            timed_out = True
    c.eq(timed_out, True, "a program that never ends within its time ends the harness's call")
    c.eq(out.getvalue().count("did not end within 1 s under Wine"), 2, "starts of a slow program tried again")
    return c.failures


# The vendor's signatures in the shapes of public certification authorities
# (tests/signing): an issuing intermediate, CRL distribution point, authority
# information access and policies; RSA-3072 with SHA-256, RSA-4096 with
# SHA-384, and a leaf that has run out since it signed and was time-stamped.
# ECDSA (vendor-ecdsa) is left out: Wine's WinVerifyTrust does not verify an
# ECDSA signer (tests/verify/signed-fixtures.table).
PUBLIC_SHAPES = ("vendor", "vendor-rsa4096", "vendor-expired")
CERTS = os.path.join(ROOT, "tests", "signing")
CA_CRT = os.path.join(CERTS, "ca.crt")  # the root a test PC trusts


def thumbprint_of(crt):
    """The SHA-1 thumbprint of a PEM certificate, 40 upper-case digits."""
    r = run_quiet(["openssl", "x509", "-in", crt, "-noout", "-fingerprint", "-sha1"])
    if r.returncode != 0:
        raise Failed("thumbprint of %s: %s" % (crt, r.stdout.decode(errors="replace")))
    return r.stdout.decode().strip().split("=", 1)[1].replace(":", "").upper()


def sign_crl_direct(b):
    """The demo installer signed as a release engineer with a certificate of
    the test root for the vendor's key and subject would sign it: the
    certificate names a CRL distribution point that never answers
    (http://crl.example.invalid/ca.crl) and comes with the root; time-stamped
    by the test TSA. Returns (the signed file, its signer's certificate)."""
    work = os.path.join(b.work, "crl-direct")
    os.makedirs(work, exist_ok=True)
    csr, crt, chain, ext = (os.path.join(work, n) for n in ("csr", "crt", "chain.crt", "ext.cnf"))
    tsa_chain = os.path.join(work, "tsa-chain.crt")
    with open(ext, "w") as f:
        f.write("[ext]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\n"
                "extendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\n"
                "authorityKeyIdentifier = keyid\n"
                "crlDistributionPoints = URI:http://crl.example.invalid/ca.crl\n")
    subject = subprocess.run(["openssl", "x509", "-in", os.path.join(CERTS, "vendor.crt"), "-noout",
                              "-subject", "-nameopt", "compat"], capture_output=True, text=True)
    out = os.path.join(b.work, "signed-crl-direct")
    steps = [
        ["openssl", "req", "-new", "-key", os.path.join(CERTS, "vendor.key"), "-subj",
         subject.stdout.strip().split("=", 1)[1], "-out", csr],
        ["openssl", "x509", "-req", "-in", csr, "-CA", CA_CRT, "-CAkey",
         os.path.join(CERTS, "ca.key"), "-sha256", "-days", "30", "-set_serial",
         "0x" + os.urandom(8).hex(), "-extfile", ext, "-extensions", "ext", "-out", crt],
    ]
    for step in steps:
        r = run_quiet(step)
        if r.returncode != 0:
            raise Failed("the CRL-distribution-point certificate: %s" % r.stdout.decode(errors="replace"))
    with open(chain, "wb") as f:
        for part in (crt, CA_CRT):
            f.write(open(part, "rb").read())
    with open(tsa_chain, "wb") as f:
        for part in ("tsa.crt", "tsa-ca.crt"):
            f.write(open(os.path.join(CERTS, part), "rb").read())
    r = run_quiet(["osslsigncode", "sign", "-h", "sha256", "-certs", chain, "-key",
                   os.path.join(CERTS, "vendor.key"), "-n", "Vornquill AI Setup", "-TSA-certs", tsa_chain,
                   "-TSA-key", os.path.join(CERTS, "tsa.key"), "-in", b.demo, "-out", out])
    if r.returncode != 0:
        raise Failed("signing with the CRL-distribution-point certificate: %s"
                     % r.stdout.decode(errors="replace"))
    return out, crt


def releases(b):
    """The group's own releases: the installer in each public shape, and
    with the CRL-distribution-point certificate, each accepted by publish."""
    b.public_signers = {}
    for kind in PUBLIC_SHAPES:
        b.publish("public-" + kind, b.sign(kind, True, "public-" + kind), trust_ca=CA_CRT)
        b.public_signers["public-" + kind] = thumbprint_of(os.path.join(CERTS, kind + ".crt"))
    signed, crt = sign_crl_direct(b)
    b.publish("public-crl-direct", signed, trust_ca=CA_CRT)
    b.public_signers["public-crl-direct"] = thumbprint_of(crt)


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    sha = sha256_file(b.installer_of("good"))
    silent = ["/VERYSILENT", "/SUPPRESSMSGBOXES"]
    mismatch_sha = sha256_file(b.installer_of("one-byte"))

    def auth_refused(c, run):
        check_no_installer_left(c, run)
        c.eq(len(run.downloads()), 1, "installer requests")

    def package_left_alone(c, run):
        marker = os.path.join(run.install_dir, "updater-work", "rollback", VERSION, "marker.txt")
        c.eq(sorted(os.listdir(os.path.dirname(marker))), ["marker.txt"], "existing package")
        c.eq(open(marker).read(), "kept before", "existing package's file")
        check_no_installer_left(c, run)

    def other_version(c, run):
        c.true(not os.path.exists(os.path.join(run.install_dir, "updater-work")),
               "a rollback package was made")
        check_no_installer_left(c, run)

    def part_back(c, run):
        c.eq([f for f in run.files() if f.endswith(".exe") or f.endswith(".part")],
             [sha + ".part"], "installer moved back to the part name")
        part = os.path.join(run.folder, sha + ".part")
        if os.path.exists(part):
            c.eq(sha256_file(part), sha, "the part file's digest")

    def failed_message(run):
        return ("error", "The Vornquill AI installer stopped with code 1. Its log is "
                         "%s\\install.log." % run.log.value("work folder: "))

    return [
        dict(name="upgrade", release="good", registry=("1.1.0", "{dir}"),
             switches=silent, code=0, reason="installed",
             message=("information", msg_installed()), lines=["installed version: 1.1.0"],
             no_lines=["repairing the installed version"], check=installed_ok),
        dict(name="repair", release="good", registry=(VERSION, "{dir}"),
             switches=silent + ["/REPAIR"], code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["installed version: %s" % VERSION, "repairing the installed version"],
             check=installed_ok),
        dict(name="package-already-kept", release="good",
             registry=("1.1.0", "{dir}"), prepare="existing_package", code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["rollback: a package for %s is already kept; leaving it" % VERSION],
             no_lines=["rollback package kept in", "rollback package not kept"],
             check=package_left_alone),
        dict(name="declared-size-differs", release="size-plus", code=2,
             reason="download-size", message=("error", MSG_SIZE), check=fresh_cleanup),
        dict(name="one-byte-changed", release="one-byte", code=2,
             reason="sha256-mismatch", message=("error", MSG_SHA),
             lines=["sha256 mismatch: got %s" % mismatch_sha], no_lines=["authenticode: "],
             check=fresh_cleanup),
        dict(name="digest-differs-in-last-byte", release="digest-last-byte",
             code=2, reason="sha256-mismatch", message=("error", MSG_SHA),
             lines=["sha256 mismatch: got %s" % sha], no_lines=["authenticode: ", "running: "],
             downloads=1, check=fresh_cleanup),
        dict(name="unsigned", release="unsigned", code=2, reason="authenticode",
             message=("error", MSG_AUTH),
             lines=["authenticode: not signed (WinVerifyTrust 0x800B0100, signer none, "
                    "timestamp no)"], no_lines=["running: "], check=auth_refused),
        dict(name="modified-after-signing", release="modified", code=2,
             reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: the signature does not match the file (modified) "
                    "(WinVerifyTrust 0x80096010"], no_lines=["running: "], check=auth_refused),
        dict(name="other-organisation", release="other", code=2,
             reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: validly signed, but not by Hollbrek ("],
             no_lines=["running: "], check=auth_refused),
        dict(name="right-organisation-not-pinned", release="unpinned", code=2,
             reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: signature rejected by Windows (WinVerifyTrust 0x800B0109"],
             no_lines=["running: "], check=auth_refused),
        dict(name="pinned-without-timestamp", release="pinned-no-ts", code=2,
             reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: pinned certificate but no timestamp ("],
             no_lines=["running: "], check=auth_refused),
        dict(name="timestamp-copied-from-another-file", release="ts-copied",
             code=2, reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: pinned certificate but no timestamp ("],
             no_lines=["running: "], check=auth_refused),
        dict(name="timestamp-from-untrusted-ca", release="ts-untrusted-ca",
             code=2, reason="authenticode", message=("error", MSG_AUTH),
             lines=["authenticode: pinned certificate but no timestamp ("],
             no_lines=["running: "], check=auth_refused),
        dict(name="installer-cannot-start", release="dll-flagged", code=4,
             reason="launch",
             message=("error", "Setup could not start the Vornquill AI installer (error %d)."
                      % ERROR_BAD_EXE_FORMAT),
             lines=["sha256 ok", "authenticode: pinned self-signed certificate", "running: ",
                    "CreateProcess failed: error %d" % ERROR_BAD_EXE_FORMAT],
             no_lines=["installer exit code"], check=fresh_cleanup),
        dict(name="installer-with-a-second-name", release="good",
             runner=open_installer_second_name),
        dict(name="installer-unreadable-while-hashing", release="large",
             runner=hash_read),
        dict(name="installer-name-is-a-directory", release="good",
             runner=installer_name_directory),
        dict(name="installer-exit-1", release="good",
             hooks={"VQ_DEMO_EXIT_CODE": "1"}, code=4, reason="installer-failed",
             message=failed_message, lines=["installer exit code 1"], check=fresh_cleanup),
        dict(name="installer-exit-2-shared", release="good", shared=True,
             hooks={"VQ_DEMO_EXIT_CODE": "2"}, code=3, reason="installer-cancelled",
             message=None, lines=["installer exit code 2"], check=part_back),
        dict(name="installer-exit-5-shared", release="good", shared=True,
             hooks={"VQ_DEMO_EXIT_CODE": "5"}, code=3, reason="installer-cancelled",
             message=None, lines=["installer exit code 5"], check=part_back),
        dict(name="harness-tool-wine-cannot-start", runner=harness_tool_not_started),
        dict(name="installer-writes-other-version", release="good",
             hooks={"VQ_DEMO_VERSION": "1.2.1"}, code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["rollback package not kept: installed version 1.2.1, location known"],
             check=other_version),
    ] + [
        # Installed end to end from each release in a public shape.
        dict(name="installed-" + release, release=release, switches=silent, code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["authenticode: publicly trusted Hollbrek certificate (WinVerifyTrust 0x00000000, "
                    "signer %s, timestamp yes)" % signer, "installer exit code 0"],
             check=lambda c, run, release=release: check_installed(c, run, run.bench, release))
        for release, signer in sorted(getattr(b, "public_signers", {}).items())
    ]
