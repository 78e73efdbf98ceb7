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
  wine_env_display
  if [ -n "${VQ_WINE_TEMPLATE:-}" ] && [ -f "$VQ_WINE_TEMPLATE/system.reg" ]; then
    # A copy of a prepared prefix (wine_env_template): a second, not a
    # wineboot. The system's libraries (nine tenths of it, never written to)
    # are hard links; everything else is copied.
    local system32=drive_c/windows/system32
    tar -C "$VQ_WINE_TEMPLATE" --exclude="./$system32" -cf - . | tar -C "$WINEPREFIX" -xf -
    cp -al "$VQ_WINE_TEMPLATE/$system32" "$WINEPREFIX/$system32"
  else
    wine_env_prepare
  fi
  # One persistent server for the rest of the run so process starts are fast.
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  # The prefix's background services start with the first program and live as
  # long as the server: start them here, away from any caller's output pipe,
  # or a reader of a test's output would wait for them forever.
  "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
}

# Starts Xvfb on a display of its own and exports DISPLAY. Xvfb picks the
# first free display itself (its lock files make the choice safe against
# displays started at the same moment) and writes the number once it accepts
# clients.
wine_env_display() {
  local numbers
  numbers="$(mktemp /tmp/vq-display.XXXXXX)"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$numbers" >/dev/null 2>&1 &
  VQ_XVFB_PID=$!
  for _ in $(seq 200); do
    [ -n "$(tr -dc 0-9 <"$numbers")" ] && break
    kill -0 "$VQ_XVFB_PID" 2>/dev/null || break
    sleep 0.05
  done
  export DISPLAY=":$(tr -dc 0-9 <"$numbers")"
  rm -f "$numbers"
  [ "$DISPLAY" != ":" ] || echo "wine-env: Xvfb did not start" >&2
}

# Makes the prefix in $WINEPREFIX and waits until its server is gone (which
# writes the registry to disk).
wine_env_prepare() {
  "$WINE64" wineboot -i </dev/null >/dev/null 2>&1 || true
  # This test PC trusts the test PKI's root, which issued the time-stamping
  # certificate of the test signatures (the code-signing certificates
  # themselves stay untrusted: the pinned one is self-signed).
  wine_env_trust_root "$VQ_WINE_ENV_ROOT/tests/signing/ca.crt"
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
}

# Prepares a prefix once for wine_env_start to copy (exported as
# VQ_WINE_TEMPLATE); wine_env_template_remove removes it.
wine_env_template() {
  local prefix
  prefix="$(mktemp -d /tmp/vq-wine-template.XXXXXX)"
  (
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX="$prefix"
    wine_env_display
    wine_env_prepare
    kill "$VQ_XVFB_PID" 2>/dev/null || true
  )
  export VQ_WINE_TEMPLATE="$prefix"
}

wine_env_template_remove() {
  case "${VQ_WINE_TEMPLATE:-}" in /tmp/vq-wine-template.*) rm -rf "$VQ_WINE_TEMPLATE" ;; esac
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
