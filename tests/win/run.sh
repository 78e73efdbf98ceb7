#!/usr/bin/env bash
# Runs the Windows unit tests under Wine. The suites that need a fixture of
# their own (the reference cloud, the signed files) run in their own ctest
# tests; here every selected test must run, none may skip.
#   tests/win/run.sh <vq_win_tests.exe>
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
exe="${1:?usage: run.sh <vq_win_tests.exe>}"
. "$root/tests/lib/gtest-run.sh"
gtest_run_strict "$root/scripts/wine-run" "$exe" --gtest_filter='-CloudServer.*:AuthenticodeCheck.*:OptionsCommandLineChild.*'
