#!/usr/bin/env bash
# publish checks the installer as every setup will before it writes anything:
# every file of tests/verify/make-signed-fixtures.sh is accepted or refused as
# tests/verify/signed-fixtures.table says (the table the setup's own check is
# tested with under Wine); a refusal says what is wrong and writes nothing.
# Then: the bytes published are the bytes checked (the installer replaced
# while it is checked), the check's private folder (refused in a temporary
# folder that others may change) and its children, which never see the
# token's PIN (from the environment or from --pin-file) in their environment
# or command line, the tool's profile, and --allow-refused-installer.
#   publish-check.sh <vornquill-release> <source dir> <Windows test build tree>
#                    <the same tool built with the production profile>
set -u
tool="$1"
src="$2"
win="$3"
production_tool="$4"
. "$src/tests/lib/checks.sh"
. "$src/tests/lib/release-bench.sh"
demo="$win/tools/vq-demo-installer.exe"
[ -f "$demo" ] || { echo "FAIL: $demo has not been built" >&2; exit 1; }
table="$src/tests/verify/signed-fixtures.table"
key="$src/tests/release/keys/test-release.secret"
fresh="$src/tests/release/keys/test-freshness.secret"
ca="$src/tests/signing/ca.crt"
work="$(mktemp -d /tmp/vq-publish-check.XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"
# The check's private folders go here, so that what is left is seen.
mkdir tmp
export TMPDIR="$work/tmp"
"$src/tests/verify/make-signed-fixtures.sh" "$demo" f >/dev/null || { echo "FAIL: the fixtures" >&2; exit 1; }

# The table and the fixtures agree: a row for every file, a file for every row.
rows="$(grep -v '^#' "$table" | grep -v '^$' | cut -d'|' -f1 | sort -u)"
files="$(cd f && ls | sed 's/\.exe$//' | sort)"
expect_eq "$files" "$rows" "every fixture has a row of the table, and every row a fixture"

n=0
while IFS='|' read -r file roots setup verdict status timestamp publish _sign_pe; do
  case "$file" in ''|'#'*) continue ;; esac
  n=$((n + 1))
  trust=()
  [ "$roots" = ca ] && trust=(--trust-ca "$ca")
  what="$file (roots: $roots)"
  out="$("$tool" publish --fresh-key "$fresh" --installer "f/$file.exe" --version "1.0.$n" --key "$key" --out "r$n" "${trust[@]}" 2>&1)"
  rc=$?
  if [ "$publish" = accepted ]; then
    if [ "$rc" = 0 ] && [ -f "r$n/latest.txt" ]; then ok "$what: published"; else fail "$what: refused: $out"; fi
    cmp -s "f/$file.exe" "r$n/files/1.0.$n/VornquillAI-Setup-x64-1.0.$n.exe" || fail "$what: the published file differs"
    continue
  fi
  [ "$rc" = 1 ] || fail "$what: exit $rc, expected a refusal: $out"
  # "verdict", alone or followed by ":" and texts of publish's own finding;
  # or texts of publish's own refusal. Texts are separated by " && ".
  texts="$publish"
  want=()
  if [ "$publish" = verdict ] || [ "${publish#verdict:}" != "$publish" ]; then
    want=("every setup refuses its signature: $verdict (WinVerifyTrust $status," ", timestamp $timestamp)" "Fix: ")
    texts="${publish#verdict}"
    texts="${texts#:}"
  fi
  while [ -n "$texts" ]; do
    want+=("${texts%% && *}")
    [ "${texts#* && }" = "$texts" ] && break
    texts="${texts#* && }"
  done
  for w in "${want[@]}"; do
    grep -qF -- "$w" <<<"$out" || fail "$what: the refusal lacks '$w': $out"
  done
  [ -e "r$n" ] && fail "$what: a refused publish wrote r$n"
done <"$table"
left="$(find . -maxdepth 1 -name '.*publish-*'; find tmp -mindepth 1 -maxdepth 1)"
[ -z "$left" ] || fail "publishes left $left"

# The bytes published are the ones checked: an osslsigncode that replaces
# the installer by an unsigned file while the check reads its copy (with
# ./swap present), and records what it was given: the private folder's mode,
# and any run whose whole environment or command line (as the system gave
# them to the process) holds the PIN's value, one no other text here holds.
pin_value="vq-Wagtail-90417-pin"
mkdir bin
cat >bin/osslsigncode <<EOF
#!/usr/bin/env bash
[ -e "$work/swap" ] && cp -f "$work/f/unsigned.exe" "$work/swapped.exe"
for a in "\$@"; do
  case "\$a" in */installer.exe) stat -c '%a %U' "\$(dirname "\$a")" >>"$work/folder-modes" ;; esac
done
tr '\\0' '\\n' </proc/\$\$/environ | grep -qF -- "$pin_value" && echo "environment: \$*" >>"$work/pin-seen"
tr '\\0' '\\n' </proc/\$\$/cmdline | grep -qF -- "$pin_value" && echo "command line: \$*" >>"$work/pin-seen"
exec "$(command -v osslsigncode)" "\$@"
EOF
chmod +x bin/osslsigncode
cp f/pinned-ts.exe swapped.exe
: >swap
out="$(PATH="$work/bin:$PATH" VORNQUILL_PKCS11_PIN="$pin_value" "$tool" publish --fresh-key "$fresh" --installer swapped.exe --version 2.1.0 \
  --key "$key" --out swap-release --trust-ca "$ca" 2>&1)" || fail "publishing while the installer is replaced: $out"
rm swap
cmp -s f/pinned-ts.exe swap-release/files/2.1.0/VornquillAI-Setup-x64-2.1.0.exe ||
  fail "the published installer is not the one that was checked"
cmp -s f/unsigned.exe swapped.exe || fail "the stand-in osslsigncode did not replace the installer"
expect_eq "$(sort -u folder-modes)" "700 $(id -un)" "the installer's copy is in a private folder"
expect_eq "$(cat pin-seen 2>/dev/null)" "" "the PIN from the environment is in no osslsigncode run's environment or command line"
# The same with the release key in a token and the PIN from --pin-file: the
# children see it nowhere, and no file in the temporary folder holds it.
(
  mkdir token && cd token || exit 1
  bench_token_init release "$pin_value"
  "$tool" keygen --secret "pkcs11:token=release;object=release-2027" --public token.public \
    --module /usr/lib/softhsm/libsofthsm2.so --pin-file pin >/dev/null || { echo "FAIL: keygen in the token"; exit 1; }
  PATH="$work/bin:$PATH" "$tool" publish --fresh-key "$fresh" --installer ../f/pinned-ts.exe --version 2.1.1 \
    --key "pkcs11:token=release;object=release-2027" --module /usr/lib/softhsm/libsofthsm2.so --pin-file pin \
    --out ../token-release --trust-ca "$ca" >../token-publish.out 2>&1
) || fail "the token for the --pin-file publish: $(cat token-publish.out 2>/dev/null)"
[ -f token-release/latest.txt ] || fail "publishing with the token key: $(cat token-publish.out)"
expect_eq "$(cat pin-seen 2>/dev/null)" "" "the PIN from --pin-file is in no osslsigncode run's environment or command line"
expect_eq "$(grep -rlF -- "$pin_value" tmp)" "" "no file in the temporary folder holds the PIN"
# A temporary folder that others may change is refused before the installer
# is read.
mkdir open-tmp && chmod 0777 open-tmp
expect_run 1 "cannot make a private folder in TMPDIR $work/open-tmp: it can be written by its group or by others and is not sticky (owner $(id -u), mode 0777)" \
  -- env TMPDIR="$work/open-tmp" "$tool" publish --fresh-key "$fresh" --installer f/pinned-ts.exe --version 2.1.2 --key "$key" \
  --out open-release --trust-ca "$ca"
[ -e open-release ] && fail "a publish refused for its temporary folder wrote open-release"

# The tool says which profile it judges with, and refuses the other
# profile's release key (a key named with the production key id).
expect_run 0 "this tool was built with the test profile" -- "$tool" help
expect_run 0 "installer checked as a test-profile setup checks it" -- "$tool" publish --fresh-key "$fresh" --installer f/pinned-ts.exe \
  --version 2.2.0 --key "$key" --out profile --trust-ca "$ca"
"$tool" keygen --secret prod.secret --public prod.public --kid release-20261210-9637c788 >/dev/null ||
  fail "keygen with the production key id"
expect_run 1 "key release-20261210-9637c788 is the production profile's release key, but this tool was built with the test profile and judges installers with its pins: publish with a vornquill-release built with -DVQ_PROFILE=production" \
  -- "$tool" publish --fresh-key "$fresh" --installer f/pinned-ts.exe --version 2.3.0 --key prod.secret --out prod --trust-ca "$ca"
[ -e prod ] && fail "a publish with the production key wrote its folder"
# The release engineer's tool, built with the production profile, the other
# way round: it says so, refuses the test release key, and lets no refused
# installer through with a key of its own.
expect_run 0 "this tool was built with the production profile" -- "$production_tool" help
"$production_tool" keygen --secret own.secret --public own.public >/dev/null || fail "keygen with a new key"
expect_run 1 "is the test profile's release key, but this tool was built with the production profile and judges installers with its pins: publish with a vornquill-release built with -DVQ_PROFILE=test" \
  -- "$production_tool" publish --fresh-key "$fresh" --installer f/pinned-ts.exe --version 2.3.1 --key "$key" --out prod-test-key --trust-ca "$ca"
[ -e prod-test-key ] && fail "a production-profile publish with the test key wrote its folder"
expect_run 1 "only for test releases, signed with the test release key or by a test-profile tool, not with key" \
  -- "$production_tool" publish --fresh-key "$fresh" --installer f/unsigned.exe --version 2.3.2 --key own.secret --out prod-forced \
     --allow-refused-installer
[ -e prod-forced ] && fail "a production-profile tool published a refused installer"

# A fixture that must publish a refused installer says so and is warned.
out="$("$tool" publish --fresh-key "$fresh" --installer f/unsigned.exe --version 2.0.0 --key "$key" --out forced \
  --allow-refused-installer 2>err.txt)" || fail "--allow-refused-installer did not publish: $(cat err.txt)"
grep -q "published 2.0.0" <<<"$out" || fail "the forced publish: $out"
grep -q "WARNING: --allow-refused-installer: publishing f/unsigned.exe, which every setup will refuse: every setup refuses its signature: not signed" err.txt ||
  fail "the forced publish's warning: $(cat err.txt)"
# It publishes nothing it could not check: a link stays refused.
expect_run 1 "is a symbolic link" -- "$tool" publish --fresh-key "$fresh" --installer f/link.exe --version 2.0.2 --key "$key" \
  --out forced-link --allow-refused-installer
# An accepted installer gets no warning with it.
"$tool" publish --fresh-key "$fresh" --installer f/pinned-ts.exe --version 2.0.1 --key "$key" --out quiet --trust-ca "$ca" \
  --allow-refused-installer >/dev/null 2>err.txt || fail "publishing an accepted installer failed"
[ -s err.txt ] && fail "an accepted installer was warned about: $(cat err.txt)"
left="$(find tmp -mindepth 1 -maxdepth 1)"
[ -z "$left" ] || fail "publishes left $left"
checks_finish
