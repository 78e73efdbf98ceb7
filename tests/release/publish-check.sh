#!/usr/bin/env bash
# publish checks the installer as every setup will before it writes anything:
# the demo installer signed with each test certificate, with and without a
# time stamp, unsigned, changed after signing, signed with a near-miss
# organisation or with fake time stamps (make-fake-timestamps.sh), and files
# that are not 64-bit Windows executables. Each is accepted or refused as the
# setup's verdict decides (the same accept/refuse as the Windows test of the
# Authenticode check); a refusal names the verdict and the fix and writes
# nothing; --allow-refused-installer publishes anyway with a warning.
#   publish-check.sh <vornquill-release> <source dir> <Windows test build tree>
set -u
tool="$1"
src="$2"
win="$3"
. "$src/tests/lib/checks.sh"
demo="$win/tools/vq-demo-installer.exe"
[ -f "$demo" ] || { echo "FAIL: $demo has not been built" >&2; exit 1; }
certs="$src/tests/signing"
key="$src/tests/release/keys/test-release.secret"
work="$(mktemp -d /tmp/vq-publish-check.XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir f

for kind in pinned unpinned vendor other; do
  "$src/tools/sign-installer" "$demo" "f/$kind-ts.exe" --cert "$kind" --timestamp >/dev/null
  "$src/tools/sign-installer" "$demo" "f/$kind-nots.exe" --cert "$kind" --no-timestamp >/dev/null
done
cp "$demo" f/unsigned.exe
cp f/pinned-ts.exe f/modified.exe
printf 'X' | dd of=f/modified.exe bs=1 seek=100 conv=notrunc status=none
# A signer issued by the test root whose organisation differs only in case.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out near.key 2>/dev/null
printf '[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nC = GB\nO = hollbrek zedivazavedazu llp\nCN = near\n[ext]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\n' > near.cnf
openssl req -new -config near.cnf -key near.key -out near.csr
openssl x509 -req -in near.csr -CA "$certs/ca.crt" -CAkey "$certs/ca.key" -days 30 -set_serial 0x5a5a \
  -extfile near.cnf -extensions ext -out near.crt 2>/dev/null
cat near.crt "$certs/ca.crt" > near-chain.crt
cat "$certs/tsa.crt" "$certs/ca.crt" > tsa-chain.crt
osslsigncode sign -h sha256 -certs near-chain.crt -key near.key -n "Vornquill AI Setup" \
  -TSA-certs tsa-chain.crt -TSA-key "$certs/tsa.key" -in "$demo" -out f/near-ts.exe >/dev/null
"$src/tests/verify/make-fake-timestamps.sh" "$demo" f >/dev/null
# Not 64-bit Windows executables: random bytes, and the demo marked as i386.
head -c 5000 /dev/urandom > f/random.exe
python3 - "$demo" f/i386.exe <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3c)[0]
struct.pack_into("<H", data, pe + 4, 0x14c)
open(sys.argv[2], "wb").write(data)
PY

# file | trusted roots besides the system's | the verdict text, or "accepted"
ca="$certs/ca.crt"
cases=(
  "pinned-ts|$ca|accepted"
  "vendor-ts|$ca|accepted"
  "ts-valid|$ca|accepted"
  "pinned-nots|$ca|pinned certificate but no timestamp (WinVerifyTrust 0x800B0109"
  "vendor-nots|$ca|trusted certificate but no timestamp (WinVerifyTrust 0x00000000"
  "unpinned-ts|$ca|signature rejected by Windows (WinVerifyTrust 0x800B0109"
  "unpinned-nots|$ca|signature rejected by Windows (WinVerifyTrust 0x800B0109"
  "other-ts|$ca|validly signed, but not by Hollbrek (WinVerifyTrust 0x00000000"
  "other-nots|$ca|validly signed, but not by Hollbrek (WinVerifyTrust 0x00000000"
  "near-ts|$ca|validly signed, but not by Hollbrek (WinVerifyTrust 0x00000000"
  "unsigned|$ca|not signed (WinVerifyTrust 0x800B0100"
  "modified|$ca|the signature does not match the file (modified) (WinVerifyTrust 0x80096010"
  "ts-copied|$ca|pinned certificate but no timestamp"
  "ts-bad-signature|$ca|pinned certificate but no timestamp"
  "ts-untrusted-ca|$ca|pinned certificate but no timestamp"
  "ts-no-usage|$ca|pinned certificate but no timestamp"
  "ts-pkcs9-copied|$ca|pinned certificate but no timestamp"
  # Without the test root, as on a machine that does not trust it: the time
  # stamp is not proven, and the vendor's chain ends at an unknown root.
  "pinned-ts||pinned certificate but no timestamp"
  "vendor-ts||signature rejected by Windows (WinVerifyTrust 0x800B0109"
  "random||it is not a Windows executable (no MZ header)"
  "i386|$ca|it is not a 64-bit (x64) Windows executable (machine 0x014c"
)
n=0
for c in "${cases[@]}"; do
  IFS='|' read -r file roots want <<<"$c"
  n=$((n + 1))
  trust=()
  [ -n "$roots" ] && trust=(--trust-ca "$roots")
  out="$("$tool" publish --installer "f/$file.exe" --version 1.0.$n --key "$key" --out "r$n" "${trust[@]}" 2>&1)"
  rc=$?
  if [ "$want" = accepted ]; then
    [ "$rc" = 0 ] && [ -f "r$n/latest.txt" ] || fail "$file${roots:+ (test root trusted)}: refused: $out"
  else
    [ "$rc" = 1 ] || fail "$file${roots:+ (test root trusted)}: exit $rc, expected a refusal: $out"
    grep -qF -- "$want" <<<"$out" || fail "$file: the refusal lacks '$want': $out"
    grep -q "Fix: " <<<"$out" || fail "$file: the refusal says no fix: $out"
    [ -e "r$n" ] && fail "$file: a refused publish wrote r$n"
  fi
done
left="$(find . -maxdepth 1 -name '.*publish-*')"
[ -z "$left" ] || fail "refused publishes left $left"

# A fixture that must publish a refused installer says so and is warned.
out="$("$tool" publish --installer f/unsigned.exe --version 2.0.0 --key "$key" --out forced \
  --allow-refused-installer 2>err.txt)" || fail "--allow-refused-installer did not publish: $(cat err.txt)"
grep -q "published 2.0.0" <<<"$out" || fail "the forced publish: $out"
grep -q "WARNING: --allow-refused-installer: publishing f/unsigned.exe, which every setup will refuse: every setup refuses its signature: not signed" err.txt ||
  fail "the forced publish's warning: $(cat err.txt)"
# An accepted installer gets no warning with it.
"$tool" publish --installer f/pinned-ts.exe --version 2.0.1 --key "$key" --out quiet --trust-ca "$ca" \
  --allow-refused-installer >/dev/null 2>err.txt || fail "publishing an accepted installer failed"
[ -s err.txt ] && fail "an accepted installer was warned about: $(cat err.txt)"
expect_eq "$n" 21 "cases run"
checks_finish
