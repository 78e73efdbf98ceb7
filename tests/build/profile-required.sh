#!/usr/bin/env bash
# The build profile is a required choice: a configure without VQ_PROFILE, or
# with a profile that does not exist, stops with an error that names the
# choice; scripts/build refuses to run without a profile.
#   profile-required.sh <source dir>
set -u
src="$1"
. "$src/tests/lib/checks.sh"
work="$(mktemp -d /tmp/vq-profile.XXXXXX)"
trap 'rm -rf "$work"' EXIT

configure() {  # folder [cmake arguments...]
  local out="$1"
  shift
  cmake -S "$src" -B "$work/$out" -G Ninja -Wno-dev -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
    "$@" >"$work/$out.log" 2>&1
}

configure none
expect_eq "$?" 1 "configure without VQ_PROFILE fails"
grep -q 'Choose the build profile: -DVQ_PROFILE=production' "$work/none.log" ||
  fail "configure without VQ_PROFILE: no clear error ($(tail -n 5 "$work/none.log"))"
[ -f "$work/none/build.ninja" ] && fail "configure without VQ_PROFILE wrote a build file"

configure staging -DVQ_PROFILE=staging
expect_eq "$?" 1 "configure with an unknown profile fails"
grep -q "got 'staging'" "$work/staging.log" || fail "the error names the unknown profile"

out="$("$src/scripts/build" 2>&1)"
expect_eq "$?" 2 "scripts/build without a profile fails"
grep -q 'usage: scripts/build production|test' <<<"$out" || fail "scripts/build: no usage line ($out)"
out="$("$src/scripts/build" staging 2>&1)"
expect_eq "$?" 2 "scripts/build with an unknown profile fails"

checks_finish
