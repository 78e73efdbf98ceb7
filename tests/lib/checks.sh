# Sourced by the shell test scripts: one line per check, failures counted in
# $failures, and a closing verdict.
failures=0

ok() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect_eq() {  # actual expected what
  if [ "$1" == "$2" ]; then ok "$3"; else fail "$3: got '$1', expected '$2'"; fi
}
# Ends the script: exit 1 when any check failed.
checks_finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
  exit 0
}
