#!/usr/bin/env bash
# Freshness keys and the statement that keeps a release fresh, through the
# release tool: keygen marks a freshness key as such (in a file or a token)
# and each kind is refused where the other is wanted.
#   fresh-test.sh <vornquill-release> <source dir> <fail-fchmod.so> <fs-probe.so>
# The last two are preload libraries: one whose fchmod always fails, one that
# records folder flushes (fs_probe.c).
set -u
tool="$1"
src="$2"
fail_fchmod="$3"
fs_probe="$4"
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
    --installer installer.exe --version 1.0.0 --key "$key" --fresh-key fresh.secret --out rel-wrong
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

# Without --fresh-key publish refuses, unless told --no-fresh-key (a signing
# host without the freshness key): then it warns, and refresh on the
# publishing host adds the statement.
expect_run 2 "--fresh-key is needed: every setup refuses a release without its freshness statement" \
  -- "$tool" publish --allow-refused-installer --installer installer.exe --version 1.0.0 --key release.secret \
  --out rel-bad
[ -e rel-bad ] && fail "publish without a freshness key wrote a folder"
expect_run 2 "exclude each other" -- "$tool" publish --allow-refused-installer --installer installer.exe \
  --version 1.0.0 --key release.secret --fresh-key fresh.secret --no-fresh-key --out rel-bad
"$tool" publish --allow-refused-installer --installer installer.exe --version 1.0.2 --key release.secret \
  --no-fresh-key --out offline >offline.out 2>offline.err || fail "publish --no-fresh-key: $(cat offline.err)"
grep -q "WARNING: --no-fresh-key: offline/latest.txt has no freshness statement, and every setup refuses it until vornquill-release refresh adds one" offline.err ||
  fail "publish --no-fresh-key did not warn: $(cat offline.err)"
grep -q '^fresh' offline/latest.txt && fail "publish --no-fresh-key wrote a statement"
expect_run 0 "it had no statement" -- "$tool" refresh --latest offline/latest.txt \
  --key "$keys/test-release.public" --fresh-key fresh.secret
verify_fresh offline/latest.txt "$keys/test-freshness.public"

# ---- refresh --------------------------------------------------------------
# The release lines of a latest.txt, byte for byte: every line but the
# statement's, with its own ending.
release_lines() { grep -av '^fresh\(_kid\|_sig\)\?=' "$1"; }
refresh() { "$tool" refresh --key "$keys/test-release.public" --fresh-key fresh.secret "$@"; }

# Shapes a served latest.txt takes: as publish wrote it; CRLF endings with
# another line the setup ignores; the statement first and no final line
# feed; no statement at all (published on the offline host).
base=rel/latest.txt
mkdir -p shapes
cp "$base" shapes/plain.txt
{ printf 'note=served from the origin\r\n'; sed 's/$/\r/' "$base"; } > shapes/crlf.txt
{ grep '^fresh' "$base"; grep -v '^fresh' "$base"; } | head -c -1 > shapes/first-no-lf.txt
grep -v '^fresh' "$base" > shapes/none.txt
for shape in plain crlf first-no-lf none; do
  f="shapes/$shape.txt"
  cp "$f" "shapes/$shape.orig"
  chmod 640 "$f"
  ln "$f" "shapes/$shape.link"
  expect_run 0 "fresh from" -- refresh --latest "$f" --fresh-days 2
  verify_fresh "$f" "$keys/test-freshness.public" --days 2
  release_lines "shapes/$shape.orig" | sed 's/\r\?$//' > want.txt
  release_lines "$f" | sed 's/\r\?$//' > got.txt
  cmp -s want.txt got.txt || fail "refresh of $shape changed the release lines: $(diff want.txt got.txt)"
  # Every kept line keeps its bytes and its ending (CRLF stays CRLF; the
  # last line without one gets the file's, as grep shows it).
  release_lines "shapes/$shape.orig" | cmp -s - <(release_lines "$f") ||
    fail "refresh of $shape: the kept lines differ in bytes"
  [ "$(tail -c 1 "$f" | od -An -c | tr -d ' ')" = '\n' ] || fail "refresh of $shape: no final line feed"
  if [ "$shape" = crlf ]; then
    [ "$(grep -c $'\r$' "$f")" = "$(grep -c '' "$f")" ] || fail "refresh of a CRLF file wrote LF lines: $(od -c "$f" | tail -3)"
  else
    grep -q $'\r' "$f" && fail "refresh of $shape wrote a carriage return"
  fi
  [ "$(stat -c %a "$f")" = 640 ] || fail "refresh of $shape changed the mode to $(stat -c %a "$f")"
  # A new file was renamed into place: the old one's other link keeps it.
  cmp -s "shapes/$shape.link" "shapes/$shape.orig" || fail "refresh of $shape wrote into the old file"
  [ "$(stat -c %h "$f")" = 1 ] || fail "refresh of $shape left the file with another link"
  expect_run 0 "status=ok" -- "$tool" verify --envelope "$f" --key "$keys/test-release.public"
done
[ -z "$(ls -A shapes | grep -v '\.\(txt\|orig\|link\)$')" ] || fail "refresh left files behind: $(ls -A shapes)"
expect_run 0 "it had no statement" -- refresh --latest shapes/none.orig

# Refusals: nothing is signed or changed, and nothing is left beside.
cp "$base" victim.txt
payload="$(sed -n 's/^payload=//p' victim.txt)"
c="${payload:20:1}"; if [ "$c" = A ]; then r=B; else r=A; fi
sed "s/^payload=.*/payload=${payload:0:20}$r${payload:21}/" victim.txt > tampered.txt
sed 's/^sig=.*/sig=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA/' victim.txt > badsig.txt
mkdir -p refused && cp tampered.txt badsig.txt refused/
"$tool" keygen --secret other.secret --public other.public >/dev/null
cp victim.txt refused/other-key.txt
refuse_refresh() {  # file message [options]
  local f="$1" message="$2"
  shift 2
  cp "$f" "$f.before"
  expect_run 1 "$message" -- refresh --latest "$f" "$@"
  cmp -s "$f" "$f.before" || fail "a refused refresh changed $f"
  rm "$f.before"
}
refuse_refresh refused/tampered.txt "its release does not verify with key release-20261210-395dbabf: bad-signature"
refuse_refresh refused/badsig.txt "its release does not verify with key release-20261210-395dbabf: "
for f in tampered badsig; do
  grep -q '^fresh_sig=' "refused/$f.txt" || fail "$f lost its statement"
done
expect_run 1 "its release does not verify with key" -- "$tool" refresh --latest refused/other-key.txt \
  --key other.public --fresh-key fresh.secret
cmp -s refused/other-key.txt victim.txt || fail "a refused refresh changed other-key.txt"
ln -s other-key.txt refused/link.txt
expect_run 1 "is not a regular file but a symbolic link" -- refresh --latest refused/link.txt
expect_run 1 "but a freshness key is needed here" -- "$tool" refresh --latest refused/other-key.txt \
  --key "$keys/test-release.public" --fresh-key release.secret
expect_run 1 "but a release key is needed here" -- "$tool" refresh --latest refused/other-key.txt \
  --key "$keys/test-freshness.public" --fresh-key fresh.secret
expect_run 2 "--latest, --key and --fresh-key are required" -- "$tool" refresh --latest x --key y
# A new file that cannot get the old mode: the old file stays, nothing beside.
expect_run 1 "cannot set the mode" -- env LD_PRELOAD="$fail_fchmod" "$tool" refresh \
  --latest refused/other-key.txt --key "$keys/test-release.public" --fresh-key fresh.secret
cmp -s refused/other-key.txt victim.txt || fail "a failed refresh changed the file"
[ "$(ls -A refused)" = "$(printf 'badsig.txt\nlink.txt\nother-key.txt\ntampered.txt')" ] ||
  fail "refused refreshes left files behind: $(ls -A refused)"
# The folder is flushed after the rename, so the new file survives a crash.
mkdir -p flushed && cp victim.txt flushed/latest.txt
expect_run 0 "fresh from" -- env LD_PRELOAD="$fs_probe" VQ_PROBE_FSYNC_LOG="$work/fsync.log" \
  "$tool" refresh --latest flushed/latest.txt --key "$keys/test-release.public" --fresh-key fresh.secret
grep -qx "$work/flushed" fsync.log || fail "refresh did not flush its folder: $(cat fsync.log)"

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
expect_run 0 "signed with $tkid" -- "$tool" refresh --latest victim.txt --key "$keys/test-release.public" \
  --fresh-key "$furi" --module "$module" --pin-file pin --fresh-days 5
verify_fresh victim.txt token-fresh.public --days 5

checks_finish
