#!/usr/bin/env bash
# vornquill-release sign-pe with the code-signing key in a PKCS #11 token
# (softhsm2 in a temporary token folder): an RSA-3072 key made in the token
# (sensitive, not extractable), a certificate of the vendor's organisation
# that the test CA issued for it, and a local time-stamping authority on
# loopback (tsa_server.py, the test PKI's TSA certificate).
#   sign-pe-test.sh <vornquill-release> <source dir> <codesign_fixture> <Windows test build tree>
# Every refusal writes nothing and leaves no private folder behind; the PIN
# reaches osslsigncode only in an owner-only file of a private folder. The
# signed setup executable keeps its PE facts, gives back the build byte for
# byte without its signature, is trusted by Windows (trust-probe under Wine,
# the test CA trusted in the prefix), and installs a product installer that
# the token signed and the release tool published. Run it through
# tests/lib/wine-isolated: the cloud uses the build's fixed port.
set -u
tool="$1"
src="$2"
fixture="$3"
win="$4"
. "$src/tests/lib/checks.sh"
. "$src/tests/lib/release-bench.sh"

module=/usr/lib/softhsm/libsofthsm2.so
setup="$win/VornquillAI-Online-Setup-x64-SELFSIGNED.exe"
demo="$win/tools/vq-demo-installer.exe"
probe="$win/trust-probe.exe"
for f in "$module" "$setup" "$demo" "$probe" "$fixture"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing (scripts/build test, scripts/setup-deps)" >&2; exit 1; }
done
work="$(mktemp -d /tmp/vq-sign-pe.XXXXXX)"
tsa_pid=""
cloud_pid=""
wine_started=0
cleanup() {
  for pid in "$tsa_pid" "$cloud_pid"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  done
  if [ "$wine_started" = 1 ]; then wine_env_stop; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
certs="$src/tests/signing"

# The token and its key.
mkdir tmp
bench_token_init codesign
"$fixture" "$module" codesign 1234 rsa vendor-2027 token.pub || { echo "FAIL: the token key" >&2; exit 1; }
expect_eq "$("$fixture" "$module" codesign 1234 show vendor-2027 -)" \
  "key-type=0x0 bits=3072 sensitive=1 extractable=0 sign=1 value-readable=0" "the token key's attributes"

# The vendor's certificate for that key, issued by the test CA.
printf '[ext]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n' > ext.cnf
openssl x509 -new -subj "/C=GB/O=Hollbrek Zedivazavedazu LLP/CN=Hollbrek Zedivazavedazu LLP token code signing" \
  -force_pubkey token.pub -CA "$certs/ca.crt" -CAkey "$certs/ca.key" -sha256 -days 30 \
  -set_serial "0x$(openssl rand -hex 8)" -extfile ext.cnf -extensions ext -out token.crt 2>/dev/null ||
  { echo "FAIL: the token key's certificate" >&2; exit 1; }
cat token.crt "$certs/ca.crt" > chain.crt
cat "$certs/vendor.crt" "$certs/ca.crt" > vendor-chain.crt
cat "$certs/other.crt" "$certs/ca.crt" > other-chain.crt
cp "$certs/other.key" other.key && chmod 600 other.key
cp "$certs/other.key" open.key && chmod 644 open.key

# The local time-stamping authority.
python3 "$src/tests/release/tsa_server.py" --cert "$certs/tsa.crt" --key "$certs/tsa.key" \
  --chain "$certs/ca.crt" --ready tsa.ready --log tsa.log >tsa.out 2>&1 &
tsa_pid=$!
for _ in $(seq 100); do [ -s tsa.ready ] && break; sleep 0.1; done
[ -s tsa.ready ] || { echo "FAIL: the time-stamping authority did not start: $(cat tsa.out)" >&2; exit 1; }
tsa="http://127.0.0.1:$(cat tsa.ready)/"

# osslsigncode as the tool runs it, seen through a wrapper first on the PATH:
# whether any run's environment holds the PIN variable, and the signing run's
# arguments and the modes of its PIN file and that file's folder.
mkdir bin
real_signer="$(command -v osslsigncode)"
cat > bin/osslsigncode <<EOF
#!/usr/bin/env bash
env | grep -c '^VORNQUILL_PKCS11_PIN=' >> "$work/signer.env"
if [ "\$1" = sign ]; then
  printf '%s\n' "\$*" > "$work/signer.args"
  : > "$work/signer.pin"
  prev=""
  for a in "\$@"; do
    if [ "\$prev" = -readpass ]; then
      stat -c '%a %U' "\$a" "\$(dirname "\$a")" > "$work/signer.pin"
      printf '%s\n' "\$a" >> "$work/signer.pin"
    fi
    prev="\$a"
  done
fi
exec "$real_signer" "\$@"
EOF
chmod +x bin/osslsigncode
export PATH="$work/bin:$PATH"
export TMPDIR="$work/tmp"

uri="pkcs11:token=codesign;object=vendor-2027"
base=("$tool" sign-pe --trust-ca "$certs/ca.crt")
std=(--certs chain.crt --tsa "$tsa")

# ---- signing with the token key -------------------------------------------
# The product installer, the PIN from the environment.
expect_run 0 "every setup accepts it: publicly trusted Hollbrek certificate" -- \
  env VORNQUILL_PKCS11_PIN=1234 "${base[@]}" "${std[@]}" --in "$demo" --out installer.exe \
  --key "$uri?module-path=$module"
expect_eq "$(sort -u signer.env | tr '\n' ' ')" "0 " "the PIN variable is in no osslsigncode run's environment"
grep -q -- "1234" signer.args && fail "the PIN is on osslsigncode's command line: $(cat signer.args)"
grep -q -- "-readpass $work/tmp/vq-sign-pe\.[A-Za-z0-9]*/pin " signer.args ||
  fail "the PIN file is not in a private folder: $(cat signer.args)"
expect_eq "$(head -n2 signer.pin | tr '\n' ' ')" "600 $(id -un) 700 $(id -un) " "the PIN file and its folder are owner-only"
[ -e "$(sed -n 3p signer.pin)" ] && fail "the PIN file is left behind"
expect_eq "$(ls -A tmp)" "" "the private folder is removed"
verified="$(osslsigncode verify -in installer.exe -CAfile "$certs/ca.crt" -TSA-CAfile "$certs/ca.crt" 2>&1)"
grep -q "^Signature verification: ok" <<<"$verified" || fail "the signed installer does not verify: $verified"
grep -q "^Timestamp Server Signature verification: ok" <<<"$verified" || fail "no valid time stamp: $verified"
grep -q "Subject: /C=GB/O=Hollbrek Zedivazavedazu LLP/CN=Hollbrek Zedivazavedazu LLP token code signing" \
  <<<"$verified" || fail "the signer is not the token's certificate: $verified"
grep -q "Message digest algorithm  : SHA256" <<<"$verified" || fail "not SHA-256: $verified"
grep -qx "POST / 200" tsa.log || fail "the time stamp did not come from the local authority: $(cat tsa.log)"

# The setup executable, the PIN from a file.
expect_run 0 "every setup accepts it: publicly trusted Hollbrek certificate" -- \
  "${base[@]}" "${std[@]}" --in "$setup" --out setup-signed.exe --key "$uri" --module "$module" --pin-file pin
[ -x setup-signed.exe ] || fail "the signed setup executable is not executable"
# Without its signature it is the reproducible build, byte for byte.
osslsigncode remove-signature -in setup-signed.exe -out setup-unsigned.exe >/dev/null 2>&1 ||
  fail "osslsigncode remove-signature"
cmp -s setup-unsigned.exe "$setup" && ok "remove-signature gives back the build byte for byte" ||
  fail "remove-signature does not give back the build: $(cmp setup-unsigned.exe "$setup" 2>&1)"
# The certificate table changes nothing the PE facts look at (load
# configuration, Control Flow Guard, imports, resources).
mkdir pe && cp setup-signed.exe pe/VornquillAI-Online-Setup-x64-SELFSIGNED.exe && cp "$win/setup.map" pe/
facts="$(/usr/bin/python3 "$src/tests/pe/check_pe.py" --profile test --source "$src" \
  pe/VornquillAI-Online-Setup-x64-SELFSIGNED.exe WINHTTP.dll bcrypt.dll WINTRUST.dll CRYPT32.dll COMCTL32.dll 2>&1)"
grep -q " 0 failed$" <<<"$facts" && ok "the PE facts of the signed image" || fail "PE facts of the signed image: $facts"

# ---- refusals: each writes nothing and leaves nothing behind --------------
cp "$certs/ca.crt" notpe.exe
ln -s "$demo" link.exe
# refuse EXIT MESSAGE ARGS...: sign-pe with the base options and ARGS.
refuse() {
  local want_rc="$1" message="$2"
  shift 2
  rm -f out.exe
  expect_run "$want_rc" "$message" -- "${base[@]}" "$@" --out out.exe
  [ -e out.exe ] && fail "a refused signing wrote out.exe: $*"
  compgen -G "out.exe.tmp-*" >/dev/null && fail "a refused signing left a temporary file: $*"
  [ -z "$(ls -A tmp)" ] || fail "a refused signing left its private folder: $* ($(ls -A tmp))"
}
key=(--key "$uri" --module "$module" --pin-file pin)
refuse 1 'token "codesign" refused the PIN: it is wrong' "${std[@]}" --in "$demo" --key "$uri" --module "$module" --pin-file wrong.pin
refuse 1 'token "codesign" holds no private key labelled "nothing"' "${std[@]}" --in "$demo" --key "pkcs11:token=codesign;object=nothing" --module "$module" --pin-file pin
refuse 1 'no token labelled "vault"' "${std[@]}" --in "$demo" --key "pkcs11:token=vault;object=vendor-2027" --module "$module" --pin-file pin
refuse 1 'a pin-value would put the PIN on the command line' "${std[@]}" --in "$demo" --key "$uri?pin-value=1234" --module "$module"
refuse 1 '(/C=GB/O=Hollbrek Zedivazavedazu LLP/CN=Hollbrek Zedivazavedazu LLP code signing, the first in vendor-chain.crt) does not belong to the key "vendor-2027" in token "codesign"' \
  --tsa "$tsa" --in "$demo" "${key[@]}" --certs vendor-chain.crt
refuse 1 "the time-stamping authority http://127.0.0.1:1/ gave no time stamp, so nothing was signed: HTTP failure" \
  --certs chain.crt --in "$demo" "${key[@]}" --tsa http://127.0.0.1:1/
refuse 1 "the time-stamping authority ${tsa}garbage gave no time stamp, so nothing was signed: Failed to convert timestamp reply" \
  --certs chain.crt --in "$demo" "${key[@]}" --tsa "${tsa}garbage"
refuse 1 "osslsigncode did not finish within 2 seconds (is the time-stamping authority ${tsa}hang answering?)" \
  --certs chain.crt --in "$demo" "${key[@]}" --tsa "${tsa}hang" --time-limit 2
refuse 1 "the time-stamping authority ${tsa}refuse gave no time stamp" --certs chain.crt --in "$demo" "${key[@]}" --tsa "${tsa}refuse"
refuse 1 "notpe.exe cannot be signed: it is not a Windows executable (no MZ header)" "${std[@]}" --in notpe.exe "${key[@]}"
refuse 1 "installer.exe cannot be signed: it is signed already" "${std[@]}" --in installer.exe "${key[@]}"
refuse 1 "link.exe is a symbolic link; name the file itself" "${std[@]}" --in link.exe "${key[@]}"
refuse 1 "the key file open.key has mode 0644" --tsa "$tsa" --in "$demo" --key open.key --certs other-chain.crt
refuse 1 "does not belong to the key in other.key" "${std[@]}" --in "$demo" --key other.key
# A signature that osslsigncode makes but every setup refuses (another
# organisation) is not written either.
refuse 1 "the signed file is refused, so nothing was written: every setup refuses its signature: validly signed, but not by Hollbrek" \
  --tsa "$tsa" --in "$demo" --key other.key --certs other-chain.crt
refuse 2 "--description" "${std[@]}" --in "$demo" "${key[@]}" --description "$(printf 'Vornquill\nsigned: ok')"
refuse 2 "--time-limit 0 is not a number of seconds" "${std[@]}" --in "$demo" "${key[@]}" --time-limit 0
refuse 2 "--tsa ftp://127.0.0.1/ is not an http:// or https:// URL" --certs chain.crt --in "$demo" "${key[@]}" --tsa ftp://127.0.0.1/
# An existing output is kept without --force.
expect_run 1 "installer.exe already exists (use --force to replace it)" -- "${base[@]}" "${std[@]}" --in "$demo" \
  --out installer.exe "${key[@]}"

# ---- under Wine: the signed setup executable and the signed installer -----
release_key="$src/tests/release/keys/test-release.secret"
fresh_key="$src/tests/release/keys/test-freshness.secret"
chmod 600 "$release_key" "$fresh_key"
expect_run 0 "published 3.2.0" -- "$tool" publish --installer installer.exe --version 3.2.0 \
  --key "$release_key" --fresh-key "$fresh_key" --out live --trust-ca "$certs/ca.crt"
. "$src/scripts/wine-env.sh"
if [ -z "${WINEPREFIX:-}" ]; then
  wine_env_start
  wine_started=1
fi
cp "$setup" unsigned.exe
cp setup-signed.exe modified.exe
printf 'X' | dd of=modified.exe bs=1 seek=100 conv=notrunc status=none
# probe FILE STATUS CHECK-TEXT: what Windows and the setup's check say.
probe() {
  local out
  out="$("$WINE64" "$probe" "Z:${1//\//\\}" </dev/null 2>/dev/null | tr -d '\r')"
  grep -qx "WinVerifyTrust $2" <<<"$out" || fail "$1: WinVerifyTrust: $out"
  grep -q "^check: $3" <<<"$out" || fail "$1: the setup's check: $out"
}
probe "$work/setup-signed.exe" 0x00000000 "publicly trusted Hollbrek certificate (WinVerifyTrust 0x00000000, signer [0-9A-F]\{40\}, timestamp yes)"
probe "$work/modified.exe" 0x80096010 "the signature does not match the file (modified)"
probe "$work/unsigned.exe" 0x800B0100 "not signed"

# The signed setup executable installs the installer the token signed.
bench_cloud_start live "$win" "$work" ||
  { fail "the reference cloud did not start: $(cat cloud.out)"; checks_finish; }
bench_setup_run "$work/setup-signed.exe"
expect_eq "$rc" 0 "the signed setup's exit code ($result)"
grep -q "RESULT code=0 reason=installed$" <<<"$result" || fail "the signed setup's result: '$result'"
grep -aq "authenticode: publicly trusted Hollbrek certificate" "$log" ||
  fail "the setup did not accept the token's signature: $(grep -a authenticode "$log")"
version="$("$WINE64" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{5E2A7C19-3B4D-4F86-A1C0-9D8E7F6B5A43}_is1' /v DisplayVersion /reg:64 </dev/null 2>/dev/null | tr -d '\r' | awk '/DisplayVersion/ {print $3}')"
expect_eq "$version" "3.2.0" "the installed version"
checks_finish
