#!/usr/bin/env bash
# Runs the built demo product installer under Wine the way the setup program
# and the tests use it: copied under release file names, with the setup's
# switches. Checks its log, the files it installs, its uninstall entry in the
# 64-bit registry view, repairs and upgrades, the test hooks of its
# environment, refusals of bad command lines, and that a signed copy runs.
# Every run is bounded by a time-out: a window or message box waiting for an
# answer would show as a time-out.
#   tests/demo-installer/wine-test.sh <path of vq-demo-installer.exe>
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
. "$root/tests/lib/checks.sh"
exe="${1:?usage: wine-test.sh <vq-demo-installer.exe>}"
if [ ! -f "$exe" ]; then
  echo "FAIL: the demo installer $exe has not been built" >&2
  exit 1
fi
. "$root/scripts/wine-env.sh"

KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{5E2A7C19-3B4D-4F86-A1C0-9D8E7F6B5A43}_is1'
work="$(mktemp -d /tmp/vq-demo-test.XXXXXX)"
own_env=0
default_dir=""
default_dir_existed=1

reg_clear() { "$WINE64" reg delete "$KEY" /reg:64 /f >/dev/null 2>&1 || true; }

cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then
    reg_clear
    if [ "$default_dir_existed" = 0 ] && [ -n "$default_dir" ]; then rm -rf "$default_dir"; fi
  fi
  rm -rf "$work"
  if [ "$own_env" = 1 ]; then wine_env_stop; fi
}
trap cleanup EXIT

if [ -z "${WINEPREFIX:-}" ]; then
  wine_env_start
  own_env=1
fi
default_dir="$WINEPREFIX/drive_c/Program Files/Vornquill AI"
[ -e "$default_dir" ] || default_dir_existed=0

expect_log() {  # log-file text what
  if [ -f "$1" ] && tr -d '\r' <"$1" | grep -qF -- "$2"; then ok "$3"; else
    fail "$3: '$2' not in the log"
    [ -f "$1" ] && sed 's/^/    | /' "$1"
  fi
}

# Windows form of a Unix path (drive Z: is the Unix root under Wine).
winpath() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }

reg_value() {  # NAME: the REG_SZ value from the 64-bit view, or nothing
  "$WINE64" reg query "$KEY" /v "$1" /reg:64 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1  *REG_SZ  *//p"
}
reg_key_exists() { "$WINE64" reg query "$KEY" "$@" >/dev/null 2>&1; }

# run ENV-ASSIGNMENTS... -- EXE ARGS...: runs under Wine, sets $rc.
run() {
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  env "${envs[@]}" timeout 60 "$root/scripts/wine-run" "$@" >/dev/null 2>&1
  rc=$?
  if [ "$rc" = 124 ]; then fail "a run did not end within 60 s (a window waiting?): $*"; fi
}

release() {  # FILE-NAME: a copy of the demo installer under that name, in a folder with a space
  mkdir -p "$work/down load"
  cp "$exe" "$work/down load/$1"
  printf '%s' "$work/down load/$1"
}

reg_clear

# --- A first installation with every switch the setup program passes -------
inst="$work/Program Files/Vornquill AI"
log="$work/logs/install.log"
mkdir -p "$work/logs"
installer="$(release VornquillAI-Setup-x64-2.3.0-SELFSIGNED.exe)"
run -- "$installer" /SP- "/LOG=$(winpath "$log")" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART \
  "/DIR=$(winpath "$inst")" /COMPONENTS=main,models /TASKS=desktopicon /LANG=en
expect_eq "$rc" 0 "install: exit code"
expect_log "$log" "Installation process succeeded." "install: log written to the /LOG file"
expect_log "$log" "Dest dir: $(winpath "$inst")" "install: log names the folder"
expect_log "$log" "Exit code: 0" "install: log ends with the exit code"
expect_eq "$(tr -d '\r' <"$inst/version.txt" 2>/dev/null)" "2.3.0" "install: version.txt"
expect_eq "$(tr -d '\r' <"$inst/setup-choices.txt" 2>/dev/null | paste -sd' ')" \
  "components=main,models tasks=desktopicon language=en" "install: components, tasks and language arrived"
[ -f "$inst/readme.txt" ] && [ -f "$inst/data/settings.ini" ] && ok "install: files in place" ||
  fail "install: readme.txt or data/settings.ini missing"
ls "$inst" "$inst/data" | grep -q '\.tmp$' && fail "install: temporary files left behind" || ok "install: no temporary files left"
expect_eq "$(reg_value DisplayVersion)" "2.3.0" "install: DisplayVersion from the file name (-SELFSIGNED dropped)"
expect_eq "$(reg_value InstallLocation)" "$(winpath "$inst")\\" "install: InstallLocation"
expect_eq "$(reg_value Publisher)" "Hollbrek Zedivazavedazu LLP" "install: Publisher"
if reg_key_exists /reg:32; then fail "install: the entry is in the 32-bit view too"; else ok "install: 64-bit view only"; fi

# --- A repair: same version, no /DIR: the previous folder, files rewritten -
printf 'stale\r\n' >"$inst/version.txt"
rm -f "$inst/readme.txt"
log2="$work/logs/repair log.txt"
run -- "$installer" /SP- "/LOG=$(winpath "$log2")" /SILENT /SUPPRESSMSGBOXES /NORESTART
expect_eq "$rc" 0 "repair: exit code"
expect_log "$log2" "Repairing version 2.3.0" "repair: recognised as a repair"
expect_log "$log2" "Using the folder of the previous installation." "repair: previous folder reused"
expect_eq "$(tr -d '\r' <"$inst/version.txt" 2>/dev/null)" "2.3.0" "repair: version.txt rewritten"
[ -f "$inst/readme.txt" ] && ok "repair: missing file restored" || fail "repair: readme.txt not restored"
expect_eq "$(reg_value DisplayVersion)" "2.3.0" "repair: entry kept"
expect_eq "$(reg_value InstallLocation)" "$(winpath "$inst")\\" "repair: location kept"

# --- An upgrade, file name without -SELFSIGNED, pre-release version --------
upgrade="$(release VornquillAI-Setup-x64-2.4.0-rc.1.exe)"
run -- "$upgrade" /SP- "/LOG=$(winpath "$log")" /VERYSILENT /SUPPRESSMSGBOXES
expect_eq "$rc" 0 "upgrade: exit code"
expect_log "$log" "Replacing version 2.3.0 with 2.4.0-rc.1" "upgrade: log names both versions"
expect_eq "$(reg_value DisplayVersion)" "2.4.0-rc.1" "upgrade: DisplayVersion"

# --- Test hooks ------------------------------------------------------------
for code in 5 2 7; do
  run VQ_DEMO_EXIT_CODE=$code -- "$installer" /SP- "/LOG=$(winpath "$log")" /VERYSILENT /SUPPRESSMSGBOXES
  expect_eq "$rc" "$code" "VQ_DEMO_EXIT_CODE=$code: exit code"
done
expect_log "$log" "nothing was changed" "VQ_DEMO_EXIT_CODE: logged"
expect_eq "$(reg_value DisplayVersion)" "2.4.0-rc.1" "VQ_DEMO_EXIT_CODE: entry untouched"

run VQ_DEMO_VERSION=9.8.7-beta -- "$installer" /SP- "/LOG=$(winpath "$log")" /VERYSILENT /SUPPRESSMSGBOXES
expect_eq "$rc" 0 "VQ_DEMO_VERSION: exit code"
expect_eq "$(reg_value DisplayVersion)" "9.8.7-beta" "VQ_DEMO_VERSION: written into the entry"

start_ns=$(date +%s%N)
run VQ_DEMO_DELAY_MS=1500 -- "$installer" /SP- "/LOG=$(winpath "$log")" /VERYSILENT /SUPPRESSMSGBOXES
elapsed_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
expect_eq "$rc" 0 "VQ_DEMO_DELAY_MS: exit code"
expect_log "$log" "Waiting 1500 ms (VQ_DEMO_DELAY_MS)." "VQ_DEMO_DELAY_MS: logged"
[ "$elapsed_ms" -ge 1500 ] && ok "VQ_DEMO_DELAY_MS: the run took at least the delay" ||
  fail "VQ_DEMO_DELAY_MS: the run took only ${elapsed_ms} ms"

# VQ_DEMO_WAIT_FILE: the installer waits for the file (it has not ended
# when its log says it waits), then installs.
flag="$work/go-on"
rm -f "$log" "$flag"
VQ_DEMO_WAIT_FILE="$(winpath "$flag")" timeout 120 "$root/scripts/wine-run" "$installer" /SP- \
  "/LOG=$(winpath "$log")" /VERYSILENT /SUPPRESSMSGBOXES >/dev/null 2>&1 &
waiter=$!
for _ in $(seq 600); do
  tr -d '\r' <"$log" 2>/dev/null | grep -q "(VQ_DEMO_WAIT_FILE)\.$" && break
  kill -0 "$waiter" 2>/dev/null || break
  sleep 0.1
done
expect_log "$log" "Waiting for $(winpath "$flag") (VQ_DEMO_WAIT_FILE)." "VQ_DEMO_WAIT_FILE: logged"
if kill -0 "$waiter" 2>/dev/null; then ok "VQ_DEMO_WAIT_FILE: waits while the file is absent"; else
  fail "VQ_DEMO_WAIT_FILE: ended without the file"; fi
touch "$flag"
wait "$waiter"
expect_eq "$?" 0 "VQ_DEMO_WAIT_FILE: exit code once the file is there"
expect_log "$log" "The file is there; installing." "VQ_DEMO_WAIT_FILE: went on"

reg_clear
run VQ_DEMO_SKIP_ENTRY=1 -- "$installer" /SP- "/LOG=$(winpath "$log")" /VERYSILENT /SUPPRESSMSGBOXES \
  "/DIR=$(winpath "$work/skip")"
expect_eq "$rc" 0 "VQ_DEMO_SKIP_ENTRY: exit code"
[ -f "$work/skip/version.txt" ] && ok "VQ_DEMO_SKIP_ENTRY: files installed" || fail "VQ_DEMO_SKIP_ENTRY: no files"
if reg_key_exists /reg:64; then fail "VQ_DEMO_SKIP_ENTRY: an entry was written"; else ok "VQ_DEMO_SKIP_ENTRY: no entry"; fi

# --- Refusals: exit code 1, the reason in the log, nothing installed ------
# Each row: environment assignment (or -), then the switches after /LOG, then the log text.
refusals=(
  "-|/BOGUS|bad command line argument \"/BOGUS\": unknown switch"
  "-|/VERYSILENT /REPAIR|bad command line argument \"/REPAIR\": unknown switch"
  "-|/DIR=relative\\folder|cannot install into \"relative\\folder\""
  "-|/DIR|this switch needs a value"
  "-|/SILENT=yes|this switch takes no value"
  "VQ_DEMO_EXIT_CODE=five|/VERYSILENT|VQ_DEMO_EXIT_CODE must be"
  "VQ_DEMO_DELAY_MS=99999999|/VERYSILENT|VQ_DEMO_DELAY_MS must be"
  "VQ_DEMO_VERSION=|/VERYSILENT|VQ_DEMO_VERSION must be"
  "VQ_DEMO_WAIT_FILE=|/VERYSILENT|VQ_DEMO_WAIT_FILE must be"
)
for row in "${refusals[@]}"; do
  IFS='|' read -r assignment switches text <<<"$row"
  envs=()
  [ "$assignment" = "-" ] || envs=("$assignment")
  rm -f "$log"
  reg_clear
  # shellcheck disable=SC2086
  run "${envs[@]}" -- "$installer" /SP- "/LOG=$(winpath "$log")" "/DIR=$(winpath "$work/refused")" $switches
  expect_eq "$rc" 1 "refused ($assignment $switches): exit code"
  expect_log "$log" "$text" "refused ($assignment $switches): reason logged"
  if [ -e "$work/refused" ] || reg_key_exists /reg:64; then fail "refused ($assignment $switches): something was installed"; fi
done

# A file name without a version: refused, named in the log.
plain="$(release vq-demo-installer.exe)"
run -- "$plain" /SP- "/LOG=$(winpath "$log")" /VERYSILENT "/DIR=$(winpath "$work/refused")"
expect_eq "$rc" 1 "unversioned file name: exit code"
expect_log "$log" "the version cannot be told from the file name" "unversioned file name: reason logged"

# A log that cannot be created: nothing else happens.
run -- "$installer" /SP- "/LOG=$(winpath "$work/no such folder/install.log")" /VERYSILENT "/DIR=$(winpath "$work/refused")"
expect_eq "$rc" 1 "unwritable log: exit code"
[ -e "$work/refused" ] && fail "unwritable log: files were installed" || ok "unwritable log: nothing installed"

# A folder that cannot be made (a file is in the way): exit code 4, no entry.
reg_clear
printf 'x' >"$work/blocked"
run -- "$installer" /SP- "/LOG=$(winpath "$log")" /VERYSILENT "/DIR=$(winpath "$work/blocked/sub")"
expect_eq "$rc" 4 "blocked folder: exit code"
expect_log "$log" "Error: the installation folder could not be created" "blocked folder: reason logged"
if reg_key_exists /reg:64; then fail "blocked folder: an entry was written"; else ok "blocked folder: no entry"; fi

# --- No switches but /SP- and /LOG: no window, the default folder ---------
reg_clear
run -- "$installer" /SP- "/LOG=$(winpath "$log")"
expect_eq "$rc" 0 "interactive run without silent switches: ends by itself"
expect_log "$log" "Dest dir: C:\\Program Files\\Vornquill AI" "default folder under Program Files"
expect_eq "$(tr -d '\r' <"$default_dir/version.txt" 2>/dev/null)" "2.3.0" "default folder: files installed"
expect_eq "$(reg_value InstallLocation)" "C:\\Program Files\\Vornquill AI\\" "default folder: InstallLocation"

# --- A signed copy still runs ----------------------------------------------
mkdir -p "$work/signed"
if "$root/tools/sign-installer" "$exe" "$work/signed/VornquillAI-Setup-x64-3.0.0.exe" --cert pinned; then
  run -- "$work/signed/VornquillAI-Setup-x64-3.0.0.exe" /SP- "/LOG=$(winpath "$log")" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART
  expect_eq "$rc" 0 "signed installer: exit code"
  expect_eq "$(reg_value DisplayVersion)" "3.0.0" "signed installer: DisplayVersion"
else
  fail "signed installer: tools/sign-installer failed"
fi

checks_finish
