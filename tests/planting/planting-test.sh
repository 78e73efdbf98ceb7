#!/usr/bin/env bash
# A DLL planted beside the setup executable is never loaded. A marker DLL,
# copied under the names of the libraries the program loads late, leaves a
# trace when any process loads it. The control, a program that loads the
# same names plainly, must take every plant (or the plant proves nothing);
# the setup executables, run until they have loaded those libraries
# themselves (seen in the loader's trace), must take none. The test build
# is served a signed release by the reference cloud in this test's network
# namespace and runs until it has checked the installer's signature (its
# "authenticode:" line), so that it has asked for wintrust.dll; the
# production build, whose cloud is not here, runs until its first request
# has failed.
#   planting-test.sh WIN_BUILD_DIR PRODUCTION_EXE NATIVE_BUILD_DIR
set -u
here="$(cd "$(dirname "$0")/../.." && pwd)"
win_dir="$1"
production_exe="$2"
native_dir="$3"
. "$here/tests/lib/checks.sh"
. "$here/tests/lib/release-bench.sh"
. "$here/scripts/wine-env.sh"
if [ -z "${WINEPREFIX:-}" ]; then
  wine_env_start
  trap wine_env_stop EXIT
fi
work="$(mktemp -d /tmp/vq-planting.XXXXXX)"
cloud_pid=""
trap '[ -n "$cloud_pid" ] && kill "$cloud_pid" 2>/dev/null; rm -rf "$work"; [ -n "${VQ_XVFB_PID:-}" ] && wine_env_stop' EXIT
marker="$win_dir/planting/plant-marker.dll"
control="$win_dir/planting/plant-control.exe"
test_exe="$win_dir/VornquillAI-Online-Setup-x64-SELFSIGNED.exe"
programdata="$WINEPREFIX/drive_c/ProgramData"

# Every library the program delay-loads. Imports bound at load time (kernel32,
# user32, gdi32, advapi32, shell32, ole32, msvcrt) are known DLLs on Windows,
# which always come from the system folder, so they are not planted.
all_plants="winhttp bcrypt wintrust crypt32 comctl32"
# crypt32 is planted for the control only: under Wine, Wine's own WinHTTP
# delay-loads crypt32 through a search that starts at the program's folder
# whatever the process's default DLL directories say, so a plant would be
# taken by Wine's library, not by the program.
setup_plants="winhttp bcrypt wintrust comctl32"
# Wine takes a DLL from the program's folder only when told native first.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-};$(echo $all_plants | tr ' ' ',')=n,b"

plant_folder() {  # folder names program...
  local folder="$1" names="$2"
  shift 2
  mkdir -p "$folder"
  cp "$@" "$folder/"
  for name in $names; do cp "$marker" "$folder/$name.dll"; done
}

# Fails for each plant in the folder that some process loaded. The trace
# file is named as the loader named the library (a delay-load asks for
# WINTRUST.dll, the control for wintrust.dll): any case counts.
expect_no_plant_taken() {  # what folder names
  local name trace
  for name in $3; do
    trace="$(find "$2" -maxdepth 1 -iname "$name.dll.loaded" | head -1)"
    if [ -n "$trace" ]; then
      fail "$1: the planted $name.dll was loaded by $(tr -d '\r' <"$trace")"
    else
      ok "$1: the planted $name.dll was not loaded"
    fi
  done
}

# The run itself loaded the library, from the system folder or the system's
# side-by-side store (Wine's loader trace): the point where a plant would have
# been taken was reached.
expect_loaded_from_system() {  # what trace name...
  local what="$1" trace="$2" name
  shift 2
  for name in "$@"; do
    # The trace doubles its backslashes: compare with forward slashes.
    if sed 's|\\\\|/|g' "$trace" |
        grep -Eqi "Loaded L\"C:/windows/(system32|winsxs/[^/\"]*)/$name\.dll\""; then
      ok "$what: $name.dll was loaded, from the system folder"
    else
      fail "$what: $name.dll was never loaded from the system folder: $(grep -i "Loaded L.*$name.dll" "$trace" | head -2 | tr '\n' ' ')"
    fi
  done
}

echo "== control: a plain program takes every plant"
plant_folder "$work/control" "$all_plants" "$control"
"$WINE64" "$work/control/plant-control.exe" $(for n in $all_plants; do echo "$n.dll"; done) \
  >"$work/control.txt" 2>&1
for name in $all_plants; do
  if [ -n "$(find "$work/control" -maxdepth 1 -iname "$name.dll.loaded")" ]; then
    ok "control: LoadLibraryW took the planted $name.dll"
  else
    fail "control: the planted $name.dll was not taken: $(tr -d '\r' <"$work/control.txt" | tr '\n' ' ')"
  fi
done

# Runs the setup from the folder with the plants until its log has a line
# that begins with STOP_AT (the point where the libraries were needed), then
# ends it: the cloud's retries, or the installer, would take longer.
run_until() {  # what stop_at folder exe arguments...
  local what="$1" stop_at="$2" folder="$3" exe="$4"
  shift 4
  rm -rf "$programdata"/VornquillAI-Setup*
  # The shared work folder exists and, under Wine, is not private: the run
  # makes a fresh one, named with random bytes from bcrypt.
  mkdir -p "$programdata/VornquillAI-Setup"
  # The demo installer, should the run get that far, changes nothing (its
  # test hook), so that no run finds the product installed by another.
  WINEDEBUG=+loaddll VQ_DEMO_EXIT_CODE=2 "$WINE64" "$folder/$(basename "$exe")" "$@" \
    >"$folder/trace.txt" 2>&1 &
  local pid=$! log="" i
  for i in $(seq 300); do
    log="$(ls -t "$programdata"/VornquillAI-Setup-*/online-setup.log 2>/dev/null | head -1)"
    [ -n "$log" ] && tr -d '\r' <"$log" | cut -d' ' -f2- | grep -q "^$stop_at" && break
    sleep 0.2
  done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  cp "$log" "$folder/online-setup.log" 2>/dev/null
  if [ -n "$log" ] && grep -q "work folder reuse: no" "$log" &&
      tr -d '\r' <"$log" | cut -d' ' -f2- | grep -q "^$stop_at"; then
    ok "$what: a fresh work folder, and the run reached: $(tr -d '\r' <"$log" | cut -d' ' -f2- | grep -a "^$stop_at" | head -1)"
  else
    fail "$what: the log does not show a fresh work folder and '$stop_at': $(tail -3 "$log" 2>/dev/null | tr -d '\r' | tr '\n' '|')"
  fi
}

# The test build's cloud: a signed release of the demo installer, signed
# with the certificate the test build pins, on the test build's port in this
# test's own network namespace.
"$here/tools/sign-installer" "$win_dir/tools/vq-demo-installer.exe" "$work/signed.exe" \
  --cert pinned --timestamp >"$work/sign.txt" 2>&1 || fail "signing the demo installer: $(cat "$work/sign.txt")"
"$native_dir/vornquill-release" publish --installer "$work/signed.exe" --version 1.2.0 \
  --key "$here/tests/release/keys/test-release.secret" --out "$work/published" --self-signed \
  --fresh-key "$here/tests/release/keys/test-freshness.secret" \
  --trust-ca "$here/tests/signing/ca.crt" >"$work/publish.txt" 2>&1 ||
  fail "publishing the release: $(cat "$work/publish.txt")"
bench_cloud_start "$work/published" "$win_dir" "$work" ||
  fail "the reference cloud did not start on port $cloud_port: $(cat "$work/cloud.out")"
# Without the release and its cloud no run reaches the signature check.
[ "$failures" = 0 ] || checks_finish

# The signature check ran and accepted the installer: wintrust.dll was used.
expect_signature_checked() {  # what folder
  if grep -aq "authenticode: pinned self-signed certificate" "$2/online-setup.log" 2>/dev/null; then
    ok "$1: the installer's signature was checked and accepted"
  else
    fail "$1: no accepted signature check in the log"
  fi
}

echo "== silent runs of the setup executables"
folder="$work/silent-test"
plant_folder "$folder" "$setup_plants" "$test_exe"
run_until "silent, test" "authenticode: " "$folder" "$test_exe" /VERYSILENT /SUPPRESSMSGBOXES
expect_signature_checked "silent, test" "$folder"
expect_loaded_from_system "silent, test" "$folder/trace.txt" winhttp bcrypt wintrust
expect_no_plant_taken "silent, test" "$folder" "$setup_plants"

folder="$work/silent-production"
plant_folder "$folder" "$setup_plants" "$production_exe"
run_until "silent, production" "latest.txt attempt 1 failed" "$folder" "$production_exe" \
  /VERYSILENT /SUPPRESSMSGBOXES
expect_loaded_from_system "silent, production" "$folder/trace.txt" winhttp bcrypt
expect_no_plant_taken "silent, production" "$folder" "$setup_plants"

echo "== a windowed run: the progress window's common controls"
folder="$work/windowed"
plant_folder "$folder" "$setup_plants" "$test_exe"
run_until windowed "authenticode: " "$folder" "$test_exe"
expect_signature_checked windowed "$folder"
expect_loaded_from_system windowed "$folder/trace.txt" comctl32 winhttp bcrypt wintrust
expect_no_plant_taken windowed "$folder" "$setup_plants"

checks_finish
