# Sourced by the test and demo scripts: a private Wine prefix with its own
# wineserver and an Xvfb display, stopped again by wine_env_stop.
VQ_WINE_ENV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER="$(command -v wineserver || echo /usr/lib/wine/wineserver)"

wine_env_start() {
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX="$(mktemp -d /tmp/vq-wine.XXXXXX)"
  # Xvfb on the first free display number.
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  VQ_XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  # First start: make the prefix and wait until its server is gone, then keep
  # one persistent server for the rest of the run so process starts are fast.
  "$WINE64" wineboot -i </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  # The prefix's background services start with the first program and live as
  # long as the server: start them here, away from any caller's output pipe,
  # or a reader of a test's output would wait for them forever.
  "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
  # This test PC trusts the test PKI's root, which issued the time-stamping
  # certificate of the test signatures (the code-signing certificates
  # themselves stay untrusted: the pinned one is self-signed).
  wine_env_trust_root "$VQ_WINE_ENV_ROOT/tests/signing/ca.crt"
}

# Puts a certificate (PEM file) into the prefix's machine-wide root store, as
# an administrator of a PC would: the registry store's serialized form, one
# certificate property (id 32, encoding 1, length, DER bytes) under the
# certificate's SHA-1 thumbprint.
wine_env_trust_root() {
  local pem="$1" thumb length blob
  thumb="$(openssl x509 -in "$pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"
  length="$(openssl x509 -in "$pem" -outform DER | wc -c)"
  blob="2000000001000000$(printf '%08x' "$length" | sed -E 's/^(..)(..)(..)(..)$/\4\3\2\1/')"
  blob="$blob$(openssl x509 -in "$pem" -outform DER | od -An -v -tx1 | tr -d ' \n')"
  "$WINE64" reg add "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumb" \
    /v Blob /t REG_BINARY /d "$blob" /f </dev/null >/dev/null 2>&1 ||
    echo "wine-env: could not put $pem into the root store of $WINEPREFIX" >&2
}

wine_env_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then
    "$WINESERVER" -k >/dev/null 2>&1 || true
    case "$WINEPREFIX" in /tmp/vq-wine.*) rm -rf "$WINEPREFIX" ;; esac
  fi
  if [ -n "${VQ_XVFB_PID:-}" ]; then kill "$VQ_XVFB_PID" 2>/dev/null || true; fi
}
