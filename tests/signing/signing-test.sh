#!/usr/bin/env bash
# Checks the test code-signing material and tools/sign-installer:
# - pinned-thumbprint.inc is one C row of 20 bytes equal to the SHA-1
#   thumbprint of pinned.crt, computed here with openssl;
# - every certificate names the organisation, issuer, key usage, key and
#   hash shape and validity it is meant to have (the public shape: leaves of
#   one year under an intermediate, with CRL distribution point, authority
#   information access and policies), and matches its private key;
# - a PE file signed with each certificate kind, with and without a time
#   stamp, verifies with osslsigncode against the test root (no revocation
#   look-up), carries exactly the chosen certificate and its intermediate,
#   the kind's digest and the time stamp only when asked for; the expired
#   leaf verifies only with its time stamp; a changed byte or an unknown
#   anchor fails;
# - sign-installer refuses bad arguments and leaves no output behind.
#   tests/signing/signing-test.sh <a PE file to sign>
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
. "$root/tests/lib/checks.sh"
pe="${1:?usage: signing-test.sh <PE file>}"
certs="$root/tests/signing"
sign="$root/tools/sign-installer"
if [ ! -f "$pe" ]; then
  echo "FAIL: $pe has not been built" >&2
  exit 1
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

thumbprint() {  # certificate file (PEM) -> 40 lower-case hex digits
  openssl x509 -in "$1" -outform DER | openssl dgst -sha1 -r | cut -c1-40
}
field() {  # certificate file, subject|issuer -> one-line form /C=../O=../CN=..
  openssl x509 -in "$1" -noout "-$2" -nameopt compat | sed "s/^$2=//"
}
organisation() {
  openssl x509 -in "$1" -noout -subject -nameopt multiline | sed -n 's/^ *organizationName *= //p'
}

# --- The pinned thumbprint as compiled into the test build ----------------
inc="$certs/pinned-thumbprint.inc"
row_pattern='^    \{(0x[0-9a-f]{2}, ){19}0x[0-9a-f]{2}\},$'
if [ "$(wc -l <"$inc")" -eq 1 ] && grep -qE "$row_pattern" "$inc"; then
  ok "pinned-thumbprint.inc is one row of 20 bytes"
else
  fail "pinned-thumbprint.inc is not one row '    {0x.., ... 20 bytes},'"
fi
inc_hex="$(grep -oE '0x[0-9a-fA-F]{2}' "$inc" | sed 's/^0x//' | tr -d '\n' | tr 'A-F' 'a-f')"
expect_eq "$inc_hex" "$(thumbprint "$certs/pinned.crt")" "pinned-thumbprint.inc holds the SHA-1 thumbprint of pinned.crt"
for other in unpinned vendor other vendor-rsa4096 vendor-ecdsa vendor-expired ca codesign-ca tsa-ca tsa; do
  if [ "$(thumbprint "$certs/$other.crt")" = "$inc_hex" ]; then fail "$other.crt has the pinned thumbprint"; fi
done

# --- The certificates -------------------------------------------------------
vendor_org="Hollbrek Zedivazavedazu LLP"
pki_org="Vornquill Test PKI"
# name | organisation | issuer | extended key usage | key | signature hash | days valid
cert_rows=(
  "ca|$pki_org|self|-|RSA 4096|sha384|9200"
  "codesign-ca|$pki_org|ca|Code Signing|RSA 4096|sha384|5500"
  "tsa-ca|$pki_org|ca|Time Stamping|RSA 4096|sha384|5500"
  "tsa|$pki_org|tsa-ca|Time Stamping|RSA 3072|sha256|4000"
  "vendor|$vendor_org|codesign-ca|Code Signing|RSA 3072|sha256|365"
  "vendor-rsa4096|$vendor_org|codesign-ca|Code Signing|RSA 4096|sha384|365"
  "vendor-ecdsa|$vendor_org|codesign-ca|Code Signing|EC P-256|sha256|365"
  "vendor-expired|$vendor_org|codesign-ca|Code Signing|RSA 3072|sha256|365"
  "other|Some Other Vendor Ltd|codesign-ca|Code Signing|RSA 3072|sha256|365"
  "pinned|$vendor_org|self|Code Signing|RSA 3072|sha256|7305"
  "unpinned|$vendor_org|self|Code Signing|RSA 3072|sha256|7305"
)
now="$(date -u +%s)"
for row in "${cert_rows[@]}"; do
  IFS='|' read -r name org issuer eku key hash days <<<"$row"
  crt="$certs/$name.crt"
  text="$(openssl x509 -in "$crt" -noout -text)"
  expect_eq "$(organisation "$crt")" "$org" "$name.crt: organisation"
  if [ "$issuer" = self ]; then
    expect_eq "$(field "$crt" issuer)" "$(field "$crt" subject)" "$name.crt: self-signed"
    openssl verify -CAfile "$crt" "$crt" >/dev/null 2>&1 && ok "$name.crt: verifies as its own anchor" ||
      fail "$name.crt: does not verify against itself"
  else
    expect_eq "$(field "$crt" issuer)" "$(field "$certs/$issuer.crt" subject)" "$name.crt: issued by $issuer"
    at=()
    [ "$name" = vendor-expired ] && at=(-attime "$(( $(date -d "$(openssl x509 -in "$crt" -noout -startdate | sed 's/^notBefore=//')" +%s) + 86400 ))")
    openssl verify "${at[@]}" -CAfile "$certs/ca.crt" -untrusted "$certs/codesign-ca.crt" -untrusted "$certs/tsa-ca.crt" \
      "$crt" >/dev/null 2>&1 && ok "$name.crt: chains to the test root" || fail "$name.crt: does not chain to the test root"
  fi
  if [ "$eku" != - ]; then
    ext="$(openssl x509 -in "$crt" -noout -ext extendedKeyUsage 2>/dev/null | tr -d '\n' | sed 's/  */ /g')"
    case "$ext" in
      *"$eku"*) ok "$name.crt: extended key usage $eku" ;;
      *) fail "$name.crt: extended key usage is '$ext', not $eku" ;;
    esac
  fi
  case "$key" in
    "RSA "*) grep -q "Public-Key: (${key#RSA } bit)" <<<"$text" && grep -q 'rsaEncryption' <<<"$text" &&
      ok "$name.crt: $key key" || fail "$name.crt: not an $key key" ;;
    "EC P-256") grep -q 'NIST CURVE: P-256' <<<"$text" && ok "$name.crt: ECDSA P-256 key" || fail "$name.crt: not a P-256 key" ;;
  esac
  grep -q "Signature Algorithm: ${hash}WithRSAEncryption" <<<"$text" && ok "$name.crt: signed with $hash" ||
    fail "$name.crt: not signed with $hash"
  expect_eq "$(openssl x509 -in "$crt" -noout -pubkey)" "$(openssl pkey -in "$certs/$name.key" -pubout 2>/dev/null)" \
    "$name.crt: matches $name.key"
  start="$(date -d "$(openssl x509 -in "$crt" -noout -startdate | sed 's/^notBefore=//')" +%s)"
  end="$(date -d "$(openssl x509 -in "$crt" -noout -enddate | sed 's/^notAfter=//')" +%s)"
  expect_eq "$((end - start))" "$((days * 86400))" "$name.crt: valid for $days days"
  if [ "$name" = vendor-expired ]; then
    [ "$end" -lt "$now" ] && ok "$name.crt: has expired" || fail "$name.crt: has not expired"
  elif [ "$end" -le "$now" ]; then
    fail "$name.crt: ran out on $(date -u -d "@$end" +%F): make new leaves with tests/signing/make-certs.sh leaves"
  fi
  # The public shape: intermediates and the leaves under them name where
  # their revocation and issuer are published, and their policies.
  if [ "$issuer" != self ]; then
    for what in "X509v3 CRL Distribution Points" "OCSP - URI:http://ocsp.example.invalid" \
      "CA Issuers - URI:http://pki.example.invalid/" "X509v3 Certificate Policies"; do
      grep -qF "$what" <<<"$text" && ok "$name.crt: $what" || fail "$name.crt: lacks $what"
    done
  fi
done
tsa_ext="$(openssl x509 -in "$certs/tsa.crt" -noout -text | grep -A1 'X509v3 Extended Key Usage')"
case "$tsa_ext" in
  *critical*) ok "tsa.crt: time stamping usage is critical" ;;
  *) fail "tsa.crt: the extended key usage is not critical" ;;
esac

# --- Signatures with each kind -------------------------------------------
cat "$certs/ca.crt" "$certs/pinned.crt" "$certs/unpinned.crt" >"$work/anchors.pem"
for kind in pinned unpinned vendor other vendor-rsa4096 vendor-ecdsa vendor-expired; do
  digest=SHA256
  [ "$kind" = vendor-rsa4096 ] && digest=SHA384
  for stamp in --timestamp --no-timestamp; do
    what="signed with $kind $stamp"
    out="$work/$kind$stamp.exe"
    if ! "$sign" "$pe" "$out" --cert "$kind" "$stamp" >"$work/sign.log" 2>&1; then
      fail "$what: sign-installer failed: $(cat "$work/sign.log")"
      continue
    fi
    verified=0
    osslsigncode verify -ignore-crl -in "$out" -CAfile "$work/anchors.pem" -TSA-CAfile "$certs/ca.crt" \
      >"$work/verify.log" 2>&1 && grep -q '^Succeeded' "$work/verify.log" && verified=1
    if [ "$kind$stamp" = vendor-expired--no-timestamp ]; then
      # Judged now, without a time stamp: the certificate has run out.
      [ "$verified" = 0 ] && grep -q 'certificate has expired' "$work/verify.log" &&
        ok "$what: fails, the certificate has expired" || fail "$what: verifies without a time stamp"
    elif [ "$verified" = 1 ]; then
      ok "$what: verifies"
    else
      fail "$what: osslsigncode verify failed"
      sed 's/^/    | /' "$work/verify.log"
    fi
    grep -q "^Message digest algorithm  : $digest" "$work/verify.log" && ok "$what: $digest" || fail "$what: not $digest"
    if [ "$kind" = vendor-expired ]; then
      # Signed (and time-stamped) while the certificate was valid.
      signed_at="$(sed -n 's/^[[:space:]]*Signing time: //p' "$work/verify.log" | head -1)"
      s_at="$(date -d "$signed_at" +%s 2>/dev/null || echo 0)"
      v_from="$(date -d "$(openssl x509 -in "$certs/$kind.crt" -noout -startdate | sed 's/^notBefore=//')" +%s)"
      v_to="$(date -d "$(openssl x509 -in "$certs/$kind.crt" -noout -enddate | sed 's/^notAfter=//')" +%s)"
      [ "$s_at" -gt "$v_from" ] && [ "$s_at" -lt "$v_to" ] && ok "$what: signed while the certificate was valid" ||
        fail "$what: signing time '$signed_at' is not inside the certificate's validity"
    fi
    signer="$(grep -A3 "^Signer's certificate:" "$work/verify.log" | sed -n 's/^[[:space:]]*Subject: //p' | head -1)"
    expect_eq "$signer" "$(field "$certs/$kind.crt" subject)" "$what: signer"
    # The certificates the signature carries: the signer, and the root for issued ones.
    rm -f "$work/sig.der"
    osslsigncode extract-signature -in "$out" -out "$work/sig.der" >/dev/null 2>&1 ||
      fail "$what: the signature cannot be extracted"
    carried="$(openssl pkcs7 -inform DER -in "$work/sig.der" -print_certs 2>/dev/null |
      awk -v dir="$work" '/BEGIN CERT/{n++; f=dir "/carried" n ".pem"} f{print > f} /END CERT/{close(f); f=""}
        END{for (i = 1; i <= n; i++) print dir "/carried" i ".pem"}' |
      while read -r f; do thumbprint "$f"; rm -f "$f"; done | sort | paste -sd' ')"
    case "$kind" in
      pinned|unpinned) wanted="$(thumbprint "$certs/$kind.crt")" ;;
      *) wanted="$( (thumbprint "$certs/$kind.crt"; thumbprint "$certs/codesign-ca.crt") | sort | paste -sd' ')" ;;
    esac
    expect_eq "$carried" "$wanted" "$what: carries the chosen certificate and its intermediate, not the root"
    if [ "$stamp" = --timestamp ]; then
      grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log" && ok "$what: time stamp verifies" ||
        fail "$what: no verified time stamp"
    else
      grep -q '^Timestamp is not available' "$work/verify.log" && ok "$what: no time stamp" ||
        fail "$what: a time stamp is present"
    fi
  done
done

# Verification does fail: an anchor that is not the signer's, a changed byte.
if osslsigncode verify -ignore-crl -in "$work/pinned--timestamp.exe" -CAfile "$certs/ca.crt" -TSA-CAfile "$certs/ca.crt" >/dev/null 2>&1; then
  fail "a self-signed signature verified against the test root"
else
  ok "a self-signed signature needs its own anchor"
fi
cp "$work/pinned--timestamp.exe" "$work/changed.exe"
printf 'X' | dd of="$work/changed.exe" bs=1 seek=1100 conv=notrunc 2>/dev/null
if osslsigncode verify -ignore-crl -in "$work/changed.exe" -CAfile "$work/anchors.pem" -TSA-CAfile "$certs/ca.crt" >/dev/null 2>&1; then
  fail "a file changed after signing still verifies"
else
  ok "a file changed after signing fails verification"
fi

# --- sign-installer refusals -------------------------------------------------
# exit code | arguments (the output is always $work/refused.exe)
refusal_rows=(
  "2|$pe $work/refused.exe --cert nobody"
  "2|$pe $work/refused.exe"
  "2|$pe $work/refused.exe --cert pinned --sha1"
  "2|$pe --cert pinned"
  "1|$work/missing.exe $work/refused.exe --cert pinned"
)
for row in "${refusal_rows[@]}"; do
  IFS='|' read -r code args <<<"$row"
  rm -f "$work/refused.exe"
  # shellcheck disable=SC2086
  "$sign" $args >/dev/null 2>&1
  expect_eq "$?" "$code" "sign-installer refuses: ${args//$work\//}"
  [ -e "$work/refused.exe" ] && fail "sign-installer left an output after refusing: ${args//$work\//}"
done
# The output may not be the input; the input stays as it was.
cp "$pe" "$work/same.exe"
"$sign" "$work/same.exe" "$work/./same.exe" --cert pinned >/dev/null 2>&1
expect_eq "$?" 1 "sign-installer refuses to sign a file over itself"
cmp -s "$pe" "$work/same.exe" && ok "sign-installer: the input is untouched" || fail "sign-installer changed its input"
# A file osslsigncode cannot sign: refused, no output, no temporary file.
printf 'not a PE file' >"$work/not-pe.exe"
mkdir -p "$work/out"
if "$sign" "$work/not-pe.exe" "$work/out/signed.exe" --cert pinned >/dev/null 2>&1; then
  fail "sign-installer signed a file that is not a PE file"
else
  expect_eq "$(ls -A "$work/out")" "" "sign-installer: a failed signing leaves nothing in the output folder"
fi

checks_finish
