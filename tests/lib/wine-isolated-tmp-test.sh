#!/usr/bin/env bash
# tests/lib/wine-isolated from a checkout below /tmp: the harness mounts a
# /tmp of the test's own, and a checkout (with its build trees) that lives in
# /tmp must stay reachable in it at its own path. This checkout, bound at a
# fresh folder /tmp/vq-tmp-checkout.XXXXXX in a mount namespace of this test's
# own (as a clone there would be, without the cost of a clone and a build),
# runs one small Windows test under Wine through its own harness, started
# from its build tree as ctest starts a test. A checkout that already lives
# below /tmp runs it from where it is.
#   tests/lib/wine-isolated-tmp-test.sh WIN-BUILD-DIR NATIVE-BUILD-DIR
# Both build trees must lie inside the checkout (scripts/build puts them in
# build/).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
. "$here/checks.sh"
win_dir="${1:?usage: wine-isolated-tmp-test.sh WIN-BUILD-DIR NATIVE-BUILD-DIR}"
native_dir="${2:?usage: wine-isolated-tmp-test.sh WIN-BUILD-DIR NATIVE-BUILD-DIR}"
for dir in "$win_dir" "$native_dir"; do
  case "$dir/" in
    "$root"/*) ;;
    *) fail "$dir is not inside the checkout $root"; checks_finish ;;
  esac
done
# As root a mount namespace of its own; otherwise in a user namespace too.
spaces=(-m --propagation private)
[ "$(id -u)" = 0 ] || spaces=(-r "${spaces[@]}")
bind=1
case "$root/" in
  /tmp/?*)
    # A clone below /tmp already: it runs from where it is.
    place="$root"
    bind=0
    ;;
  *)
    place="$(mktemp -d /tmp/vq-tmp-checkout.XXXXXX)"
    trap 'rmdir "$place"' EXIT
    ;;
esac
exe="$place/${win_dir#"$root"/}/vq_win_tests.exe"
out="$(unshare "${spaces[@]}" bash -c '
  if [ "$4" = 1 ]; then mount --bind "$1" "$2" || exit 97; fi
  cd "$3" || exit 98
  shift 4
  exec "$@"' bash "$root" "$place" "$place/${native_dir#"$root"/}" "$bind" \
  "$place/tests/lib/wine-isolated" "$place/scripts/wine-run" "$exe" \
  --gtest_filter=CloudLocal.PartTruncateEmptiesAndRewinds 2>&1)"
rc=$?
expect_eq "$rc" 0 "the Windows test from the checkout below /tmp ran and passed"
if grep -q '^\[  PASSED  \] 1 test\.' <<<"$out"; then
  ok "its one test case passed under Wine"
else
  fail "the test case did not pass; output:"
  sed 's/^/    /' <<<"$out" | tail -n 20
fi
if [ "$bind" = 1 ]; then
  expect_eq "$(ls -A "$place")" "" "the folder in /tmp is left empty (the bind went with the namespace)"
fi
checks_finish
