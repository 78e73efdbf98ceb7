#!/usr/bin/env bash
# Release keys in a PKCS #11 token (softhsm2 in a temporary token folder):
# keygen makes the pair inside the token, sign and publish sign with it, and
# every refusal (wrong PIN, no such token or key, not Ed25519, a key that may
# not sign or may do more than sign, one that is or was readable or
# extractable, one brought in from outside, a missing module, a PIN on the
# command line) writes nothing. Then one real setup run under Wine installs
# a release that the token signed.
#   token-test.sh <vornquill-release> <source dir> <token_fixture> <p11_probe.so> <fs_probe.so>
#                 <Windows test build tree>
# token_fixture (token_fixture.c) makes the keys the tool must refuse;
# p11_probe.c passes every call to softhsm2 and shows the key template the
# tool asks for; fs_probe.c makes folder flushes fail. The setup run uses the
# build's cloud port, so run it in its own network namespace beside other
# runs.
set -u
tool="$1"
src="$2"
fixture="$3"
probe="$4"
fs_probe="$5"
win="${6:-}"
. "$src/tests/lib/checks.sh"
. "$src/tests/lib/release-bench.sh"
demo="$win/tools/vq-demo-installer.exe"
if [ -z "$win" ] || [ ! -f "$demo" ]; then
  echo "FAIL: token-test needs the Windows test build tree (its demo installer) for its publish and setup runs" >&2
  exit 1
fi

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
bench_token_init release

uri="pkcs11:token=release;object=release-2027"

# keygen inside the token: the public file and the key-table entry, the
# private half sensitive and never extractable. The template the tool hands
# the token says so itself (a token may default either way): seen through
# the pass-through module.
expect_run 0 "kid=release-20270102-" -- env VQ_P11_PROBE_MODULE="$module" VQ_P11_PROBE_LOG="$work/template.log" \
  "$tool" keygen --secret "$uri" --public token.public --module "$probe" --pin-file pin --date 20270102
for want in "private CKA_SENSITIVE=true" "private CKA_EXTRACTABLE=false" "private CKA_SIGN=true" \
            "private CKA_DECRYPT=false" "private CKA_UNWRAP=false" "private CKA_DERIVE=false" \
            "private CKA_TOKEN=true" "private CKA_PRIVATE=true"; do
  grep -qx "$want" template.log || fail "the key template lacks '$want': $(tr '\n' ';' <template.log)"
done
kid="$(sed -n 's/^kid=//p' token.public)"
[[ "$kid" =~ ^release-20270102-[0-9a-f]{8}$ ]] || fail "the token key's id '$kid'"
grep -q '^seed=' token.public && fail "the public file holds a seed"
shown="$("$fixture" "$module" release 1234 show release-2027 -)"
[ "$shown" = "sensitive=1 extractable=0 sign=1 key-type=0x40 id=$kid
always-sensitive=1 never-extractable=1 local=1 decrypt=0 unwrap=0 derive=0" ] ||
  fail "the token key's attributes: $shown"
# An object of that label is never replaced, even with --force.
expect_run 1 'already holds an object labelled "release-2027"' -- "$tool" keygen --secret "$uri" \
  --public again.public --module "$module" --pin-file pin --force
[ -e again.public ] && fail "a refused keygen wrote the public file"

# sign with the token key (PIN from the environment, module from the URI).
printf '{"v":1}' > m.json
expect_run 0 "" -- env VORNQUILL_PKCS11_PIN=1234 "$tool" sign --manifest m.json \
  --key "$uri?module-path=$module" --out m.txt
# A key keygen made is used without a word about where it was made.
out="$(env VORNQUILL_PKCS11_PIN=1234 "$tool" sign --manifest m.json --key "$uri?module-path=$module" --out m2.txt 2>&1)"
grep -q "not made in this token" <<<"$out" && fail "keygen's key is said to be made elsewhere: $out"
grep -qx "kid=$kid" m.txt || fail "the envelope does not name the token's key"
expect_run 1 "status=schema" -- "$tool" verify --envelope m.txt --key token.public

# Keys the tool must refuse, made through the module.
"$fixture" "$module" release 1234 gen nosign release-20270103-00000001 sign=0 || fail "fixture nosign"
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
refuse 1 'the key "nosign" in token "release" is not fit to sign: it may not sign (CKA_SIGN is false). A signing key is made inside the token, sensitive and never extractable, and may only sign' "${sign[@]}" --key "pkcs11:token=release;object=nosign" --module "$module" --pin-file pin
# A release key may sign and do nothing else, and has never been readable or
# extractable: made with other functions, or not sensitive, or extractable,
# or made outside and brought in (the token's defaults: CKA_DECRYPT and
# CKA_UNWRAP true; CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE and CKA_LOCAL
# false), each rule it breaks named.
test_key="$src/tests/release/keys/test-release.secret"
test_kid="$(sed -n 's/^kid=//p' "$test_key")"
test_seed="$(sed -n 's/^seed=//p' "$test_key")"
test_public="$(sed -n 's/^public=//p' "$test_key")"
n=3
while IFS='|' read -r label how want; do
  [ -n "$label" ] || continue
  n=$((n + 1))
  if [ "$how" = import ]; then
    "$fixture" "$module" release 1234 import "$label" "$test_kid" "$test_seed" "$test_public" - || fail "fixture $label"
  else
    "$fixture" "$module" release 1234 gen "$label" "release-20270103-0000000$n" "$how" || fail "fixture $label"
  fi
  refuse 1 "the key \"$label\" in token \"release\" is not fit to sign: $want. A signing key is made inside the token" \
    "${sign[@]}" --key "pkcs11:token=release;object=$label" --module "$module" --pin-file pin
done <<'KEYS'
decrypts|decrypt=1|it may also decrypt (CKA_DECRYPT is true)
unwraps|unwrap=1|it may also unwrap keys (CKA_UNWRAP is true)
derives|derive=1|it may also derive keys (CKA_DERIVE is true)
readable|sensitive=0|its private half is not sensitive (CKA_SENSITIVE is false); it has not been sensitive since it was made (CKA_ALWAYS_SENSITIVE is false)
extractable|extractable=1|its private half can be extracted (CKA_EXTRACTABLE is true); it was extractable once (CKA_NEVER_EXTRACTABLE is false)
imported|import|it has not been sensitive since it was made (CKA_ALWAYS_SENSITIVE is false); it was extractable once (CKA_NEVER_EXTRACTABLE is false); it may also decrypt (CKA_DECRYPT is true); it may also unwrap keys (CKA_UNWRAP is true); it was not made in this token (CKA_LOCAL is false)
KEYS
refuse 1 "cannot load the PKCS #11 module $work/missing.so" "${sign[@]}" --key "$uri" --module "$work/missing.so" --pin-file pin
refuse 1 "no PKCS #11 module for token release" "${sign[@]}" --key "$uri" --pin-file pin
refuse 1 "no PIN for token release" "${sign[@]}" --key "$uri" --module "$module"
refuse 1 "a pin-value would put the PIN on the command line" "${sign[@]}" --key "$uri?pin-value=1234" --module "$module"
# A pin-value is found before any other fault of the URI, and no message
# quotes the URI: only the attribute at fault.
for bad in "pkcs11:token=release;bogus=1;object=x?pin-value=98765" "pkcs11:token=release;token=again?pin-value=98765" \
           "pkcs11:token=release;object=x;98765?pin-value=98765" "pkcs11:object=x;pin-value=98765"; do
  out="$("${sign[@]}" --key "$bad" --module "$module" 2>&1)"
  grep -q "a pin-value would put the PIN on the command line" <<<"$out" || fail "$bad: $out"
  grep -q 98765 <<<"$out" && fail "a refusal quotes the PIN: $out"
done
expect_run 1 'PKCS #11 URI: the attribute "bogus" is not supported' -- "${sign[@]}" --key "pkcs11:token=release;object=secret-label;bogus=1" --module "$module"
out="$("${sign[@]}" --key "pkcs11:token=release;object=secret-label;bogus=1" --module "$module" 2>&1)"
grep -q "secret-label" <<<"$out" && fail "a refusal quotes the whole URI: $out"
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
expect_run 1 "token_fixture: no such private key" -- "$fixture" "$module" release 1234 show new -

# A keygen whose public file cannot be written destroys the pair it made, and
# says so when the token will not destroy it.
expect_run 1 'could not destroy the pair it made (CKR_DEVICE_ERROR, 0x30): remove the objects labelled "undestroyed" from token "release" by hand' \
  -- env VQ_P11_PROBE_MODULE="$module" VQ_P11_PROBE_FAIL_DESTROY=1 "$tool" keygen \
  --secret "pkcs11:token=release;object=undestroyed" --public missing/u.public --module "$probe" --pin-file pin
expect_run 0 "sensitive=1" -- "$fixture" "$module" release 1234 show undestroyed -
# A public file in place whose folder cannot be flushed: the pair stays with
# it (the public file names a key the token holds), and the failure is told.
mkdir flush
expect_run 1 "is in token \"release\" and its public file flush/f.public is in place, but: the new key files are in place, but the folder flush could not be flushed" \
  -- env LD_PRELOAD="$fs_probe" VQ_PROBE_FAIL_FOLDER_FSYNC=1 "$tool" keygen \
  --secret "pkcs11:token=release;object=unflushed" --public flush/f.public --module "$module" --pin-file pin
flushed_kid="$(sed -n 's/^kid=//p' flush/f.public)"
expect_run 0 "id=$flushed_kid" -- "$fixture" "$module" release 1234 show unflushed -
[ -n "$flushed_kid" ] || fail "the public file of the unflushed pair is not there"

# publish with the token key: a signed installer (the demo installer with the
# pinned test certificate and a time stamp of the test PKI, which the test
# machines trust).
"$src/tools/sign-installer" "$demo" signed.exe --cert pinned --timestamp >/dev/null || fail "signing the demo installer"
expect_run 0 "signed with $kid" -- "$tool" publish --fresh-key "$src/tests/release/keys/test-freshness.secret" --installer signed.exe --version 3.1.4 --key "$uri" \
  --module "$module" --pin-file pin --out rel --trust-ca "$src/tests/signing/ca.crt"
expect_run 0 "status=ok" -- "$tool" verify --envelope rel/latest.txt --key token.public

# The setup program accepts a release the token signed: the test build trusts
# the repository's test key, so that key is put into the token (sensitive, not
# extractable, sign only) and the token signs the release with it. A token
# marks a key brought in from outside as once readable, and the tool refuses
# it; the pass-through module shows it as a token shows a key that came from
# another token without ever being in the clear, which the tool uses and
# names as made elsewhere (CKA_LOCAL false).
"$fixture" "$module" release 1234 import test-key "$test_kid" "$test_seed" "$test_public" || fail "fixture import"
expect_run 1 'the key "test-key" in token "release" is not fit to sign: it has not been sensitive since it was made (CKA_ALWAYS_SENSITIVE is false); it was extractable once (CKA_NEVER_EXTRACTABLE is false); it was not made in this token (CKA_LOCAL is false)' \
  -- "$tool" publish --fresh-key "$src/tests/release/keys/test-freshness.secret" --installer signed.exe --version 3.1.4 --key "pkcs11:token=release;object=test-key" \
  --module "$module" --pin-file pin --out live --trust-ca "$src/tests/signing/ca.crt" --self-signed
[ -e live ] && fail "a publish with a refused key wrote its folder"
expect_run 0 'note: the key "test-key" in token "release" was not made in this token (CKA_LOCAL is false): it was made elsewhere and brought in' \
  -- env VQ_P11_PROBE_MODULE="$module" VQ_P11_PROBE_NEVER_OUT=1 "$tool" publish --fresh-key "$src/tests/release/keys/test-freshness.secret" --installer signed.exe \
  --version 3.1.4 --key "pkcs11:token=release;object=test-key" --module "$probe" --pin-file pin --out live \
  --trust-ca "$src/tests/signing/ca.crt" --self-signed
grep -q "^kid=$test_kid" live/latest.txt || fail "the release is not signed with the test key: $(cat live/latest.txt)"
bench_cloud_start live "$win" "$work" ||
  { fail "the reference cloud did not start: $(cat cloud.out)"; checks_finish; exit 1; }
# A prefix of its own (the one tests/lib/wine-isolated made, or a new one):
# no earlier installation there decides the outcome.
. "$src/scripts/wine-env.sh"
if [ -z "${WINEPREFIX:-}" ]; then
  wine_env_start
  wine_started=1
fi
bench_setup_run "$win/VornquillAI-Online-Setup-x64-SELFSIGNED.exe"
[ "$rc" = 0 ] || fail "the setup ended with exit code $rc: $result"
grep -q "RESULT code=0 reason=installed" <<<"$result" || fail "the setup's result: '$result'"
# The release the setup verified is the one the token signed, to the byte.
size="$(stat -c %s signed.exe)"
sha="$(sha256sum signed.exe | cut -d' ' -f1)"
want="release 3.1.4 verified (key $test_kid): VornquillAI-Setup-x64-3.1.4-SELFSIGNED.exe, $size bytes, sha256 $sha"
tr -d '\r' <"$log" | grep -aqE "^[0-9T:.-]+Z $(sed 's/[][\.*^$()+?{}|]/\\&/g' <<<"$want")\$" ||
  fail "the log lacks the line '$want': $(grep -a 'release' "$log" | tr -d '\r')"
checks_finish
