#!/usr/bin/env bash
# Makes the test code-signing material of this folder with openssl. Run once;
# the results are committed. Running it again makes new keys and certificates
# (and with them a new pinned thumbprint in pinned-thumbprint.inc, which the
# test build of the setup program compiles in).
#
#   pinned.crt/.key    self-signed code-signing certificate of the vendor
#                      (O=Hollbrek Zedivazavedazu LLP): the pinned one
#   unpinned.crt/.key  self-signed, same organisation, not pinned
#   vendor.crt/.key    same organisation, issued by the test root, not pinned
#                      (the stand-in for a publicly trusted vendor certificate)
#   other.crt/.key     another organisation (O=Some Other Vendor Ltd), issued
#                      by the test root
#   tsa.crt/.key       time-stamping certificate, issued by the test root
#   ca.crt/.key        the test root that issued vendor, other and tsa
#
# Validity: 20 years from the day the script runs. RSA 3072, SHA-256.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
days=7305
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

new_key() {
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$work/$1.key" 2>/dev/null
}

serial() { printf '0x1%s' "$(openssl rand -hex 15)"; }

# ext_config NAME SUBJECT EXTENSION-LINES...: a config for one certificate.
ext_config() {
  local name="$1" subject="$2"
  shift 2
  {
    printf '[req]\ndistinguished_name = dn\nprompt = no\nutf8 = yes\nstring_mask = utf8only\n'
    printf 'x509_extensions = ext\n[dn]\n'
    # SUBJECT is "KEY=value" pairs separated by "|".
    local IFS='|'
    for pair in $subject; do printf '%s\n' "$pair"; done
    printf '[ext]\n'
    for line in "$@"; do printf '%s\n' "$line"; done
  } >"$work/$name.cnf"
}

self_signed() {
  local name="$1"
  openssl req -new -x509 -config "$work/$name.cnf" -key "$work/$name.key" -sha256 -days "$days" \
    -set_serial "$(serial)" -out "$work/$name.crt"
}

issued_by_ca() {
  local name="$1"
  openssl req -new -config "$work/$name.cnf" -key "$work/$name.key" -sha256 -out "$work/$name.csr"
  openssl x509 -req -in "$work/$name.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -sha256 \
    -days "$days" -set_serial "$(serial)" -extfile "$work/$name.cnf" -extensions ext \
    -out "$work/$name.crt" 2>/dev/null
}

code_signing=(
  "basicConstraints = critical, CA:FALSE"
  "keyUsage = critical, digitalSignature"
  "extendedKeyUsage = codeSigning"
  "subjectKeyIdentifier = hash"
)
issued_extra=("authorityKeyIdentifier = keyid")

new_key ca
ext_config ca "C=GB|O=Vornquill Test PKI|CN=Vornquill Test Root CA" \
  "basicConstraints = critical, CA:TRUE" "keyUsage = critical, keyCertSign, cRLSign" \
  "subjectKeyIdentifier = hash"
self_signed ca

new_key pinned
ext_config pinned "C=GB|O=Hollbrek Zedivazavedazu LLP|CN=Hollbrek Zedivazavedazu LLP test signing" \
  "${code_signing[@]}"
self_signed pinned

new_key unpinned
ext_config unpinned "C=GB|O=Hollbrek Zedivazavedazu LLP|CN=Hollbrek Zedivazavedazu LLP unpinned test signing" \
  "${code_signing[@]}"
self_signed unpinned

new_key vendor
ext_config vendor "C=GB|O=Hollbrek Zedivazavedazu LLP|CN=Hollbrek Zedivazavedazu LLP code signing" \
  "${code_signing[@]}" "${issued_extra[@]}"
issued_by_ca vendor

new_key other
ext_config other "C=GB|O=Some Other Vendor Ltd|CN=Some Other Vendor Ltd code signing" \
  "${code_signing[@]}" "${issued_extra[@]}"
issued_by_ca other

new_key tsa
ext_config tsa "C=GB|O=Vornquill Test PKI|CN=Vornquill Test Time Stamping" \
  "basicConstraints = critical, CA:FALSE" "keyUsage = critical, digitalSignature" \
  "extendedKeyUsage = critical, timeStamping" "subjectKeyIdentifier = hash" "${issued_extra[@]}"
issued_by_ca tsa

# Every issued certificate must chain to the test root; every self-signed one
# must verify against itself.
for name in vendor other tsa; do
  openssl verify -CAfile "$work/ca.crt" "$work/$name.crt" >/dev/null
done
for name in pinned unpinned; do
  openssl verify -CAfile "$work/$name.crt" "$work/$name.crt" >/dev/null
done

# The pinned thumbprint: SHA-1 of the certificate's DER form, as one row of
# the thumbprint table.
thumb="$(openssl x509 -in "$work/pinned.crt" -outform DER | openssl dgst -sha1 -binary | od -An -v -tx1 | tr -s ' \n' ' ')"
row="$(printf '%s\n' $thumb | sed 's/^/0x/' | paste -sd, - | sed 's/,/, /g')"
printf '    {%s},\n' "$row" >"$work/pinned-thumbprint.inc"

# Move everything into place only when all of it was made.
for name in ca pinned unpinned vendor other tsa; do
  cp "$work/$name.crt" "$here/$name.crt.new"
  cp "$work/$name.key" "$here/$name.key.new"
done
cp "$work/pinned-thumbprint.inc" "$here/pinned-thumbprint.inc.new"
for name in ca pinned unpinned vendor other tsa; do
  mv -f "$here/$name.crt.new" "$here/$name.crt"
  mv -f "$here/$name.key.new" "$here/$name.key"
done
mv -f "$here/pinned-thumbprint.inc.new" "$here/pinned-thumbprint.inc"
echo "pinned thumbprint: $(openssl x509 -in "$here/pinned.crt" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"
