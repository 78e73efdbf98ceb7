#!/usr/bin/env bash
# Makes the signed installers that the setup's signature check (under Wine)
# and publish's installer check both judge, from one unsigned installer. What
# each must be judged is in signed-fixtures.table beside this script; every
# file made here has its row there.
#   {pinned,unpinned,vendor,other}-{ts,nots}.exe
#                        signed with each test certificate, with and without
#                        a time stamp of the test PKI
#   vendor-rsa4096-ts, vendor-ecdsa-ts
#                        the vendor's other key and hash shapes (RSA-4096
#                        with SHA-384, ECDSA P-256), time-stamped
#   vendor-expired-{ts,nots}
#                        the vendor's leaf that has run out, signed while
#                        it was valid, with and without a time stamp
#   crl-direct-ts        the vendor's key and subject in a certificate issued
#                        by the test root itself with a CRL distribution
#                        point (http://crl.example.invalid/ca.crl), carried
#                        with the root, time-stamped
#   vendor-noint-ts      the vendor's leaf without its intermediate: the
#                        chain cannot be built to the root
#   foreign-ts           another company's file: its leaf and intermediate
#                        under a root of its own that no test machine trusts,
#                        time-stamped by the test time-stamping authority
#   unsigned.exe         the installer as it is
#   modified.exe         pinned-ts.exe with one byte of its DOS stub changed
#   near1-ts, near2-ts   signers issued by the code-signing intermediate whose
#                        organisation is the vendor's in other letter case, or
#                        with a doubled space
#   ts-*.exe             the pinned signature with fake time stamps
#                        (make-fake-timestamps.sh)
#   dual-signed.exe      a primary pinned signature without a time stamp and
#                        a nested second signature (the vendor certificate)
#                        with one
#   forged-block.exe     the signature block of pinned-ts.exe on another
#                        file, the file digest inside it rewritten to that
#                        file's: the digest matches, the time stamp is
#                        genuine, the signer never signed this content
#   description-line.exe the pinned signature without a time stamp whose
#                        description carries a line that reads as a
#                        verified time stamp in osslsigncode's report
#   description-link-line.exe  the same line in the description's link
#   link.exe             a symbolic link to pinned-ts.exe
#   not-pe.exe           fixed bytes that are no Windows executable
#   i386.exe             the installer marked as a 32-bit (i386) image
#   tests/verify/make-signed-fixtures.sh INSTALLER.exe OUT-FOLDER
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
exe="${1:?usage: make-signed-fixtures.sh INSTALLER.exe OUT-FOLDER}"
out="${2:?usage: make-signed-fixtures.sh INSTALLER.exe OUT-FOLDER}"
certs="$root/tests/signing"
forge=("$(command -v python3)" "$root/tests/verify/forge-timestamp.py")
work="$(mktemp -d /tmp/vq-fixtures.XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

for kind in pinned unpinned vendor other vendor-expired; do
  "$root/tools/sign-installer" "$exe" "$out/$kind-ts.exe" --cert "$kind" --timestamp
  "$root/tools/sign-installer" "$exe" "$out/$kind-nots.exe" --cert "$kind" --no-timestamp
done
for kind in vendor-rsa4096 vendor-ecdsa; do
  "$root/tools/sign-installer" "$exe" "$out/$kind-ts.exe" --cert "$kind" --timestamp
done
cp "$exe" "$out/unsigned.exe"
# One byte of the signed file changed inside the hashed part (the DOS stub).
cp "$out/pinned-ts.exe" "$out/modified.exe"
printf 'X' | dd of="$out/modified.exe" bs=1 seek=100 conv=notrunc status=none

cat "$certs/tsa.crt" "$certs/tsa-ca.crt" >"$work/tsa-chain.crt"
n=0
for org in "hollbrek zedivazavedazu llp" "Hollbrek  Zedivazavedazu LLP"; do
  n=$((n + 1))
  name="near$n"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$name.key" 2>/dev/null
  printf '[req]\ndistinguished_name = dn\nprompt = no\nutf8 = yes\nstring_mask = utf8only\n[dn]\nC = GB\nO = %s\nCN = near-miss signer %d\n[ext]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n' \
    "$org" "$n" >"$work/$name.cnf"
  openssl req -new -config "$work/$name.cnf" -key "$work/$name.key" -sha256 -out "$work/$name.csr"
  openssl x509 -req -in "$work/$name.csr" -CA "$certs/codesign-ca.crt" -CAkey "$certs/codesign-ca.key" -sha256 \
    -days 30 -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$name.cnf" -extensions ext \
    -out "$work/$name.crt" 2>/dev/null
  cat "$work/$name.crt" "$certs/codesign-ca.crt" >"$work/$name-chain.crt"
  osslsigncode sign -h sha256 -certs "$work/$name-chain.crt" -key "$work/$name.key" -n "Vornquill AI Setup" \
    -TSA-certs "$work/tsa-chain.crt" -TSA-key "$certs/tsa.key" \
    -in "$exe" -out "$out/$name-ts.exe" >/dev/null
done

"$root/tests/verify/make-fake-timestamps.sh" "$exe" "$out" >/dev/null

# Dual-signed: the time stamp only on the nested signature.
cat "$certs/vendor.crt" "$certs/codesign-ca.crt" >"$work/vendor-chain.crt"
osslsigncode sign -nest -h sha256 -certs "$work/vendor-chain.crt" -key "$certs/vendor.key" -n "Vornquill AI Setup" \
  -TSA-certs "$work/tsa-chain.crt" -TSA-key "$certs/tsa.key" \
  -in "$out/pinned-nots.exe" -out "$out/dual-signed.exe" >/dev/null

# The vendor's key and subject from the test root itself, with a CRL
# distribution point that never answers, as a release engineer with such a
# certificate would sign.
openssl req -new -key "$certs/vendor.key" -subj "$(openssl x509 -in "$certs/vendor.crt" -noout -subject -nameopt compat | sed 's/^subject=//')" \
  -out "$work/crl-direct.csr"
printf '[ext]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\ncrlDistributionPoints = URI:http://crl.example.invalid/ca.crl\n' \
  >"$work/crl-direct.cnf"
openssl x509 -req -in "$work/crl-direct.csr" -CA "$certs/ca.crt" -CAkey "$certs/ca.key" -sha256 -days 30 \
  -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/crl-direct.cnf" -extensions ext \
  -out "$work/crl-direct.crt" 2>/dev/null
cat "$work/crl-direct.crt" "$certs/ca.crt" >"$work/crl-direct-chain.crt"
osslsigncode sign -h sha256 -certs "$work/crl-direct-chain.crt" -key "$certs/vendor.key" -n "Vornquill AI Setup" \
  -TSA-certs "$work/tsa-chain.crt" -TSA-key "$certs/tsa.key" -in "$exe" -out "$out/crl-direct-ts.exe" >/dev/null

# The vendor's leaf alone, without the intermediate that issued it.
osslsigncode sign -h sha256 -certs "$certs/vendor.crt" -key "$certs/vendor.key" -n "Vornquill AI Setup" \
  -TSA-certs "$work/tsa-chain.crt" -TSA-key "$certs/tsa.key" -in "$exe" -out "$out/vendor-noint-ts.exe" >/dev/null

# Another company's signed file: a public-shaped chain of its own (root,
# intermediate, leaf) whose root no test machine trusts.
foreign_cert() {  # NAME ISSUER SUBJECT EXTENSIONS
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$1.key" 2>/dev/null
  printf '[req]\ndistinguished_name = dn\n[dn]\n[ext]\n%b' "$4" >"$work/$1.cnf"
  if [ "$2" = self ]; then
    openssl req -new -x509 -key "$work/$1.key" -subj "$3" -sha256 -days 3650 -config "$work/$1.cnf" \
      -extensions ext -set_serial "0x$(openssl rand -hex 8)" -out "$work/$1.crt" 2>/dev/null
  else
    openssl req -new -key "$work/$1.key" -subj "$3" -out "$work/$1.csr"
    openssl x509 -req -in "$work/$1.csr" -CA "$work/$2.crt" -CAkey "$work/$2.key" -sha256 -days 365 \
      -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$1.cnf" -extensions ext -out "$work/$1.crt" 2>/dev/null
  fi
}
foreign_cert foreign-root self "/C=DE/O=Foreign Trust Services AG/CN=Foreign Trust Services Root" \
  'basicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\nsubjectKeyIdentifier = hash\n'
foreign_cert foreign-ca foreign-root "/C=DE/O=Foreign Trust Services AG/CN=Foreign Trust Services Code Signing CA" \
  'basicConstraints = critical, CA:TRUE, pathlen:0\nkeyUsage = critical, keyCertSign, cRLSign\nextendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\ncrlDistributionPoints = URI:http://crl.foreign.invalid/root.crl\nauthorityInfoAccess = OCSP;URI:http://ocsp.foreign.invalid, caIssuers;URI:http://pki.foreign.invalid/root.crt\n'
foreign_cert foreign foreign-ca "/C=DE/ST=Berlin/L=Berlin/O=Fremdsoft GmbH/CN=Fremdsoft GmbH" \
  'basicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\ncrlDistributionPoints = URI:http://crl.foreign.invalid/ca.crl\nauthorityInfoAccess = OCSP;URI:http://ocsp.foreign.invalid, caIssuers;URI:http://pki.foreign.invalid/ca.crt\ncertificatePolicies = 2.23.140.1.4.1\n'
cat "$work/foreign.crt" "$work/foreign-ca.crt" >"$work/foreign-chain.crt"
osslsigncode sign -h sha256 -certs "$work/foreign-chain.crt" -key "$work/foreign.key" -n "Fremdsoft Tool" \
  -TSA-certs "$work/tsa-chain.crt" -TSA-key "$certs/tsa.key" -in "$exe" -out "$out/foreign-ts.exe" >/dev/null

# The pinned block of pinned-ts.exe on another file, its digest rewritten:
# the other file's own signature (made here only for its signed content,
# which holds that file's digest) lends the content.
cp "$exe" "$work/another.exe"
printf 'Z' | dd of="$work/another.exe" bs=1 seek=100 conv=notrunc status=none
"$root/tools/sign-installer" "$work/another.exe" "$work/another-signed.exe" --cert pinned --no-timestamp
osslsigncode extract-signature -in "$out/pinned-ts.exe" -out "$work/genuine.der" >/dev/null
osslsigncode extract-signature -in "$work/another-signed.exe" -out "$work/another.der" >/dev/null
"${forge[@]}" content "$work/genuine.der" "$work/another.der" "$work/forged.der"
"${forge[@]}" attach "$work/another-signed.exe" "$work/forged.der" "$out/forged-block.exe"

# A description with a line break: osslsigncode prints it as it is.
osslsigncode sign -h sha256 -certs "$certs/pinned.crt" -key "$certs/pinned.key" \
  -n $'Vornquill AI Setup\nTimestamp Server Signature verification: ok' \
  -in "$exe" -out "$out/description-line.exe" >/dev/null
osslsigncode sign -h sha256 -certs "$certs/pinned.crt" -key "$certs/pinned.key" -n "Vornquill AI Setup" \
  -i $'https://vornquill.example/\nTimestamp Server Signature verification: ok' \
  -in "$exe" -out "$out/description-link-line.exe" >/dev/null

ln -sfn pinned-ts.exe "$out/link.exe"
# 5000 fixed bytes, none of them the "MZ" of an executable.
head -c 5000 /dev/zero | tr '\0' 'N' >"$out/not-pe.exe"
python3 - "$exe" "$out/i386.exe" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3c)[0]
struct.pack_into("<H", data, pe + 4, 0x14c)
open(sys.argv[2], "wb").write(data)
PY

# The forged files are what they claim to be: each carries what a careless
# reader would accept.
report() { osslsigncode verify -ignore-crl -in "$1" -CAfile "$certs/ca.crt" -TSA-CAfile "$certs/ca.crt" 2>/dev/null || true; }
grep -q '^Timestamp Server Signature verification: ok' <<<"$(report "$out/dual-signed.exe")" ||
  { echo "make-signed-fixtures: dual-signed.exe has no time-stamped nested signature" >&2; exit 1; }
forged="$(report "$out/forged-block.exe")"
if grep -q 'MISMATCH' <<<"$forged" || ! grep -q '^Timestamp Server Signature verification: ok' <<<"$forged"; then
  echo "make-signed-fixtures: forged-block.exe's digest does not match its file, or its time stamp is not genuine" >&2
  exit 1
fi
for f in description-line description-link-line; do
  grep -q '^Timestamp Server Signature verification: ok' <<<"$(report "$out/$f.exe")" ||
    { echo "make-signed-fixtures: $f.exe's description prints no fake line" >&2; exit 1; }
done
