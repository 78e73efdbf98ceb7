#!/usr/bin/env bash
# Signs copies of the demo installer with each test certificate, with and
# without a time stamp, makes two more signers whose organisation differs
# from the vendor's only in letter case or spacing, makes installers signed
# with the pinned certificate whose time stamps are fakes (see
# make-fake-timestamps.sh), and runs the Windows Authenticode tests on them
# under Wine.
#   tests/verify/run-signed.sh <Windows test build tree>
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:?usage: run-signed.sh <Windows test build tree>}"
exe="$build/tools/vq-demo-installer.exe"
tests="$build/vq_win_tests.exe"
for f in "$exe" "$tests"; do
  if [ ! -f "$f" ]; then echo "FAIL: $f has not been built" >&2; exit 1; fi
done
certs="$root/tests/signing"
work="$(mktemp -d /tmp/vq-signed.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fixtures="$work/fixtures"
mkdir -p "$fixtures"

for kind in pinned unpinned vendor other; do
  "$root/tools/sign-installer" "$exe" "$fixtures/$kind-ts.exe" --cert "$kind" --timestamp
  "$root/tools/sign-installer" "$exe" "$fixtures/$kind-nots.exe" --cert "$kind" --no-timestamp
done
cp "$exe" "$fixtures/unsigned.exe"
# One byte of the signed file changed inside the hashed part (the DOS stub).
cp "$fixtures/pinned-ts.exe" "$fixtures/modified.exe"
printf 'X' | dd of="$fixtures/modified.exe" bs=1 seek=100 conv=notrunc status=none

# Signers issued by the test root whose organisation is the vendor's in
# other letter case, or with a doubled space.
cat "$certs/tsa.crt" "$certs/ca.crt" >"$work/tsa-chain.crt"
n=0
for org in "hollbrek zedivazavedazu llp" "Hollbrek  Zedivazavedazu LLP"; do
  n=$((n + 1))
  name="near$n"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$name.key" 2>/dev/null
  printf '[req]\ndistinguished_name = dn\nprompt = no\nutf8 = yes\nstring_mask = utf8only\n[dn]\nC = GB\nO = %s\nCN = near-miss signer %d\n[ext]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n' \
    "$org" "$n" >"$work/$name.cnf"
  openssl req -new -config "$work/$name.cnf" -key "$work/$name.key" -sha256 -out "$work/$name.csr"
  openssl x509 -req -in "$work/$name.csr" -CA "$certs/ca.crt" -CAkey "$certs/ca.key" -sha256 -days 30 \
    -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$name.cnf" -extensions ext \
    -out "$work/$name.crt" 2>/dev/null
  cat "$work/$name.crt" "$certs/ca.crt" >"$work/$name-chain.crt"
  osslsigncode sign -h sha256 -certs "$work/$name-chain.crt" -key "$work/$name.key" -n "Vornquill AI Setup" \
    -TSA-certs "$work/tsa-chain.crt" -TSA-key "$certs/tsa.key" \
    -in "$exe" -out "$fixtures/$name-ts.exe" >/dev/null
done

"$root/tests/verify/make-fake-timestamps.sh" "$exe" "$fixtures"

. "$root/tests/lib/gtest-run.sh"
export VQ_SIGNED_FIXTURES="Z:${fixtures//\//\\}"
gtest_run_strict "$root/scripts/wine-run" "$tests" --gtest_filter='AuthenticodeCheck.*'
