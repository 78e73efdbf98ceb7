#!/usr/bin/env bash
# Makes the signed fixtures of the demo installer (make-signed-fixtures.sh)
# and runs the Windows Authenticode tests on them under Wine: each file of
# signed-fixtures.table that Wine can show is judged as the table says (the
# same table publish's installer check is tested with).
#   tests/verify/run-signed.sh <Windows test build tree>
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:?usage: run-signed.sh <Windows test build tree>}"
exe="$build/tools/vq-demo-installer.exe"
tests="$build/vq_win_tests.exe"
for f in "$exe" "$tests"; do
  if [ ! -f "$f" ]; then echo "FAIL: $f has not been built" >&2; exit 1; fi
done
work="$(mktemp -d /tmp/vq-signed.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fixtures="$work/fixtures"
"$root/tests/verify/make-signed-fixtures.sh" "$exe" "$fixtures"
cp "$root/tests/verify/signed-fixtures.table" "$fixtures/"

. "$root/tests/lib/gtest-run.sh"
export VQ_SIGNED_FIXTURES="Z:${fixtures//\//\\}"
gtest_run_strict "$root/scripts/wine-run" "$tests" --gtest_filter='AuthenticodeCheck.*'
