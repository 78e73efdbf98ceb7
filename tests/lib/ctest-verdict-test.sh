#!/usr/bin/env bash
# The test command's verdict on a ctest run (tests/lib/ctest-verdict): a small
# ctest project with a test that passes, one that skips (SKIP_RETURN_CODE), one
# whose executable is missing, one disabled and one whose required file is
# missing. The verdict names every test but the passing one and fails; a run
# that left out a listed test fails naming it; a run that chose no test fails;
# a run of only the passing test passes.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/checks.sh"
work="$(mktemp -d /tmp/vq-verdict.XXXXXX)"
trap 'rm -rf "$work"' EXIT
cat >"$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(verdict NONE)
enable_testing()
add_test(NAME passes COMMAND true)
add_test(NAME skips COMMAND sh -c "exit 77")
set_tests_properties(skips PROPERTIES SKIP_RETURN_CODE 77)
add_test(NAME missing-executable COMMAND /nonexistent/program)
add_test(NAME disabled COMMAND true)
set_tests_properties(disabled PROPERTIES DISABLED TRUE)
add_test(NAME needs-a-file COMMAND true)
set_tests_properties(needs-a-file PROPERTIES REQUIRED_FILES /nonexistent/file)
CMAKE
cmake -S "$work" -B "$work/b" >/dev/null || { echo "FAIL: configuring the project"; exit 1; }

verdict() {  # listing-args -- run-args
  local list=() run=()
  while [ "$1" != -- ]; do list+=("$1"); shift; done
  shift
  run=("$@")
  ctest --test-dir "$work/b" --show-only=json-v1 "${list[@]}" >"$work/listing.json"
  rm -f "$work/report.xml"
  ctest --test-dir "$work/b" --output-junit "$work/report.xml" "${run[@]}" >/dev/null 2>&1
  out="$("$here/ctest-verdict" "$work/listing.json" "$work/report.xml")"
  rc=$?
}

verdict -- 
expect_eq "$rc" 1 "a run with skipped and not-run tests fails"
for name in skips missing-executable disabled needs-a-file; do
  if grep -q "^NOT RUN: $name (" <<<"$out"; then ok "names $name"; else fail "does not name $name: $out"; fi
done
if grep -q "^NOT RUN: passes " <<<"$out"; then fail "names the passing test"; else ok "passing test not named"; fi

verdict -R 'passes|skips' -- -R passes
expect_eq "$rc" 1 "a run that left out a listed test fails"
expect_eq "$(grep '^NOT RUN' <<<"$out")" "NOT RUN: skips (not run)" "the left-out test named"

verdict -R passes -- -R passes
expect_eq "$rc" 0 "a run of passing tests only passes"

verdict -R no-such-test -- -R no-such-test
expect_eq "$rc" 1 "a run that chose no test fails"
expect_eq "$out" "ctest-verdict: the run chose no test at all: the suite is not green" \
  "the empty choice named"
checks_finish
