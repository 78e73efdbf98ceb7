#!/usr/bin/env bash
# Makes the test code-signing material of this folder with openssl, shaped
# like the chains of public certification authorities. The results are
# committed.
#
#   make-certs.sh          a new root, new intermediates and new leaves, each
#                          with a new key; the self-signed pair (pinned,
#                          unpinned) is kept when present, so the pinned
#                          thumbprint the test build compiles in stays
#   make-certs.sh leaves   the leaves again from their committed keys and the
#                          committed intermediates, valid from today (the
#                          one-year leaves run out: signing-test.sh says when)
#
# The public shape: a root that signs only intermediates; an issuing
# code-signing intermediate and a time-stamping intermediate under it; the
# leaves under those. Intermediates and leaves carry a CRL distribution point,
# authority information access (OCSP and CA issuers) and certificate
# policies; every URL is under .invalid and never answers.
#
#   ca                 the test root (RSA-4096, SHA-384, 25 years): the root a
#                      test PC trusts
#   codesign-ca        issuing code-signing intermediate (RSA-4096, SHA-384,
#                      15 years), under ca
#   tsa-ca             time-stamping intermediate (RSA-4096, SHA-384,
#                      15 years), under ca
#   tsa                the time-stamping authority's leaf (RSA-3072,
#                      SHA-256, critical timeStamping usage, 11 years, begun
#                      before the expired leaf's signing time), under tsa-ca
#   vendor             the vendor (O=Hollbrek Zedivazavedazu LLP), RSA-3072,
#                      SHA-256, one year, under codesign-ca
#   vendor-rsa4096     the vendor, RSA-4096, SHA-384, one year
#   vendor-ecdsa       the vendor, ECDSA P-256, SHA-256, one year
#   vendor-expired     the vendor, RSA-3072, a one-year leaf that ran out
#                      435 days ago (sign-installer signs and time-stamps
#                      with it at a time inside its validity)
#   other              another organisation (O=Some Other Vendor Ltd),
#                      RSA-3072, SHA-256, one year
#   pinned             self-signed vendor certificate (RSA-3072, SHA-256, 20
#                      years) whose thumbprint the test build pins
#   unpinned           self-signed, the vendor's organisation, not pinned
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
mode="${1:-all}"
case "$mode" in
  all|leaves) ;;
  *) echo "usage: make-certs.sh [leaves]" >&2; exit 2 ;;
esac
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Days are counted from today, 00:00 UTC.
today=$(( $(date -u +%s) / 86400 * 86400 ))
stamp() { date -u -d "@$((today + $1 * 86400))" +%Y%m%d%H%M%SZ; }

key_of() {  # NAME KIND: a new key (rsa3072, rsa4096, p256), or the committed one
  local name="$1" kind="$2"
  if [ "$mode" = leaves ] || { [ "${3:-}" = keep ] && [ -f "$here/$name.key" ]; }; then
    cp "$here/$name.key" "$work/$name.key"
    return
  fi
  case "$kind" in
    rsa3072) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$work/$name.key" 2>/dev/null ;;
    rsa4096) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out "$work/$name.key" 2>/dev/null ;;
    p256) openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -pkeyopt ec_param_enc:named_curve \
      -out "$work/$name.key" 2>/dev/null ;;
  esac
}

# config NAME SUBJECT EXTENSION-LINES...: the request and extensions of one
# certificate. SUBJECT is "KEY=value" pairs separated by "|".
config() {
  local name="$1" subject="$2"
  shift 2
  {
    printf '[req]\ndistinguished_name = dn\nprompt = no\nutf8 = yes\nstring_mask = utf8only\n[dn]\n'
    local IFS='|'
    for pair in $subject; do printf '%s\n' "$pair"; done
    printf '[ext]\n'
    for line in "$@"; do printf '%s\n' "$line"; done
    printf '[cps]\npolicyIdentifier = 2.23.140.1.4.1\nCPS.1 = "http://pki.example.invalid/cps"\n'
    printf '[cps_any]\npolicyIdentifier = anyPolicy\nCPS.1 = "http://pki.example.invalid/cps"\n'
    printf '[cps_tsa]\npolicyIdentifier = 2.23.140.1.4.2\nCPS.1 = "http://pki.example.invalid/cps"\n'
  } >"$work/$name.cnf"
}

# issue NAME ISSUER HASH FROM-DAY TO-DAY: NAME.crt from NAME.cnf and NAME.key,
# signed by ISSUER ("self": self-signed) with HASH, valid between the days.
issue() {
  local name="$1" issuer="$2" hash="$3" from="$4" to="$5"
  local db="$work/db-$name"
  mkdir -p "$db"
  : >"$db/index.txt"
  openssl rand -hex 16 | sed 's/^./1/' >"$db/serial"
  cat >"$db/ca.cnf" <<EOF
[ca]
default_ca = test
[test]
database = $db/index.txt
new_certs_dir = $db
serial = $db/serial
policy = any
unique_subject = no
copy_extensions = none
string_mask = utf8only
utf8 = yes
[any]
countryName = optional
stateOrProvinceName = optional
localityName = optional
organizationName = optional
commonName = supplied
EOF
  openssl req -new -config "$work/$name.cnf" -key "$work/$name.key" -out "$work/$name.csr"
  local signer=(-cert "$work/$issuer.crt" -keyfile "$work/$issuer.key")
  if [ "$issuer" = self ]; then signer=(-selfsign -keyfile "$work/$name.key"); fi
  openssl ca -batch -config "$db/ca.cnf" "${signer[@]}" -md "$hash" -in "$work/$name.csr" \
    -startdate "$(stamp "$from")" -enddate "$(stamp "$to")" -preserveDN -notext \
    -extfile "$work/$name.cnf" -extensions ext -out "$work/$name.crt" 2>"$work/$name.ca.log" || {
    cat "$work/$name.ca.log" >&2
    exit 1
  }
}

# The extensions of public chains, with URLs that never answer.
ca_ext=("basicConstraints = critical, CA:TRUE" "keyUsage = critical, keyCertSign, cRLSign"
  "subjectKeyIdentifier = hash")
intermediate_ext=("basicConstraints = critical, CA:TRUE, pathlen:0"
  "keyUsage = critical, digitalSignature, keyCertSign, cRLSign"
  "subjectKeyIdentifier = hash" "authorityKeyIdentifier = keyid"
  "crlDistributionPoints = URI:http://crl.example.invalid/vornquill-test-root.crl"
  "authorityInfoAccess = OCSP;URI:http://ocsp.example.invalid, caIssuers;URI:http://pki.example.invalid/vornquill-test-root.crt"
  "certificatePolicies = @cps_any")
code_signing_leaf=("basicConstraints = critical, CA:FALSE" "keyUsage = critical, digitalSignature"
  "extendedKeyUsage = codeSigning" "subjectKeyIdentifier = hash" "authorityKeyIdentifier = keyid"
  "crlDistributionPoints = URI:http://crl.example.invalid/vornquill-test-code-signing-ca.crl"
  "authorityInfoAccess = OCSP;URI:http://ocsp.example.invalid, caIssuers;URI:http://pki.example.invalid/vornquill-test-code-signing-ca.crt"
  "certificatePolicies = @cps")
self_signed_leaf=("basicConstraints = critical, CA:FALSE" "keyUsage = critical, digitalSignature"
  "extendedKeyUsage = codeSigning" "subjectKeyIdentifier = hash")
pki="C=GB|O=Vornquill Test PKI"
vendor_subject="C=GB|O=Hollbrek Zedivazavedazu LLP|CN=Hollbrek Zedivazavedazu LLP code signing"
vendor_full="C=GB|ST=London|L=London|O=Hollbrek Zedivazavedazu LLP|CN=Hollbrek Zedivazavedazu LLP"

if [ "$mode" = all ]; then
  key_of ca rsa4096
  config ca "$pki|CN=Vornquill Test Root CA" "${ca_ext[@]}"
  issue ca self sha384 -1200 8000
  key_of codesign-ca rsa4096
  config codesign-ca "$pki|CN=Vornquill Test Code Signing CA 2026" "${intermediate_ext[@]}" \
    "extendedKeyUsage = codeSigning"
  issue codesign-ca ca sha384 -1100 4400
  key_of tsa-ca rsa4096
  config tsa-ca "$pki|CN=Vornquill Test Time Stamping CA 2026" "${intermediate_ext[@]}" \
    "extendedKeyUsage = timeStamping"
  issue tsa-ca ca sha384 -1100 4400
  for name in pinned unpinned; do key_of "$name" rsa3072 keep; done
  if [ ! -f "$here/pinned.crt" ] || [ ! -f "$here/unpinned.crt" ] ||
    [ "$(openssl x509 -in "$here/pinned.crt" -noout -pubkey)" != "$(openssl pkey -in "$work/pinned.key" -pubout)" ]; then
    config pinned "C=GB|O=Hollbrek Zedivazavedazu LLP|CN=Hollbrek Zedivazavedazu LLP test signing" \
      "${self_signed_leaf[@]}"
    issue pinned self sha256 0 7305
    config unpinned "C=GB|O=Hollbrek Zedivazavedazu LLP|CN=Hollbrek Zedivazavedazu LLP unpinned test signing" \
      "${self_signed_leaf[@]}"
    issue unpinned self sha256 0 7305
  else
    cp "$here/pinned.crt" "$here/unpinned.crt" "$work/"
  fi
else
  for name in ca codesign-ca tsa-ca pinned unpinned; do
    cp "$here/$name.crt" "$here/$name.key" "$work/"
  done
fi

key_of tsa rsa3072
config tsa "$pki|CN=Vornquill Test Time Stamping" \
  "basicConstraints = critical, CA:FALSE" "keyUsage = critical, digitalSignature" \
  "extendedKeyUsage = critical, timeStamping" "subjectKeyIdentifier = hash" "authorityKeyIdentifier = keyid" \
  "crlDistributionPoints = URI:http://crl.example.invalid/vornquill-test-time-stamping-ca.crl" \
  "authorityInfoAccess = OCSP;URI:http://ocsp.example.invalid, caIssuers;URI:http://pki.example.invalid/vornquill-test-time-stamping-ca.crt" \
  "certificatePolicies = @cps_tsa"
issue tsa tsa-ca sha256 -1000 3000

# name | key | hash | subject | first day | last day
leaves=(
  "vendor|rsa3072|sha256|$vendor_subject|-1|364"
  "vendor-rsa4096|rsa4096|sha384|$vendor_full|-1|364"
  "vendor-ecdsa|p256|sha256|$vendor_full|-1|364"
  "vendor-expired|rsa3072|sha256|$vendor_full|-800|-435"
  "other|rsa3072|sha256|C=US|ST=Delaware|L=Dover|O=Some Other Vendor Ltd|CN=Some Other Vendor Ltd code signing|-1|364"
)
for row in "${leaves[@]}"; do
  IFS='|' read -ra f <<<"$row"
  name="${f[0]}" kind="${f[1]}" hash="${f[2]}"
  n=${#f[@]}
  from="${f[n - 2]}" to="${f[n - 1]}"
  subject="$(IFS='|'; echo "${f[*]:3:n-5}")"
  key_of "$name" "$kind"
  config "$name" "$subject" "${code_signing_leaf[@]}"
  issue "$name" codesign-ca "$hash" "$from" "$to"
done

# Every issued certificate must chain to the test root through its
# intermediate (the expired one at a time inside its validity); every
# self-signed one must verify against itself.
for name in vendor vendor-rsa4096 vendor-ecdsa other; do
  openssl verify -CAfile "$work/ca.crt" -untrusted "$work/codesign-ca.crt" "$work/$name.crt" >/dev/null
done
openssl verify -attime "$((today - 700 * 86400))" -CAfile "$work/ca.crt" -untrusted "$work/codesign-ca.crt" \
  "$work/vendor-expired.crt" >/dev/null
openssl verify -purpose timestampsign -CAfile "$work/ca.crt" -untrusted "$work/tsa-ca.crt" "$work/tsa.crt" >/dev/null
for name in pinned unpinned; do
  openssl verify -CAfile "$work/$name.crt" "$work/$name.crt" >/dev/null
done

# The pinned thumbprint: SHA-1 of the certificate's DER form, as one row of
# the thumbprint table.
thumb="$(openssl x509 -in "$work/pinned.crt" -outform DER | openssl dgst -sha1 -binary | od -An -v -tx1 | tr -s ' \n' ' ')"
row="$(printf '%s\n' $thumb | sed 's/^/0x/' | paste -sd, - | sed 's/,/, /g')"
printf '    {%s},\n' "$row" >"$work/pinned-thumbprint.inc"

# Move everything into place only when all of it was made.
names=(ca codesign-ca tsa-ca tsa vendor vendor-rsa4096 vendor-ecdsa vendor-expired other pinned unpinned)
for name in "${names[@]}"; do
  cp "$work/$name.crt" "$here/$name.crt.new"
  cp "$work/$name.key" "$here/$name.key.new"
done
cp "$work/pinned-thumbprint.inc" "$here/pinned-thumbprint.inc.new"
for name in "${names[@]}"; do
  mv -f "$here/$name.crt.new" "$here/$name.crt"
  mv -f "$here/$name.key.new" "$here/$name.key"
done
mv -f "$here/pinned-thumbprint.inc.new" "$here/pinned-thumbprint.inc"
echo "pinned thumbprint: $(openssl x509 -in "$here/pinned.crt" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"
