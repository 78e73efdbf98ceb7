# Sourced by the scripts that run a GoogleTest executable under Wine for a
# suite that needs its fixture (the reference cloud, the signed files).
# gtest_run_strict runs it and turns two quiet outcomes into failures: a
# filter that matches no test, and a test that skipped (here a skip means the
# fixture the suite exists for was missing).
#   gtest_run_strict <wine-run> <test executable> <gtest arguments...>
gtest_run_strict() {
  local runner="$1" exe="$2"
  shift 2
  local out rc
  out="$(mktemp /tmp/vq-gtest.XXXXXX)"
  # Into a file, not a pipe: a process the tests start that outlives them
  # (a Wine service) would hold a pipe open, and its reader would wait for
  # it until the test's time-out; the Wine server's stop ends it.
  rc=0
  "$runner" "$exe" "$@" </dev/null >"$out" 2>&1 || rc=$?
  cat "$out"
  local ran skipped
  ran="$(sed -n 's/^\[==========\] \([0-9][0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$out" | tail -n1)"
  skipped="$(sed -n 's/^\[  SKIPPED \] \([0-9][0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$out" | tail -n1)"
  rm -f "$out"
  if [ "$rc" != 0 ]; then
    return "$rc"
  fi
  if [ -z "$ran" ] || [ "$ran" -eq 0 ]; then
    echo "FAIL: no test ran (arguments: $*)" >&2
    return 1
  fi
  if [ -n "$skipped" ] && [ "$skipped" -ne 0 ]; then
    echo "FAIL: $skipped test(s) skipped; this suite's fixture must be there" >&2
    return 1
  fi
  return 0
}
