#!/usr/bin/env bash
# Freshness keys and the statement that keeps a release fresh, through the
# release tool: keygen marks a freshness key as such (in a file or a token)
# and each kind is refused where the other is wanted.
#   fresh-test.sh <vornquill-release> <source dir>
set -u
tool="$1"
src="$2"
. "$src/tests/lib/checks.sh"
. "$src/tests/lib/release-bench.sh"
work="$(mktemp -d /tmp/vq-fresh.XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"
keys="$src/tests/release/keys"
cp "$keys/test-release.secret" release.secret
cp "$keys/test-freshness.secret" fresh.secret
chmod 600 release.secret fresh.secret

# ---- keygen --freshness: the kind, the key id and the comment say so -------
expect_run 0 "kid=fresh-20270102-" -- "$tool" keygen --freshness --secret f.secret --public f.public --date 20270102
fkid="$(sed -n 's/^kid=//p' f.public)"
[[ "$fkid" =~ ^fresh-20270102-[0-9a-f]{8}$ ]] || fail "freshness key id '$fkid' is not of the form fresh-YYYYMMDD-xxxxxxxx"
# The id's hex part is the first four bytes of the public key's SHA-256.
want_hex="$(sed -n 's/^public=//p' f.public | xxd -r -p | sha256sum | cut -c1-8)"
[ "${fkid##*-}" = "$want_hex" ] || fail "key id $fkid does not end in the public key's digest $want_hex"
grep -qx "kind=vornquill-freshness-public-key" f.public || fail "the public file's kind: $(cat f.public)"
grep -qx "kind=vornquill-freshness-secret-key" f.secret || fail "the secret file's kind"
grep -qx "kid=$fkid" f.secret || fail "the two files are not one pair"
[ "$(stat -c %a f.secret)" = 600 ] || fail "the freshness secret has mode $(stat -c %a f.secret)"
grep -q '^seed=' f.public && fail "the public file holds the seed"
# The files have the layout of the committed test pair.
for f in f.public f.secret; do
  committed="$keys/test-freshness.${f#f.}"
  [ "$(sed 's/=.*//' "$f")" = "$(sed 's/=.*//' "$committed")" ] || fail "$f's lines differ in layout from $committed"
  [ "$(head -n1 "$f")" = "$(head -n1 "$committed")" ] || fail "$f's comment line: $(head -n1 "$f")"
done
# A release key without --freshness, as before.
expect_run 0 "kid=release-20270102-" -- "$tool" keygen --secret r.secret --public r.public --date 20270102
grep -qx "kind=vornquill-release-public-key" r.public || fail "a release key's kind"
# --kid must have the form of the key's kind.
expect_run 2 "is not of the form fresh-YYYYMMDD-xxxxxxxx" -- "$tool" keygen --freshness --secret x.secret \
  --public x.public --kid release-20270102-00000000
expect_run 2 "is not of the form release-YYYYMMDD-xxxxxxxx" -- "$tool" keygen --secret x.secret \
  --public x.public --kid fresh-20270102-00000000
expect_run 0 "kid=fresh-20270102-0000abcd" -- "$tool" keygen --freshness --secret x.secret --public x.public \
  --kid fresh-20270102-0000abcd
[ -e x.secret ] && [ -e x.public ] || fail "keygen --freshness --kid wrote no pair"

# ---- each kind is refused where the other is wanted ------------------------
printf '{}' > tiny.json
# A freshness key where a release key is wanted (sign, verify, publish, check).
head -c 1000 /dev/urandom > installer.exe
for key in f.secret fresh.secret; do
  expect_run 1 "is a freshness key (kind vornquill-freshness-secret-key), but a release key is needed here" \
    -- "$tool" sign --manifest tiny.json --key "$key" --out e.txt
  expect_run 1 "but a release key is needed here" -- "$tool" publish --allow-refused-installer \
    --installer installer.exe --version 1.0.0 --key "$key" --out rel-wrong
done
expect_run 1 "is a freshness key (kind vornquill-freshness-public-key), but a release key is needed here" \
  -- "$tool" verify --envelope tiny.json --key f.public
expect_run 2 "is a freshness key (kind vornquill-freshness-public-key), but a release key is needed here" \
  -- "$tool" check --url https://127.0.0.1:1 --key f.public
[ -e e.txt ] && fail "sign with a freshness key wrote an envelope"
[ -e rel-wrong ] && fail "publish with a freshness key wrote a folder"

# A key file whose kind and key id disagree is refused, whichever is wanted.
sed 's/^kind=vornquill-release-secret-key/kind=vornquill-freshness-secret-key/' release.secret > mixed.secret
chmod 600 mixed.secret
expect_run 1 "is of kind vornquill-freshness-secret-key but its key id release-" -- \
  "$tool" sign --manifest tiny.json --key mixed.secret --out e.txt

# ---- publish --fresh-key writes the statement's three lines ---------------
# Checked independently (fresh_verify.py: Python and openssl), and by the
# tool's verify, which judges the release lines as a setup does.
verify_fresh() {  # latest public-key [--days N]
  local out
  out="$(python3 "$src/tests/release/fresh_verify.py" "$@" 2>&1)" || fail "statement of $1: $out"
}
expect_run 0 "until" -- "$tool" publish --allow-refused-installer --installer installer.exe --version 1.0.0 \
  --key release.secret --fresh-key fresh.secret --out rel
verify_fresh rel/latest.txt "$keys/test-freshness.public"
expect_run 0 "status=ok" -- "$tool" verify --envelope rel/latest.txt --key "$keys/test-release.public"
[ "$(grep -c '' rel/latest.txt)" = 6 ] || fail "latest.txt is not six lines: $(cat rel/latest.txt)"
# The window: --fresh-days, 1 to 31 whole days.
for days in 1 31; do
  expect_run 0 "($days days)" -- "$tool" publish --allow-refused-installer --installer installer.exe \
    --version 1.0.0 --key release.secret --fresh-key fresh.secret --fresh-days "$days" --out "rel-$days"
  verify_fresh "rel-$days/latest.txt" "$keys/test-freshness.public" --days "$days"
done
for days in 0 32 -1 7.5 07x 100; do
  expect_run 2 "is not a whole number of days from 1 to 31" -- "$tool" publish --allow-refused-installer \
    --installer installer.exe --version 1.0.0 --key release.secret --fresh-key fresh.secret \
    --fresh-days "$days" --out rel-bad
done
[ -e rel-bad ] && fail "a refused --fresh-days wrote a folder"
expect_run 2 "belong to --fresh-key" -- "$tool" publish --allow-refused-installer --installer installer.exe \
  --version 1.0.0 --key release.secret --fresh-days 3 --out rel-bad
# A release key as --fresh-key is refused, and nothing is written.
expect_run 1 "is a release key (kind vornquill-release-secret-key), but a freshness key is needed here" \
  -- "$tool" publish --allow-refused-installer --installer installer.exe --version 1.0.0 \
  --key release.secret --fresh-key release.secret --out rel-bad
# A freshness key of the other profile than the release key's.
"$tool" keygen --freshness --secret prodlike.secret --public prodlike.public \
  --kid "$(sed -n 's/^kid=//p' "$src/tools/release/keys/production-freshness.public")" >/dev/null
expect_run 1 "is the production profile's, but release key release-20261210-395dbabf is the test profile's" \
  -- "$tool" publish --allow-refused-installer --installer installer.exe --version 1.0.0 \
  --key release.secret --fresh-key prodlike.secret --out rel-bad
[ -e rel-bad ] && fail "a refused publish wrote its folder"

# ---- a freshness key in a token (softhsm2) ---------------------------------
module=/usr/lib/softhsm/libsofthsm2.so
[ -f "$module" ] || { echo "FAIL: $module is missing (softhsm2, scripts/setup-deps)" >&2; exit 1; }
bench_token_init fresh
furi="pkcs11:token=fresh;object=fresh-2027"
expect_run 0 "kid=fresh-20270105-" -- "$tool" keygen --freshness --secret "$furi" --public token-fresh.public \
  --module "$module" --pin-file pin --date 20270105
grep -qx "kind=vornquill-freshness-public-key" token-fresh.public || fail "the token key's public file kind"
tkid="$(sed -n 's/^kid=//p' token-fresh.public)"
[[ "$tkid" =~ ^fresh-20270105-[0-9a-f]{8}$ ]] || fail "the token freshness key's id '$tkid'"
expect_run 1 "is a freshness key ($tkid), but a release key is needed here" -- "$tool" sign \
  --manifest tiny.json --key "$furi" --module "$module" --pin-file pin --out e.txt
[ -e e.txt ] && fail "sign with a token freshness key wrote an envelope"
# publish signs the statement in the token (its own PIN file).
expect_run 0 "signed with $tkid" -- "$tool" publish --allow-refused-installer --installer installer.exe \
  --version 1.0.1 --key release.secret --fresh-key "$furi" --module "$module" --fresh-pin-file pin --out rel-token
verify_fresh rel-token/latest.txt token-fresh.public

checks_finish
