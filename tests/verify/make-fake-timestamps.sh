#!/usr/bin/env bash
# Signs copies of an installer with the pinned test certificate and a time
# stamp that must not count, one fake per file, beside one genuine time stamp:
#   ts-valid.exe           a genuine time stamp of the test PKI (counts)
#   ts-copied.exe          a genuine token copied from another signed file
#   ts-bad-signature.exe   the token with one byte of its signature changed
#   ts-untrusted-ca.exe    the time-stamping certificate from a CA that is
#                          not trusted (made here, never installed)
#   ts-no-usage.exe        the time-stamping certificate from the trusted test
#                          root without the time-stamping usage (code signing)
#   ts-pkcs9-copied.exe    a PKCS #9 counter-signature by the test
#                          time-stamping certificate, made over another
#                          file's signer
# The file's own signature is valid in each, so every fake differs from the
# genuine file only in its time stamp.
#   tests/verify/make-fake-timestamps.sh INSTALLER.exe OUT-FOLDER
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
exe="${1:?usage: make-fake-timestamps.sh INSTALLER.exe OUT-FOLDER}"
out="${2:?usage: make-fake-timestamps.sh INSTALLER.exe OUT-FOLDER}"
certs="$root/tests/signing"
forge=("$(command -v python3)" "$root/tests/verify/forge-timestamp.py")
work="$(mktemp -d /tmp/vq-fake-ts.XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

sign_pinned() {  # IN OUT TSA-CHAIN TSA-KEY: the pinned signature, time-stamped by that TSA
  osslsigncode sign -h sha256 -certs "$certs/pinned.crt" -key "$certs/pinned.key" -n "Vornquill AI Setup" \
    -TSA-certs "$3" -TSA-key "$4" -in "$1" -out "$2" >/dev/null
}

# issue NAME ISSUER EXTENDED-KEY-USAGE: a key and certificate NAME.crt issued
# by ISSUER (NAME "self": self-signed CA).
issue() {
  local name="$1" issuer="$2" usage="$3"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$name.key" 2>/dev/null
  {
    printf '[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nC = GB\nO = Fake Time Stamping\nCN = %s\n' "$name"
    printf '[ext]\nsubjectKeyIdentifier = hash\n'
    if [ "$issuer" = self ]; then
      printf 'basicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n'
    else
      printf 'basicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\n'
      printf 'authorityKeyIdentifier = keyid\nextendedKeyUsage = critical, %s\n' "$usage"
    fi
  } >"$work/$name.cnf"
  if [ "$issuer" = self ]; then
    openssl req -new -x509 -config "$work/$name.cnf" -extensions ext -key "$work/$name.key" -sha256 -days 30 \
      -set_serial "0x$(openssl rand -hex 8)" -out "$work/$name.crt"
  else
    openssl req -new -config "$work/$name.cnf" -key "$work/$name.key" -sha256 -out "$work/$name.csr"
    openssl x509 -req -in "$work/$name.csr" -CA "$issuer.crt" -CAkey "$issuer.key" -sha256 -days 30 \
      -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$name.cnf" -extensions ext \
      -out "$work/$name.crt" 2>/dev/null
  fi
}

# The genuine one, and the two made from genuine tokens.
cat "$certs/tsa.crt" "$certs/tsa-ca.crt" >"$work/tsa-chain.crt"
sign_pinned "$exe" "$out/ts-valid.exe" "$work/tsa-chain.crt" "$certs/tsa.key"
osslsigncode sign -h sha256 -certs "$certs/pinned.crt" -key "$certs/pinned.key" -n "Vornquill AI Setup" \
  -in "$exe" -out "$work/no-ts.exe" >/dev/null
# Another file: the same installer with one byte of its DOS stub changed.
cp "$exe" "$work/another.exe"
printf 'Y' | dd of="$work/another.exe" bs=1 seek=100 conv=notrunc status=none
sign_pinned "$work/another.exe" "$work/another-ts.exe" "$work/tsa-chain.crt" "$certs/tsa.key"
for f in ts-valid no-ts another-ts; do
  src="$work/$f.exe"
  [ "$f" = ts-valid ] && src="$out/$f.exe"
  osslsigncode extract-signature -in "$src" -out "$work/$f.der" >/dev/null
done
"${forge[@]}" copy "$work/another-ts.der" "$work/no-ts.der" "$work/copied.der"
"${forge[@]}" attach "$work/no-ts.exe" "$work/copied.der" "$out/ts-copied.exe"
"${forge[@]}" break "$work/ts-valid.der" "$work/broken.der"
"${forge[@]}" attach "$out/ts-valid.exe" "$work/broken.der" "$out/ts-bad-signature.exe"

# A PKCS #9 counter-signature (the older form of a time stamp): the test
# time-stamping certificate signs the encrypted digest of another file's
# signer, and the result is attached to this file's signer.
"${forge[@]}" encrypted-digest "$work/another-ts.der" "$work/another-digest.bin"
openssl cms -sign -binary -in "$work/another-digest.bin" -signer "$certs/tsa.crt" -inkey "$certs/tsa.key" \
  -certfile "$certs/tsa-ca.crt" -md sha256 -nosmimecap -outform DER -out "$work/countersignature.der"
"${forge[@]}" add-countersignature "$work/no-ts.der" "$work/countersignature.der" "$work/pkcs9-copied.der"
"${forge[@]}" attach "$work/no-ts.exe" "$work/pkcs9-copied.der" "$out/ts-pkcs9-copied.exe"

# A time-stamping authority under a root nobody trusts.
issue untrusted-root self ""
issue untrusted-tsa "$work/untrusted-root" timeStamping
cat "$work/untrusted-tsa.crt" "$work/untrusted-root.crt" >"$work/untrusted-chain.crt"
sign_pinned "$exe" "$out/ts-untrusted-ca.exe" "$work/untrusted-chain.crt" "$work/untrusted-tsa.key"

# A certificate of the trusted test root that is not for time stamping. No
# time-stamping authority signs with such a certificate, so the token is
# made with a twin that has the time-stamping usage: the same key, serial
# number and issuer, only the usage differs (code signing). The twin is then
# replaced by it in the signed file; the token's signature stays valid.
serial="0x$(openssl rand -hex 8)"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/twin.key" 2>/dev/null
openssl req -new -subj "/C=GB/O=Fake Time Stamping/CN=time stamping twin" -key "$work/twin.key" -out "$work/twin.csr"
for usage in timeStamping codeSigning; do
  printf '[ext]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = critical, %s\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n' \
    "$usage" >"$work/twin-$usage.cnf"
  openssl x509 -req -in "$work/twin.csr" -CA "$certs/ca.crt" -CAkey "$certs/ca.key" -sha256 -days 30 \
    -set_serial "$serial" -extfile "$work/twin-$usage.cnf" -extensions ext -outform DER \
    -out "$work/twin-$usage.der" 2>/dev/null
done
openssl x509 -inform DER -in "$work/twin-timeStamping.der" -out "$work/twin-timeStamping.crt"
cat "$work/twin-timeStamping.crt" "$certs/ca.crt" >"$work/twin-chain.crt"
sign_pinned "$exe" "$work/twin-ts.exe" "$work/twin-chain.crt" "$work/twin.key"
"${forge[@]}" swap-certificate "$work/twin-ts.exe" "$work/twin-timeStamping.der" "$work/twin-codeSigning.der" \
  "$out/ts-no-usage.exe"

# Each file carries a time-stamp token and a valid signature of its own.
for f in ts-valid ts-copied ts-bad-signature ts-untrusted-ca ts-no-usage ts-pkcs9-copied; do
  report="$(osslsigncode verify -in "$out/$f.exe" -CAfile "$certs/pinned.crt" -TSA-CAfile "$certs/ca.crt" 2>/dev/null || true)"
  if ! grep -q '^Signature verification: ok' <<<"$report"; then
    echo "make-fake-timestamps: $f.exe does not carry a valid signature of its own" >&2
    exit 1
  fi
  if ! grep -qE '^[[:space:]]*Timestamp time:' <<<"$report"; then
    echo "make-fake-timestamps: $f.exe carries no time-stamp token" >&2
    exit 1
  fi
done
