#!/usr/bin/env bash
# Makes the certificates with which the loopback cloud shows that the setup
# program refuses a server it must not trust. Each is RSA 2048 with SHA-256.
#
# Output, in refusal/ next to this script (committed):
#   refusal-ca.crt     a second test CA, trusted like ca.crt: scripts/install-test-ca
#                      puts it into the system store. Name-constrained to localhost
#                      and the loopback addresses; its private key is thrown away.
#   expired.crt/.key   for "localhost" under refusal-ca, valid only on 2 and
#                      3 January 2020 (the CA itself is valid 2020-2045)
#   other-host.crt/.key
#                      under refusal-ca, valid, but for "elsewhere.localhost"
#                      only (inside the CA's constraints, not the name asked for)
#   untrusted.crt/.key for "localhost", valid, from a CA that no store trusts
#                      (its CA is made and thrown away here)
# Each .crt is the chain that the server sends: the leaf, then its CA.
#
# Running this again makes a new refusal CA: run scripts/install-test-ca
# afterwards. The main set (make-pki.sh) is not touched.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$here/refusal"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/db"
: >"$work/db/index.txt"

# One configuration for the CA tool: the CA's own extensions and the leaves'.
cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = refusal
[refusal]
dir = $work/db
database = \$dir/index.txt
new_certs_dir = \$dir
serial = \$dir/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
email_in_dn = no
[any]
organizationName = supplied
commonName = supplied
[req]
distinguished_name = dn
prompt = no
[dn]
O = Vornquill AI Test
CN = Vornquill AI Test Refusal CA
[ca_ext]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
nameConstraints = critical, permitted;DNS:localhost, permitted;IP:127.0.0.0/255.0.0.0, permitted;IP:0:0:0:0:0:0:0:1/FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF
[localhost_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:0:0:0:0:0:0:0:1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[elsewhere_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:elsewhere.localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

new_serial() { openssl rand -hex 16 >"$work/db/serial"; }

# ca_sign NAME CN EXTENSIONS START END: a key and a certificate signed by the
# refusal CA with exactly these validity dates (YYYYMMDDHHMMSSZ).
ca_sign() {
  openssl genrsa -out "$work/$1.key" 2048 2>/dev/null
  openssl req -new -sha256 -key "$work/$1.key" -subj "/O=Vornquill AI Test/CN=$2" \
    -out "$work/$1.csr"
  new_serial
  openssl ca -batch -notext -config "$work/ca.cnf" -cert "$work/refusal-ca.crt" \
    -keyfile "$work/refusal-ca.key" -extensions "$3" -startdate "$4" -enddate "$5" \
    -in "$work/$1.csr" -out "$work/$1.leaf" 2>/dev/null
  cat "$work/$1.leaf" "$work/refusal-ca.crt" >"$work/$1.crt"
}

openssl genrsa -out "$work/refusal-ca.key" 2048 2>/dev/null
openssl req -new -sha256 -key "$work/refusal-ca.key" -config "$work/ca.cnf" -out "$work/ca.csr"
new_serial
openssl ca -batch -notext -selfsign -config "$work/ca.cnf" -keyfile "$work/refusal-ca.key" \
  -extensions ca_ext -startdate 20200101000000Z -enddate 20451231000000Z \
  -in "$work/ca.csr" -out "$work/refusal-ca.crt" 2>/dev/null

ca_sign expired localhost localhost_ext 20200102000000Z 20200103000000Z
ca_sign other-host elsewhere.localhost elsewhere_ext 20200102000000Z 20451230000000Z

# The untrusted chain: the same kind of certificate for localhost, from a CA
# that is made here and never installed anywhere.
cat >"$work/untrusted-ca.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca_ext
[dn]
O = Vornquill AI Test
CN = Vornquill AI Untrusted Test CA
[ca_ext]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF
openssl genrsa -out "$work/untrusted-ca.key" 2048 2>/dev/null
openssl req -new -x509 -sha256 -days 7305 -key "$work/untrusted-ca.key" \
  -config "$work/untrusted-ca.cnf" -set_serial "0x$(openssl rand -hex 16)" -out "$work/untrusted-ca.crt"
openssl genrsa -out "$work/untrusted.key" 2048 2>/dev/null
openssl req -new -sha256 -key "$work/untrusted.key" -subj "/O=Vornquill AI Test/CN=localhost" \
  -out "$work/untrusted.csr"
openssl x509 -req -sha256 -days 7305 -in "$work/untrusted.csr" -CA "$work/untrusted-ca.crt" \
  -CAkey "$work/untrusted-ca.key" -set_serial "0x$(openssl rand -hex 16)" \
  -extfile "$work/ca.cnf" -extensions localhost_ext -out "$work/untrusted.leaf" 2>/dev/null
cat "$work/untrusted.leaf" "$work/untrusted-ca.crt" >"$work/untrusted.crt"

# Each certificate is wrong in exactly its one way.
openssl verify -CAfile "$work/refusal-ca.crt" -attime "$(date -d 2020-01-02T12:00:00Z +%s)" \
  -verify_hostname localhost "$work/expired.leaf" >/dev/null
openssl verify -CAfile "$work/refusal-ca.crt" -verify_hostname elsewhere.localhost \
  "$work/other-host.leaf" >/dev/null
openssl verify -CAfile "$work/untrusted-ca.crt" -verify_hostname localhost \
  "$work/untrusted.leaf" >/dev/null

mkdir -p "$out"
for f in refusal-ca.crt expired.crt other-host.crt untrusted.crt; do
  install -m 0644 "$work/$f" "$out/$f"
done
for f in expired.key other-host.key untrusted.key; do install -m 0600 "$work/$f" "$out/$f"; done
echo "make-refusal-pki: wrote refusal-ca.crt, expired, other-host and untrusted in $out"
