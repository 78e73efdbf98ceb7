#!/usr/bin/env bash
# Runs the cloud client's Windows tests (CloudServer.*) under Wine against the
# reference cloud: publishes a signed release of a 300,000-byte installer with
# the test key, makes the refused envelopes (another key, a release below the
# floor, a broken signature), starts the cloud on a free loopback port and
# passes its port, rules file, request log and folders to the tests.
#   tests/cloud-client/run.sh <vq_win_tests.exe> <vornquill-release>
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
tests_exe="${1:?usage: run.sh <vq_win_tests.exe> <vornquill-release>}"
release_tool="${2:?usage: run.sh <vq_win_tests.exe> <vornquill-release>}"
for f in "$tests_exe" "$release_tool"; do
  [ -f "$f" ] || { echo "FAIL: $f has not been built" >&2; exit 1; }
done
if ! "$root/scripts/install-test-ca" --check >/dev/null 2>&1; then
  echo "FAIL: the test CA is not in the system store: run sudo scripts/install-test-ca" >&2
  exit 1
fi

work="$(mktemp -d /tmp/vq-cloud-client.XXXXXX)"
cloud_pid=""
legacy_pid=""
cleanup() {
  if [ -n "$cloud_pid" ]; then kill "$cloud_pid" 2>/dev/null; wait "$cloud_pid" 2>/dev/null; fi
  if [ -n "$legacy_pid" ]; then kill "$legacy_pid" 2>/dev/null; wait "$legacy_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

key="$root/tests/release/keys/test-release.secret"
publish() {  # installer version out [key]
  "$release_tool" publish --installer "$1" --version "$2" --key "${4:-$key}" --out "$3" \
    --fresh-key "$root/tests/release/keys/test-freshness.secret" \
    --self-signed --allow-refused-installer >/dev/null || { echo "FAIL: publishing $2 into $3" >&2; exit 1; }
}

# Deterministic installer bytes that do not repeat within a piece.
python3 - "$work/installer.exe" <<'PY'
import hashlib, sys
out = bytearray()
counter = 0
while len(out) < 300000:
    out += hashlib.sha256(b"vornquill-cloud-client" + counter.to_bytes(8, "little")).digest()
    counter += 1
open(sys.argv[1], "wb").write(bytes(out[:300000]))
PY
# The release is used only with its freshness statement (7 days), which
# publish writes.
publish "$work/installer.exe" 1.2.0 "$work/published"

mkdir -p "$work/envelopes"
"$release_tool" keygen --secret "$work/other.secret" --public "$work/other.public" >/dev/null ||
  { echo "FAIL: keygen" >&2; exit 1; }
publish "$work/installer.exe" 1.2.0 "$work/other" "$work/other.secret"
cp "$work/other/latest.txt" "$work/envelopes/unknown-kid.txt"
publish "$work/installer.exe" 0.9.0 "$work/old"
cp "$work/old/latest.txt" "$work/envelopes/below-floor.txt"
# The first character of the signature changed: still valid base64url.
sed 's/^sig=A/sig=B/; t; s/^sig=./sig=A/' "$work/published/latest.txt" >"$work/envelopes/tampered.txt"
cmp -s "$work/published/latest.txt" "$work/envelopes/tampered.txt" &&
  { echo "FAIL: the tampered envelope equals the published one" >&2; exit 1; }

printf '[]' >"$work/rules.json"
"$root/scripts/cloud" "$work/published" --port 0 --rules "$work/rules.json" \
  --log "$work/requests.jsonl" --ready-file "$work/cloud.ready" >"$work/cloud.out" 2>&1 &
cloud_pid=$!
for _ in $(seq 100); do [ -s "$work/cloud.ready" ] && break; sleep 0.1; done
if [ ! -s "$work/cloud.ready" ]; then
  echo "FAIL: the reference cloud did not start" >&2
  cat "$work/cloud.out" >&2
  exit 1
fi

# A second cloud that speaks TLS 1.0 and 1.1 only, for the protocol test.
"$root/scripts/cloud" "$work/published" --port 0 --legacy-tls --log "$work/legacy.jsonl" \
  --ready-file "$work/legacy.ready" >"$work/legacy.out" 2>&1 &
legacy_pid=$!
for _ in $(seq 100); do [ -s "$work/legacy.ready" ] && break; sleep 0.1; done
if [ ! -s "$work/legacy.ready" ]; then
  echo "FAIL: the TLS 1.0/1.1 cloud did not start" >&2
  cat "$work/legacy.out" >&2
  exit 1
fi

winpath() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }
export VQ_TEST_CLOUD_PORT="$(head -n1 "$work/cloud.ready")"
export VQ_TEST_CLOUD_RULES="$(winpath "$work/rules.json")"
export VQ_TEST_CLOUD_LOG="$(winpath "$work/requests.jsonl")"
export VQ_TEST_CLOUD_FOLDER="$(winpath "$work/published")"
export VQ_TEST_CLOUD_ENVELOPES="$(winpath "$work/envelopes")"
export VQ_TEST_LEGACY_CLOUD_PORT="$(head -n1 "$work/legacy.ready")"

. "$root/tests/lib/gtest-run.sh"
rc=0
gtest_run_strict "$root/scripts/wine-run" "$tests_exe" \
  --gtest_filter="${VQ_CLOUD_CLIENT_FILTER:-CloudServer.*}" || rc=$?
if [ "$rc" != 0 ]; then
  echo "--- reference cloud output" >&2
  tail -n 20 "$work/cloud.out" >&2
fi
exit "$rc"
