#!/usr/bin/env bash
# Release keys in a PKCS #11 token (softhsm2 in a temporary token folder):
# keygen makes the pair inside the token, sign and publish sign with it, and
# every refusal (wrong PIN, no such token or key, not Ed25519, a key that may
# not sign, a missing module, a PIN on the command line) writes nothing. Then
# one real setup run under Wine installs a release that the token signed.
#   token-test.sh <vornquill-release> <source dir> <token_fixture> [<Windows test build tree>]
# token_fixture (token_fixture.c) makes the keys the tool must refuse. The
# setup run needs the Windows build tree; it uses the build's cloud port, so
# run it in its own network namespace beside other runs.
set -u
tool="$1"
src="$2"
fixture="$3"
win="${4:-}"
. "$src/tests/lib/checks.sh"

module=/usr/lib/softhsm/libsofthsm2.so
[ -f "$module" ] || { echo "FAIL: $module is missing (softhsm2, scripts/setup-deps)" >&2; exit 1; }
work="$(mktemp -d /tmp/vq-token.XXXXXX)"
cloud_pid=""
wine_started=0
cleanup() {
  if [ -n "$cloud_pid" ]; then kill "$cloud_pid" 2>/dev/null; wait "$cloud_pid" 2>/dev/null; fi
  if [ "$wine_started" = 1 ]; then wine_env_stop; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" > softhsm2.conf
export SOFTHSM2_CONF="$work/softhsm2.conf"
unset VORNQUILL_PKCS11_PIN
softhsm2-util --init-token --free --label release --pin 1234 --so-pin 5678 >/dev/null ||
  { echo "FAIL: softhsm2-util cannot make a token" >&2; exit 1; }
printf '1234\n' > pin
chmod 600 pin
printf '9999\n' > wrong.pin
chmod 600 wrong.pin

uri="pkcs11:token=release;object=release-2027"

# keygen inside the token: the public file and the key-table entry, the
# private half sensitive and never extractable.
expect_run 0 "kid=release-20270102-" -- "$tool" keygen --secret "$uri" --public token.public \
  --module "$module" --pin-file pin --date 20270102
kid="$(sed -n 's/^kid=//p' token.public)"
[[ "$kid" =~ ^release-20270102-[0-9a-f]{8}$ ]] || fail "the token key's id '$kid'"
grep -q '^seed=' token.public && fail "the public file holds a seed"
shown="$("$fixture" "$module" release 1234 show release-2027 -)"
[ "$shown" = "sensitive=1 extractable=0 sign=1 key-type=0x40 id=$kid" ] ||
  fail "the token key's attributes: $shown"
# An object of that label is never replaced, even with --force.
expect_run 1 'already holds an object labelled "release-2027"' -- "$tool" keygen --secret "$uri" \
  --public again.public --module "$module" --pin-file pin --force
[ -e again.public ] && fail "a refused keygen wrote the public file"

# sign with the token key (PIN from the environment, module from the URI).
printf '{"v":1}' > m.json
expect_run 0 "" -- env VORNQUILL_PKCS11_PIN=1234 "$tool" sign --manifest m.json \
  --key "$uri?module-path=$module" --out m.txt
grep -qx "kid=$kid" m.txt || fail "the envelope does not name the token's key"
expect_run 1 "status=schema" -- "$tool" verify --envelope m.txt --key token.public

# Keys the tool must refuse, made through the module.
"$fixture" "$module" release 1234 nosign nosign release-20270103-00000001 || fail "fixture nosign"
"$fixture" "$module" release 1234 p256 p256 release-20270103-00000002 || fail "fixture p256"

# Every refusal writes nothing: table of (exit, message, command line).
refuse() {  # exit message command...
  local want_rc="$1" message="$2"
  shift 2
  rm -f out.txt
  expect_run "$want_rc" "$message" -- "$@"
  [ -e out.txt ] && fail "a refused command wrote out.txt: $*"
}
sign=("$tool" sign --manifest m.json --out out.txt)
refuse 1 'token "release" refused the PIN: it is wrong' "${sign[@]}" --key "$uri" --module "$module" --pin-file wrong.pin
refuse 1 'token "release" refused the PIN: it is wrong' env VORNQUILL_PKCS11_PIN=0000 "${sign[@]}" --key "$uri" --module "$module"
refuse 1 'no token labelled "vault"' "${sign[@]}" --key "pkcs11:token=vault;object=release-2027" --module "$module" --pin-file pin
refuse 1 'token "release" holds no private key labelled "nothing"' "${sign[@]}" --key "pkcs11:token=release;object=nothing" --module "$module" --pin-file pin
refuse 1 'the key "p256" in token "release" is not an Ed25519 key' "${sign[@]}" --key "pkcs11:token=release;object=p256" --module "$module" --pin-file pin
refuse 1 'the token refuses to sign with key release-20270103-00000001: the key may not sign' "${sign[@]}" --key "pkcs11:token=release;object=nosign" --module "$module" --pin-file pin
refuse 1 "cannot load the PKCS #11 module $work/missing.so" "${sign[@]}" --key "$uri" --module "$work/missing.so" --pin-file pin
refuse 1 "no PKCS #11 module for token release" "${sign[@]}" --key "$uri" --pin-file pin
refuse 1 "no PIN for token release" "${sign[@]}" --key "$uri" --module "$module"
refuse 1 "a pin-value would put the PIN on the command line" "${sign[@]}" --key "$uri?pin-value=1234" --module "$module"
chmod 644 pin
refuse 1 "the PIN file pin has mode 0644" "${sign[@]}" --key "$uri" --module "$module" --pin-file pin
chmod 600 pin
refuse 1 "--module and --pin-file belong to a key in a PKCS #11 token" "${sign[@]}" \
  --key "$src/tests/release/keys/test-release.secret" --module "$module"
# keygen's refusals write no public file either.
for args in "--module $module --pin-file wrong.pin" "--module $work/missing.so --pin-file pin"; do
  expect_run 1 "" -- "$tool" keygen --secret "pkcs11:token=release;object=new" --public new.public $args
  [ -e new.public ] && fail "a refused keygen ($args) wrote the public file"
done
"$fixture" "$module" release 1234 show new - 2>/dev/null && fail "a refused keygen left a key in the token"

# publish with the token key: a signed installer (the demo installer with the
# pinned test certificate and a time stamp of the test PKI, which the test
# machines trust).
demo="$win/tools/vq-demo-installer.exe"
if [ -z "$win" ] || [ ! -f "$demo" ]; then
  echo "token-test: no Windows build tree: the publish and setup runs are skipped" >&2
  checks_finish
  exit $?
fi
"$src/tools/sign-installer" "$demo" signed.exe --cert pinned --timestamp >/dev/null || fail "signing the demo installer"
expect_run 0 "signed with $kid" -- "$tool" publish --installer signed.exe --version 3.1.4 --key "$uri" \
  --module "$module" --pin-file pin --out rel --trust-ca "$src/tests/signing/ca.crt"
expect_run 0 "status=ok" -- "$tool" verify --envelope rel/latest.txt --key token.public

# The setup program accepts a release the token signed: the test build trusts
# the repository's test key, so that key is put into the token (sensitive, not
# extractable) and the token signs the release with it.
test_key="$src/tests/release/keys/test-release.secret"
"$fixture" "$module" release 1234 import test-key "$(sed -n 's/^kid=//p' "$test_key")" \
  "$(sed -n 's/^seed=//p' "$test_key")" "$(sed -n 's/^public=//p' "$test_key")" || fail "fixture import"
expect_run 0 "published 3.1.4" -- "$tool" publish --installer signed.exe --version 3.1.4 \
  --key "pkcs11:token=release;object=test-key" --module "$module" --pin-file pin --out live \
  --trust-ca "$src/tests/signing/ca.crt" --self-signed
port="$(sed -n 's/^VQ_TEST_CLOUD_PORT:[A-Z]*=//p' "$win/CMakeCache.txt")"
"$src/scripts/cloud" live --port "$port" --log requests.jsonl --ready-file cloud.ready >cloud.out 2>&1 &
cloud_pid=$!
for _ in $(seq 100); do [ -s cloud.ready ] && break; sleep 0.1; done
[ -s cloud.ready ] || { fail "the reference cloud did not start: $(cat cloud.out)"; checks_finish; exit 1; }
# A prefix of its own (the one tests/lib/wine-isolated made, or a new one):
# no earlier installation there decides the outcome.
. "$src/scripts/wine-env.sh"
if [ -z "${WINEPREFIX:-}" ]; then
  wine_env_start
  wine_started=1
fi
"$WINE64" "$win/VornquillAI-Online-Setup-x64-SELFSIGNED.exe" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART \
  </dev/null >/dev/null 2>&1
rc=$?
log="$(ls -t "$WINEPREFIX"/drive_c/ProgramData/VornquillAI-Setup*/online-setup*.log 2>/dev/null | head -n1)"
result="$(grep -a 'RESULT code=' "$log" 2>/dev/null | tail -n1 | tr -d '\r')"
[ "$rc" = 0 ] || fail "the setup ended with exit code $rc: $result"
grep -q "RESULT code=0 reason=installed" <<<"$result" || fail "the setup's result: '$result'"
grep -aq "release 3.1.4" "$log" 2>/dev/null || grep -aq "3.1.4" "$log" || fail "the log does not name release 3.1.4"
checks_finish
