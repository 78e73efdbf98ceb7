#!/usr/bin/env bash
# Makes the test PKI of the loopback cloud: a test CA and a server certificate
# for "localhost" (DNS:localhost, IP:127.0.0.1, IP:::1) signed by it.
# RSA 2048 with SHA-256 throughout, valid for 20 years.
#
# Output, next to this script (committed):
#   ca.crt       the test CA; scripts/install-test-ca puts it into the system store
#   server.crt   the server certificate (leaf only)
#   server.key   its private key (unencrypted; test use only)
#   chain.crt    server.crt followed by ca.crt
#
# The CA's private key is thrown away once the server certificate is signed, so
# nobody can mint further certificates under a CA that test machines trust. The
# CA is also name-constrained to localhost and the loopback addresses. Running
# this script again makes a new CA: run scripts/install-test-ca afterwards.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
days=7305

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cat >"$work/ca.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca_ext
[dn]
O = Vornquill AI Test
CN = Vornquill AI Test CA
[ca_ext]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
nameConstraints = critical, permitted;DNS:localhost, permitted;IP:127.0.0.0/255.0.0.0, permitted;IP:0:0:0:0:0:0:0:1/FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF
CNF

cat >"$work/server.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
O = Vornquill AI Test
CN = localhost
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:0:0:0:0:0:0:0:1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

openssl genrsa -out "$work/ca.key" 2048 2>/dev/null
openssl req -new -x509 -sha256 -days "$days" -key "$work/ca.key" \
  -config "$work/ca.cnf" -set_serial "0x$(openssl rand -hex 16)" -out "$work/ca.crt"

openssl genrsa -out "$work/server.key" 2048 2>/dev/null
openssl req -new -sha256 -key "$work/server.key" -config "$work/server.cnf" -out "$work/server.csr"
openssl x509 -req -sha256 -days "$days" -in "$work/server.csr" \
  -CA "$work/ca.crt" -CAkey "$work/ca.key" -set_serial "0x$(openssl rand -hex 16)" \
  -extfile "$work/server.cnf" -extensions server_ext -out "$work/server.crt" 2>/dev/null

openssl verify -CAfile "$work/ca.crt" -verify_hostname localhost "$work/server.crt" >/dev/null
cat "$work/server.crt" "$work/ca.crt" >"$work/chain.crt"

for f in ca.crt server.crt chain.crt; do install -m 0644 "$work/$f" "$here/$f"; done
install -m 0600 "$work/server.key" "$here/server.key"
echo "make-pki: wrote ca.crt, server.crt, server.key, chain.crt in $here"
