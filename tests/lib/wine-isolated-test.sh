#!/usr/bin/env bash
# tests/lib/wine-isolated: a test killed as ctest kills one at its time-out
# (SIGKILL to the test's process, here once its Wine prefix, wineserver and
# Xvfb run and it has made a mount) leaves nothing behind: no process of its
# namespace, not its mount namespace (so none of its mounts), no prefix in
# /tmp. A write into a file of the prefix's system32, which comes from the
# template, reaches neither the template nor another prefix. And this test
# itself, killed so while its test under the harness runs, leaves nothing
# either: it starts that test with a parent-death signal.
#   tests/lib/wine-isolated-test.sh WORK-PARENT
# WORK-PARENT: a folder outside /tmp for this test's own files (the test's
# /tmp is its own). Uses the template of VQ_WINE_TEMPLATE, or makes one.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
. "$here/checks.sh"
. "$root/scripts/wine-env.sh"
# Starts a test under the harness in the background, where the kernel ends
# it (and with it its namespace) when this script ends, however it ends.
start_isolated() {
  setpriv --pdeathsig KILL "$here/wine-isolated" "$@" &
}

if [ "${1:-}" = "--hold" ]; then
  # The copy of this script that the last check kills: it starts a test
  # under the harness that says it is ready and waits, and waits for it.
  cat >"$2/held.sh" <<'HELD'
printf 'ready' >"$1/held-ready.tmp" && mv "$1/held-ready.tmp" "$1/held-ready"
exec sleep 600
HELD
  start_isolated bash "$2/held.sh" "$2" >"$2/held-out" 2>&1
  wait
  exit 0
fi
parent="${1:?usage: wine-isolated-test.sh WORK-PARENT}"
mkdir -p "$parent"
work="$(mktemp -d "$parent/wine-isolated-test.XXXXXX")"
own_template=0
cleanup() {
  [ "$own_template" = 0 ] || wine_env_template_remove
  rm -rf "$work"
}
trap cleanup EXIT
if [ -z "${VQ_WINE_TEMPLATE:-}" ] || [ ! -f "$VQ_WINE_TEMPLATE/system.reg" ]; then
  wine_env_template
  own_template=1
fi
victim=drive_c/windows/system32/notepad.exe
[ -f "$VQ_WINE_TEMPLATE/$victim" ] || { fail "the template has no $victim"; checks_finish; }
template_sum="$(sha256sum <"$VQ_WINE_TEMPLATE/$victim")"
token="vq-isolated-test-$$-$RANDOM$RANDOM"
mine() { ls -d "/tmp/vq-wine.$VQ_WINE_TAG."* 2>/dev/null | sort; }  # this checkout's prefixes
prefixes_before="$(mine)"

# The test under the harness: it changes a system32 file in place, makes a
# mount of its own, starts a Wine program that stays, says it is ready and
# waits to be killed.
cat >"$work/inner.sh" <<'INNER'
set -u
out="$1"
printf 'changed' >>"$WINEPREFIX/$2"
sha256sum <"$WINEPREFIX/$2" >"$out/inner-sum"
mkdir /tmp/vq-mounted && mount -t tmpfs vq-isolated-test /tmp/vq-mounted
"$3" cmd /c "echo started & ping -n 600 127.0.0.1 >nul" >"$out/wine-out" 2>&1 &
for _ in $(seq 600); do grep -q started "$out/wine-out" 2>/dev/null && break; sleep 0.1; done
{
  echo "prefix=$WINEPREFIX"
  echo "mnt=$(readlink /proc/self/ns/mnt)"
  grep -q ' /tmp/vq-mounted ' /proc/self/mountinfo && echo "mounted=yes"
  grep -q started "$out/wine-out" && echo "wine=started"
} >"$out/ready.tmp"
mv "$out/ready.tmp" "$out/ready"
exec sleep 600
INNER
# wait_ready FILE PID: waits (at most 120 s) until FILE exists or PID has
# ended; true when FILE is there.
wait_ready() {
  for _ in $(seq 1200); do
    [ -f "$1" ] && break
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  [ -f "$1" ]
}
# none_left WHAT LISTER...: after a kill, waits (at most 20 s) until the
# command LISTER lists no process, then checks that none is left and kills
# those that are (this test's own, found by its token or namespace).
none_left() {
  local what="$1" left pid deadline=$((SECONDS + 20))
  shift
  while left="$("$@")"; [ -n "$left" ] && [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.2
  done
  expect_eq "$left" "" "$what"
  for pid in $(sort -u <<<"$left"); do
    echo "    left: $pid $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline")"
    kill -KILL "$pid" 2>/dev/null
  done
}
VQ_ISOLATED_TEST_TOKEN="$token" start_isolated bash "$work/inner.sh" "$work" "$victim" "$WINE64" \
  >"$work/test-out" 2>&1
test_pid=$!
if ! wait_ready "$work/ready" "$test_pid"; then
  fail "the test under the harness never became ready: $(cat "$work/test-out")"
  kill -KILL "$test_pid" 2>/dev/null
  checks_finish
fi
ready="$(cat "$work/ready")"
expect_eq "$(grep -c '^wine=started$\|^mounted=yes$' <<<"$ready")" 2 \
  "the killed test had a Wine program running and a mount of its own"
mnt="$(sed -n 's/^mnt=//p' <<<"$ready")"
with_token() {  # the host's processes whose environment holds the token
  grep -lsa "VQ_ISOLATED_TEST_TOKEN=$token" /proc/[0-9]*/environ | cut -d/ -f3
}
in_namespace() {  # the host's processes in the test's mount namespace
  local pid
  for pid in /proc/[0-9]*; do
    [ "$(readlink "$pid/ns/mnt" 2>/dev/null)" = "$mnt" ] && echo "${pid#/proc/}"
  done
}
servers=0
for pid in $(in_namespace); do
  grep -qa wineserver "/proc/$pid/cmdline" 2>/dev/null && servers=$((servers + 1))
done
expect_eq "$servers" 1 "the host sees the test's wineserver in its namespace before the kill"

kill -KILL "$test_pid"
wait "$test_pid" 2>/dev/null
# The kernel ends the namespace's processes as the first one dies.
test_processes() { with_token; in_namespace; }
none_left "no process of the killed test is left (its namespace's ones included)" test_processes
expect_eq "$(mine)" "$prefixes_before" "no prefix left in /tmp"
expect_eq "$(grep -c ' /tmp/vq-mounted \|vq-isolated-test' /proc/self/mountinfo)" 0 \
  "the test's mount is not in the host's mounts"
expect_eq "$(sha256sum <"$VQ_WINE_TEMPLATE/$victim")" "$template_sum" \
  "the write into the prefix's system32 did not reach the template"
if [ "$(cat "$work/inner-sum" 2>/dev/null)" = "$template_sum" ]; then
  fail "the test's own write did not change its copy of $victim"
else
  ok "the test saw its own write"
fi

# This script killed as ctest kills it at its time-out (SIGKILL, so no trap
# of its own runs) while the test it started is under way: that test, its
# unshare included, ends with it.
held_token="vq-isolated-held-$$-$RANDOM$RANDOM"
VQ_ISOLATED_TEST_TOKEN="$held_token" bash "$0" --hold "$work" &
hold_pid=$!
if ! wait_ready "$work/held-ready" "$hold_pid"; then
  fail "the held test never became ready: $(cat "$work/held-out" 2>/dev/null)"
  kill -KILL "$hold_pid" 2>/dev/null
else
  token="$held_token"
  unshares=0
  for pid in $(with_token); do
    [ "$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | cut -d' ' -f1)" = unshare ] &&
      unshares=$((unshares + 1))
  done
  expect_eq "$unshares" 1 "the held test's unshare runs before the kill"
  kill -KILL "$hold_pid"
  wait "$hold_pid" 2>/dev/null
  none_left "no process of the test a killed script started is left" with_token
fi
checks_finish
