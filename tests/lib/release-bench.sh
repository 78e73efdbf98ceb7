# Sourced by the tests that take a release from a token to a setup run under
# Wine (tests/release/token-test.sh, sign-pe-test.sh, tests/planting):
# a test token, the reference cloud on the test build's port, and a silent
# setup run read back from its log.
VQ_RELEASE_BENCH_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# A SoftHSM token of its own in the current folder (./tokens, with its
# configuration in ./softhsm2.conf, exported as SOFTHSM2_CONF), labelled
# LABEL, user PIN 1234; the PIN in ./pin and a wrong one in ./wrong.pin (both
# 0600). No PIN comes from the caller's environment. Exits when the token
# cannot be made.
#   bench_token_init LABEL
bench_token_init() {
  mkdir -p tokens
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$PWD" \
    >softhsm2.conf
  export SOFTHSM2_CONF="$PWD/softhsm2.conf"
  unset VORNQUILL_PKCS11_PIN
  softhsm2-util --init-token --free --label "$1" --pin 1234 --so-pin 5678 >/dev/null ||
    { echo "FAIL: softhsm2-util cannot make a token" >&2; exit 1; }
  printf '1234\n' >pin && chmod 600 pin
  printf '9999\n' >wrong.pin && chmod 600 wrong.pin
}

# Serves the published folder FOLDER with the reference cloud on the test
# build's port (from WIN-DIR's CMake cache), its request log in
# OUT/requests.jsonl and its output in OUT/cloud.out; sets cloud_pid (the
# caller stops it) and cloud_port. 1 when the cloud is not ready within 10 s.
#   bench_cloud_start FOLDER WIN-DIR OUT
bench_cloud_start() {
  cloud_port="$(sed -n 's/^VQ_TEST_CLOUD_PORT:[A-Z]*=//p' "$2/CMakeCache.txt")"
  "$VQ_RELEASE_BENCH_ROOT/scripts/cloud" "$1" --port "$cloud_port" --log "$3/requests.jsonl" \
    --ready-file "$3/cloud.ready" >"$3/cloud.out" 2>&1 &
  cloud_pid=$!
  for _ in $(seq 100); do
    [ -s "$3/cloud.ready" ] && return 0
    sleep 0.1
  done
  [ -s "$3/cloud.ready" ]
}

# Runs the setup executable EXE silently in the Wine prefix of WINEPREFIX
# and sets rc (its exit code), log (the newest setup log) and result (the
# log's RESULT line).
#   bench_setup_run EXE
bench_setup_run() {
  "$WINE64" "$1" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART </dev/null >/dev/null 2>&1
  rc=$?
  log="$(ls -t "$WINEPREFIX"/drive_c/ProgramData/VornquillAI-Setup*/online-setup*.log 2>/dev/null | head -n1)"
  result="$(grep -a 'RESULT code=' "$log" 2>/dev/null | tail -n1 | tr -d '\r')"
}
