#!/usr/bin/env bash
# The release tool end to end: keygen -> publish -> verify, tampered releases,
# refusals of bad input, and that nothing half-made is left behind.
#   tool-test.sh <vornquill-release> <source dir> <fail-fchmod.so> <fs-probe.so>
# The last two are preload libraries: one whose fchmod always fails, one
# without a no-replace rename that records folder flushes (fs_probe.c).
set -u
tool="$1"
src="$2"
fail_fchmod="$3"
fs_probe="$4"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
. "$src/tests/lib/checks.sh"

# The status and detail lines of verify, exactly, and its exit code: 0 for
# "ok", 1 for any refusal.
expect_verdict() {
  local envelope="$1" key="$2" want_status="$3" want_detail="$4"
  shift 4
  local out rc=0
  out="$("$tool" verify --envelope "$envelope" --key "$key" "$@" 2>&1)" || rc=$?
  local status detail want_rc=1
  [ "$want_status" = ok ] && want_rc=0
  status="$(sed -n 's/^status=//p' <<<"$out")"
  detail="$(sed -n 's/^detail=//p' <<<"$out")"
  [ "$status" = "$want_status" ] || fail "verify $envelope: status '$status', expected '$want_status' ($out)"
  [ "$detail" = "$want_detail" ] || fail "verify $envelope: detail '$detail', expected '$want_detail'"
  [ "$rc" = "$want_rc" ] || fail "verify $envelope: exit code $rc, expected $want_rc for '$want_status'"
}

# No temporary siblings may survive in a folder.
expect_no_leftovers() {
  local left
  left="$(find "$1" -maxdepth 1 -name '.*publish-*' -o -maxdepth 1 -name '*.tmp-*')"
  [ -z "$left" ] || fail "left behind: $left"
}

cd "$work"
head -c 300001 /dev/urandom > installer.exe
# Every release carries its freshness statement (fresh-test.sh tests it).
cp "$src/tests/release/keys/test-freshness.secret" fresh.secret
chmod 600 fresh.secret

# keygen
expect_run 0 "kid=release-20260102-" -- "$tool" keygen --secret k.secret --public k.public --date 20260102
kid="$(sed -n 's/^kid=//p' k.public)"
[[ "$kid" =~ ^release-20260102-[0-9a-f]{8}$ ]] || fail "key id '$kid' is not of the form release-YYYYMMDD-xxxxxxxx"
[ "$(stat -c %a k.secret)" = 600 ] || fail "the secret key file is readable by others"
grep -q '^seed=' k.public && fail "the public key file holds the seed"
expect_run 1 "already exists" -- "$tool" keygen --secret k.secret --public k2.public
[ -e k2.public ] && fail "a refused keygen wrote the public key file"
expect_run 2 "not a date" -- "$tool" keygen --secret x.secret --public x.public --date 2026-01-02
expect_run 2 "is not of the form" -- "$tool" keygen --secret x.secret --public x.public --kid release-1
expect_run 2 "required" -- "$tool" keygen --secret x.secret

# keygen --force writes new files and renames them into place: a second link
# of the old secret keeps the old key, and the new secret is owner-only.
cp -p k.secret old.secret
cp -p k.public old.public
ln k.secret k.secret-link
expect_run 0 "kid=release-20260103-" -- "$tool" keygen --secret k.secret --public k.public --date 20260103 --force
cmp -s k.secret-link old.secret || fail "keygen --force wrote into the existing secret file (its other link changed)"
[ "$(stat -c %h k.secret)" = 1 ] || fail "the new secret file shares its inode with the old one"
[ "$(stat -c %a k.secret)" = 600 ] || fail "the replaced secret file has mode $(stat -c %a k.secret)"
[ "$(stat -c %a k.public)" = 644 ] || fail "the replaced public file has mode $(stat -c %a k.public)"
cmp -s k.secret old.secret && fail "keygen --force kept the old secret"
grep -qx "kid=$(sed -n 's/^kid=//p' k.public)" k.secret || fail "the new files are not one key pair"
expect_no_leftovers .
# Back to the first pair for the tests below.
rm k.secret-link
cp -p old.secret k.secret
cp -p old.public k.public

# Two names of one target are refused and write nothing: the same name
# through ./ or a linked folder (whether or not the file exists yet).
ln -s . here
for pair in "k.secret ./k.secret" "k.secret here/k.secret" "n.key here/n.key"; do
  set -- $pair
  expect_run 1 "are one file" -- "$tool" keygen --secret "$1" --public "$2" --force
  cmp -s k.secret old.secret && cmp -s k.public old.public || fail "keygen $pair changed the key pair"
  [ -e n.key ] && fail "keygen $pair wrote n.key"
  expect_no_leftovers .
done
rm here

# Both folders are flushed after the renames, so the new names survive a crash.
mkdir -p flushed/pub flushed/sec
expect_run 0 "kid=" -- env LD_PRELOAD="$fs_probe" VQ_PROBE_FSYNC_LOG="$work/fsync.log" \
  "$tool" keygen --secret flushed/sec/k.secret --public flushed/pub/k.public
for folder in pub sec; do
  grep -qx "$work/flushed/$folder" fsync.log || fail "keygen did not flush flushed/$folder: $(cat fsync.log)"
done
# Without a no-replace rename, a new link and an unlink do its work: a new
# pair is written whole, with no second name left behind.
expect_run 0 "kid=" -- env LD_PRELOAD="$fs_probe" VQ_PROBE_NO_NOREPLACE=1 \
  "$tool" keygen --secret flushed/l.secret --public flushed/l.public
grep -q '^seed=' flushed/l.secret || fail "the link fallback wrote no secret file"
[ "$(stat -c %h flushed/l.secret)" = 1 ] || fail "the link fallback left a second link"
expect_no_leftovers flushed

# A public file that cannot be written leaves the old pair untouched and no
# new file behind: a folder standing at its name, a missing folder.
mkdir -p pubdir/k.public
for target in pubdir/k.public missing/k.public; do
  expect_run 1 "$target" -- "$tool" keygen --secret k.secret --public "$target" --force
  cmp -s k.secret old.secret || fail "a failed public write ($target) changed the secret key file"
  cmp -s k.public old.public || fail "a failed public write ($target) changed the public key file"
  expect_no_leftovers .
  expect_no_leftovers pubdir
done
# A mode that cannot be set: the key files stay as they were.
expect_run 1 "cannot set the mode" -- env LD_PRELOAD="$fail_fchmod" "$tool" keygen --secret k.secret --public k.public --force
cmp -s k.secret old.secret && cmp -s k.public old.public || fail "a failed mode change changed the key pair"
expect_no_leftovers .

# A secret key file that group or others can reach is refused by the
# commands that read one, the message naming the file and its mode (every
# mode is in the key file's unit test, KeyFile.ASecretThatGroupOrOthersCanReachIsRefused).
printf '{}' > tiny.json
cp old.secret open.secret
chmod 640 open.secret
expect_run 1 "secret key file open.secret has mode 0640" -- "$tool" sign --manifest tiny.json --key open.secret --out open.txt
expect_run 1 "secret key file open.secret has mode 0640" -- "$tool" verify --envelope tiny.json --key open.secret
[ -e open.txt ] && fail "sign wrote an envelope with a mode 0640 key"
chmod 400 open.secret
expect_run 0 "" -- "$tool" sign --manifest tiny.json --key open.secret --out open.txt

# publish -> verify
expect_run 0 "published 1.4.2" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.4.2 --key k.secret --out rel
[ -f rel/latest.txt ] || fail "publish made no latest.txt"
cmp -s installer.exe rel/files/1.4.2/VornquillAI-Setup-x64-1.4.2.exe || fail "the published installer differs"
[ "$(find rel -type f | wc -l)" = 2 ] || fail "the release folder holds other files: $(find rel -type f)"
expect_no_leftovers .
expect_verdict rel/latest.txt k.public ok ""
out="$("$tool" verify --envelope rel/latest.txt --key k.public)"
sha="$(sha256sum installer.exe | cut -d' ' -f1)"
grep -qx "sha256=$sha" <<<"$out" || fail "the manifest's SHA-256 is not the installer's: $out"
grep -qx "size=300001" <<<"$out" || fail "the manifest's size is not the installer's: $out"
grep -qx "kid=$kid" <<<"$out" || fail "verify does not name the key: $out"
grep -qx "fileName=VornquillAI-Setup-x64-1.4.2.exe" <<<"$out" || fail "file name: $out"
# The secret file verifies as well as the public one.
expect_verdict rel/latest.txt k.secret ok ""
# The program's own minimum version applies unless told otherwise.
expect_verdict rel/latest.txt k.public below-floor \
  "release 1.4.2 is older than this installer's minimum version" --min-version 1.5.0

# The setup program's built-in test key does not know this key.
expect_verdict rel/latest.txt "$src/tests/release/keys/test-release.public" unknown-kid \
  "the release is signed with key $kid, which this installer does not know"

# Tampered releases.
payload="$(sed -n 's/^payload=//p' rel/latest.txt)"
mid=$(( ${#payload} / 2 ))
c="${payload:$mid:1}"
if [ "$c" = A ]; then r=B; else r=A; fi
sed "s/^payload=.*/payload=${payload:0:$mid}$r${payload:$((mid + 1))}/" rel/latest.txt > tampered-payload.txt
expect_verdict tampered-payload.txt k.public bad-signature "the Ed25519 signature does not verify (key $kid)"
sig="$(sed -n 's/^sig=//p' rel/latest.txt)"
c="${sig:10:1}"
if [ "$c" = A ]; then r=B; else r=A; fi
sed "s/^sig=.*/sig=${sig:0:10}$r${sig:11}/" rel/latest.txt > tampered-sig.txt
expect_verdict tampered-sig.txt k.public bad-signature "the Ed25519 signature does not verify (key $kid)"
sed "s/^sig=.*/sig=${sig:0:85}B/" rel/latest.txt > tampered-sig-bits.txt
expect_verdict tampered-sig-bits.txt k.public format "the signature is not 64 bytes of strict base64url"
printf 'note=\t\n' | cat - rel/latest.txt > tampered-control.txt
expect_verdict tampered-control.txt k.public format "latest.txt contains a control or non-ASCII character"
sed '/^kid=/d' rel/latest.txt > tampered-nokid.txt
expect_verdict tampered-nokid.txt k.public format "latest.txt lacks kid, payload or sig"
# A release signed by another key under the same key id.
"$tool" keygen --secret other.secret --public other.public --kid "$kid" >/dev/null || fail "keygen --kid"
expect_run 0 "" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.4.2 --key other.secret --out impostor
expect_verdict impostor/latest.txt k.public bad-signature "the Ed25519 signature does not verify (key $kid)"

# sign: any manifest bytes, judged only by verify.
printf '{"v":1,"product":"vornquill-ai","version":"2.0.0","channel":"beta","artifacts":[]}' > beta.json
expect_run 0 "" -- "$tool" sign --manifest beta.json --key k.secret --out beta.txt
expect_verdict beta.txt k.public wrong-channel "release 2.0.0 is not on the stable channel"
[ "$(grep -c '' beta.txt)" = 3 ] || fail "the envelope is not three lines"
grep -qx "kid=$kid" beta.txt || fail "the envelope's kid line"
expect_run 1 "already exists" -- "$tool" sign --manifest beta.json --key k.secret --out beta.txt
expect_run 0 "" -- "$tool" sign --manifest beta.json --key k.secret --out beta.txt --force
"$tool" sign --manifest beta.json --key k.secret --out - | cmp -s - beta.txt || fail "sign to standard output differs"
: > empty.json
expect_run 1 "empty" -- "$tool" sign --manifest empty.json --key k.secret --out e.txt
head -c 1500001 /dev/zero > big.json
expect_run 1 "larger than 1500000 bytes" -- "$tool" sign --manifest big.json --key k.secret --out e.txt
expect_run 1 "holds only a public key" -- "$tool" sign --manifest beta.json --key k.public --out e.txt
[ -e e.txt ] && fail "a refused sign wrote its output"

# A signed file name holding CR LF and a fake line: verify prints it escaped,
# so its output keeps exactly one detail line and gains no other.
printf '{"v":1,"product":"vornquill-ai","version":"2.0.0","channel":"stable","artifacts":[{"platform":"win32","arch":"x64","kind":"windows-installer","fileName":"a.exe\\r\\nstatus=ok","size":1,"sha256":"%064d"}]}' 0 > crlf.json
expect_run 0 "" -- "$tool" sign --manifest crlf.json --key k.secret --out crlf.txt
expect_verdict crlf.txt k.public file-name 'the Windows installer'"'"'s file name a.exe\x0d\x0astatus=ok is not accepted'
[ "$("$tool" verify --envelope crlf.txt --key k.public | grep -c '')" = 2 ] || fail "verify printed more than its two lines"

# publish refusals; none leaves a folder behind.
expect_run 1 "not empty; refusing to overwrite" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.4.3 --key k.secret --out rel
grep -q 1.4.2 <(ls rel/files) || fail "a refused publish changed the existing release"
expect_run 0 "published 1.4.3" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.4.3 --key k.secret --out rel/ --force --self-signed
[ "$(ls rel/files)" = 1.4.3 ] || fail "--force did not replace the release: $(ls rel/files)"
[ -f rel/files/1.4.3/VornquillAI-Setup-x64-1.4.3-SELFSIGNED.exe ] || fail "the self-signed file name"
expect_verdict rel/latest.txt k.public ok ""
mkdir emptydir
expect_run 0 "published" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.0.0 --key k.secret --out emptydir
expect_run 1 "cannot open installer" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer missing.exe --version 1.0.0 --key k.secret --out r1
: > zero.exe
expect_run 1 "has 0 bytes" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer zero.exe --version 1.0.0 --key k.secret --out r2
expect_run 1 "not a regular file" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer emptydir --version 1.0.0 --key k.secret --out r3
expect_run 2 "is not a valid version" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.0 --key k.secret --out r4
expect_run 1 "holds only a public key" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.0.0 --key k.public --out r5
expect_run 1 "cannot open key file" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.0.0 --key nokey --out r6
expect_run 1 "does not exist" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.0.0 --key k.secret --out nodir/r7
expect_run 1 "is not a folder" -- "$tool" publish --fresh-key fresh.secret --allow-refused-installer --installer installer.exe --version 1.0.0 --key k.secret --out installer.exe
expect_run 2 "unknown option" -- "$tool" publish --fresh-key fresh.secret --installer installer.exe --version 1.0.0 --key k.secret --out r8 --channel beta
expect_run 2 "needs a value" -- "$tool" publish --fresh-key fresh.secret --installer installer.exe --version
expect_run 2 "given twice" -- "$tool" verify --envelope a --envelope b --key k.public
for d in r1 r2 r3 r4 r5 r6 r7 r8; do [ -e "$d" ] && fail "a refused publish left $d"; done
expect_no_leftovers .
sed 's/^seed=\(.\)/seed=f/' k.secret > broken.secret
grep -q '^seed=f' k.secret && sed -i 's/^seed=f/seed=0/' broken.secret
chmod 600 broken.secret
expect_run 1 "inconsistent" -- "$tool" sign --manifest beta.json --key broken.secret --out e.txt

help_text="$("$tool" help)"
for command in keygen sign verify publish refresh check help; do
  grep -q "^  $command\( \|$\)" <<<"$help_text" || fail "help does not list $command"
done
expect_run 2 "unknown command" -- "$tool" frobnicate

checks_finish
