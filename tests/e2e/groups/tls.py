"""Servers the program must not trust: the reference cloud hands each new
connection the next refused server, and one run meets every one."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)

import socket
import ssl
import warnings

SECURE_CHANNEL_ERROR = 12157    # ERROR_WINHTTP_SECURE_CHANNEL_ERROR
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"

# Servers the program must not trust, one fault each, as the reference cloud
# offers them in turn (--refusals): the fault, why a strict client of this
# test is refused by it, and the error with which WinHTTP fails the attempt
# that meets it.
TLS_FAULTS = [
    dict(offer="untrusted", strict="self-signed certificate in certificate chain",
         error=SECURE_CHANNEL_ERROR),
    dict(offer="expired", strict="certificate has expired", error=SECURE_CHANNEL_ERROR),
    dict(offer="other-host", strict="Hostname mismatch", error=SECURE_CHANNEL_ERROR),
    dict(offer="legacy-tls", strict="alert protocol version", error=SECURE_CHANNEL_ERROR,
         versions=("TLSv1", "TLSv1.1")),
]


def tls_client_get(port, strict):
    """GET of the release path by a client of this test: STRICT trusts only the
    system store, checks the host name and takes TLS 1.2 or newer, as the
    program must; otherwise it checks nothing and takes TLS 1.0 as well.
    Returns (status, TLS version) or raises ssl.SSLError."""
    if strict:
        context = ssl.create_default_context(cafile=SYSTEM_BUNDLE)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
    else:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname="localhost") as tls:
            tls.sendall(("GET %s?%s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
                         % (RELEASE_PATH, RELEASE_QUERY)).encode())
            head = tls.recv(64).decode(errors="replace")
            return int(head.split()[1]), tls.version()


def tls_refusals(suite, sc):
    """The cloud hands each new connection the next of the refused servers
    of sc["faults"] in turn. A client of this test first shows that each
    has exactly its one fault: a strict client is refused for it, and a
    client that checks nothing is served. Then one silent run meets every
    fault in its eight attempts: each attempt fails before any request is
    sent (the cloud sees connections, and no request), and the run ends as
    a cloud that cannot be reached."""
    b = suite.b
    b.serve("good")
    b.set_rules([])
    faults = sc["faults"]
    c = Checker(sc["name"])
    ended = ("connection-closed", "handshake-failed")
    b.stop_cloud()
    try:
        b.start_cloud(["--refusals", ",".join(f["offer"] for f in faults)])
        # Each client connection meets the next fault; the log says which.
        for strict in (True, False):
            for _ in faults:
                mark = b.reqlog_mark()
                try:
                    got = tls_client_get(b.port, strict)
                except ssl.SSLError as e:
                    got = e
                met = b.wait_records(mark, ended, 1)
                offer = met[0].get("offer") if len(met) == 1 else None
                fault = [f for f in faults if f["offer"] == offer]
                if not fault:
                    c.true(False, "a client connection met %r" % (met,))
                    continue
                fault = fault[0]
                what = "%s: " % offer
                if strict:
                    c.true(isinstance(got, ssl.SSLError) and fault["strict"] in str(got),
                           what + "a strict client was not refused for its fault: %r" % (got,))
                elif isinstance(got, ssl.SSLError):
                    c.true(False, what + "a client that checks nothing was refused: %s" % got)
                else:
                    c.eq(got[0], 200, what + "status for a client that checks nothing")
                    c.true(got[1] in fault.get("versions", ("TLSv1.2", "TLSv1.3")),
                           what + "the server spoke %s" % got[1])
        run = suite.run_plain(dict(sc, release="good", timeout=240))
    finally:
        b.stop_cloud()
        b.start_cloud()
    suite.last_run = run
    check_common(c, run, dict(sc, code=1, reason="release", reaches_cloud=False,
                              message=("error", msg_cannot_reach(b.base))))
    attempts = [line for line in run.log.lines if line.startswith("latest.txt attempt ")]
    c.eq(len(attempts), 8, "attempt lines")
    errors = {f["error"] for f in faults}
    c.true(all(re.fullmatch(r"latest\.txt attempt [1-8] failed \(status 0, error \d+\)", line)
               and int(line.rsplit(" ", 1)[1][:-1]) in errors for line in attempts),
           "attempt lines: %s" % attempts)
    c.eq(len(run.requests), 0, "requests the cloud received from the run")
    conns = b.records_since(run.mark, ended)
    c.true(len(conns) >= 8, "the cloud saw %d connections, not one per attempt" % len(conns))
    c.eq([r for r in conns if r.get("requests")], [], "connections that carried a request")
    for f in faults:
        met = [r for r in conns if r.get("offer") == f["offer"]]
        c.true(len(met) >= 2, "the run met %s %d time(s), not twice" % (f["offer"], len(met)))
    if len({f["error"] for f in faults}) == 1:
        c.eq(attempts, ["latest.txt attempt %d failed (status 0, error %d)"
                        % (n, faults[0]["error"]) for n in range(1, 9)], "attempt lines")
    return c.failures


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [
        dict(name="tls-refused-servers", runner=tls_refusals, faults=TLS_FAULTS),
    ]
