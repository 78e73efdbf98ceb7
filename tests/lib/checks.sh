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
# expect_run <expected exit> <output must contain> -- command...
# A failure when the command's exit code differs or its output (stdout and
# stderr) lacks the text; an empty text only checks the exit code.
expect_run() {
  local want_rc="$1" want_text="$2" out rc
  shift 3
  out="$("$@" 2>&1)"
  rc=$?
  if [ "$rc" != "$want_rc" ]; then
    fail "$* exited $rc, expected $want_rc; output: $out"
  elif [ -n "$want_text" ] && ! grep -qF -- "$want_text" <<<"$out"; then
    fail "$*: output lacks '$want_text'; output: $out"
  fi
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
