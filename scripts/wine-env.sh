# Sourced by the test and demo scripts: a private Wine prefix with its own
# wineserver and an Xvfb display, stopped again by wine_env_stop.
VQ_WINE_ENV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
# The prefixes and templates of this checkout carry its tag in their names
# (/tmp/vq-wine.TAG.*, /tmp/vq-wine-template.TAG.*), so that this checkout's
# leftovers can be told from another checkout's live prefixes.
VQ_WINE_TAG="$(printf '%s' "$VQ_WINE_ENV_ROOT" | sha256sum | cut -c1-8)"

wine_env_start() {
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX="$(mktemp -d "/tmp/vq-wine.$VQ_WINE_TAG.XXXXXX")"
  wine_env_display
  if [ -n "${VQ_WINE_TEMPLATE:-}" ] && [ -f "$VQ_WINE_TEMPLATE/system.reg" ]; then
    # A copy of a prepared prefix (wine_env_template): a second, not a
    # wineboot. In a test's own mount namespace and /tmp
    # (tests/lib/wine-isolated) the copy is an overlay: the template stays as
    # it is below, what Wine writes goes to the test's /tmp, and both go with
    # the namespace. Elsewhere a whole copy (reflinks where the file system
    # has them), since a prefix whose files are links to the template's
    # would change the template and every other prefix with each write.
    if [ "${VQ_WINE_PRIVATE_TMP:-}" != 1 ] || ! wine_env_overlay; then
      cp -a --reflink=auto "$VQ_WINE_TEMPLATE/." "$WINEPREFIX/"
    fi
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

# Mounts the template as $WINEPREFIX with its writes in a layer of its own
# beside it (/tmp is the test's tmpfs); fails when the system cannot.
wine_env_overlay() {
  local layer="$WINEPREFIX.layer"
  mkdir -p "$layer/upper" "$layer/work" &&
    mount -t overlay overlay \
      -o "lowerdir=$VQ_WINE_TEMPLATE,upperdir=$layer/upper,workdir=$layer/work" \
      "$WINEPREFIX" 2>/dev/null && return 0
  echo "wine-env: no overlay of the template here; copying it" >&2
  rm -rf "$layer"
  return 1
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
  prefix="$(mktemp -d "/tmp/vq-wine-template.$VQ_WINE_TAG.XXXXXX")"
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

# Removes the prefixes and templates of this checkout that earlier runs left
# (a run killed before its own clean-up), except those a live process still
# uses: named in its environment (WINEPREFIX, VQ_WINE_TEMPLATE), or its
# working folder. Another checkout's prefixes have another tag and are never
# looked at. Prints what it removed.
wine_env_remove_leftovers() {
  local found=() used="" pid dir
  for dir in "/tmp/vq-wine.$VQ_WINE_TAG."* "/tmp/vq-wine-template.$VQ_WINE_TAG."*; do
    [ -d "$dir" ] && found+=("$dir")
  done
  [ ${#found[@]} -gt 0 ] || return 0
  for pid in /proc/[0-9]*; do
    # (A process that is gone, or not readable, counts for nothing.)
    used+="$({ tr '\0' '\n' <"$pid/environ"; } 2>/dev/null |
      sed -n 's/^[A-Za-z_][A-Za-z0-9_]*=\(\/tmp\/vq-wine\)/\1/p' || true)"$'\n'
    used+="$(readlink "$pid/cwd" 2>/dev/null || true)"$'\n'
  done
  for dir in "${found[@]}"; do
    local path in_use=0
    while IFS= read -r path; do
      case "$path" in "$dir" | "$dir"/* | "$dir.layer" | "$dir.layer"/*) in_use=1 ;; esac
    done <<<"$used"
    [ "$in_use" = 0 ] || continue
    echo "wine-env: removing $dir, left by an earlier run" >&2
    rm -rf "$dir" "$dir.layer"
  done
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
    case "$WINEPREFIX" in
      /tmp/vq-wine.*)
        # An overlay is taken down, not emptied (that would write a
        # deletion mark for every file of the template).
        if [ -d "$WINEPREFIX.layer" ]; then umount -l "$WINEPREFIX" 2>/dev/null || true; fi
        rm -rf "$WINEPREFIX" "$WINEPREFIX.layer" ;;
    esac
  fi
  if [ -n "${VQ_XVFB_PID:-}" ]; then kill "$VQ_XVFB_PID" 2>/dev/null || true; fi
}
