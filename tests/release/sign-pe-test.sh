#!/usr/bin/env bash
# vornquill-release sign-pe with the code-signing key in a PKCS #11 token
# (softhsm2 in a temporary token folder): an RSA-3072 key made in the token
# (sensitive, not extractable), a certificate of the vendor's organisation
# that the test CA issued for it, and a local time-stamping authority on
# loopback (tsa_server.py, the test PKI's TSA certificate).
#   sign-pe-test.sh <vornquill-release> <source dir> <codesign_fixture> <Windows test build tree>
#                   <wait_probe.so>
# Every refusal writes nothing and leaves no private folder behind; the PIN
# reaches osslsigncode only through an inherited pipe (never a command line,
# an environment or a file), and an interrupt while a silent authority holds
# the signing stops osslsigncode and leaves nothing behind. Keys that are not
# sign-only, sensitive and never extractable are refused, as are a signed
# file above the release size limit, a temporary folder that other users can
# change, and a child whose end the tool cannot learn. The
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
wait_probe="$5"
. "$src/tests/lib/checks.sh"
. "$src/tests/lib/release-bench.sh"

module=/usr/lib/softhsm/libsofthsm2.so
setup="$win/VornquillAI-Online-Setup-x64-SELFSIGNED.exe"
demo="$win/tools/vq-demo-installer.exe"
probe="$win/trust-probe.exe"
for f in "$module" "$setup" "$demo" "$probe" "$fixture" "$wait_probe"; do
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

# The token and its key. The PIN is one no other text here holds, so that a
# search for it finds only the PIN.
mkdir tmp
pin_value="vq-Kestrel-58213-pin"
bench_token_init codesign "$pin_value"
"$fixture" "$module" codesign "$pin_value" rsa vendor-2027 token.pub || { echo "FAIL: the token key" >&2; exit 1; }
expect_eq "$("$fixture" "$module" codesign "$pin_value" show vendor-2027 -)" \
  "key-type=0x0 bits=3072 sensitive=1 extractable=0 sign=1 value-readable=0" "the token key's attributes"

# The vendor's certificate for a key, issued by the test PKI's code-signing
# intermediate in the public shape (CRL distribution point, authority
# information access, policies; nothing there answers): certify PUBLIC-PEM
# CHAIN writes the certificate for the key and the intermediate after it, as a
# signature carries them.
printf '[ext]\nbasicConstraints = critical, CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\ncrlDistributionPoints = URI:http://crl.example.invalid/vornquill-test-code-signing-ca.crl\nauthorityInfoAccess = OCSP;URI:http://ocsp.example.invalid, caIssuers;URI:http://pki.example.invalid/vornquill-test-code-signing-ca.crt\ncertificatePolicies = 2.23.140.1.4.1\n' > ext.cnf
certify() {
  openssl x509 -new -subj "/C=GB/O=Hollbrek Zedivazavedazu LLP/CN=Hollbrek Zedivazavedazu LLP token code signing" \
    -force_pubkey "$1" -CA "$certs/codesign-ca.crt" -CAkey "$certs/codesign-ca.key" -sha256 -days 365 \
    -set_serial "0x$(openssl rand -hex 8)" -extfile ext.cnf -extensions ext -out "$2.leaf" 2>/dev/null &&
    cat "$2.leaf" "$certs/codesign-ca.crt" > "$2"
}
certify token.pub chain.crt || { echo "FAIL: the token key's certificate" >&2; exit 1; }
cat "$certs/vendor.crt" "$certs/codesign-ca.crt" > vendor-chain.crt
cat "$certs/other.crt" "$certs/codesign-ca.crt" > other-chain.crt
cp "$certs/other.key" other.key && chmod 600 other.key
cp "$certs/other.key" open.key && chmod 644 open.key

# The local time-stamping authority.
python3 "$src/tests/release/tsa_server.py" --cert "$certs/tsa.crt" --key "$certs/tsa.key" \
  --chain "$certs/tsa-ca.crt" --ready tsa.ready --log tsa.log >tsa.out 2>&1 &
tsa_pid=$!
for _ in $(seq 100); do [ -s tsa.ready ] && break; sleep 0.1; done
[ -s tsa.ready ] || { echo "FAIL: the time-stamping authority did not start: $(cat tsa.out)" >&2; exit 1; }
tsa="http://127.0.0.1:$(cat tsa.ready)/"

# osslsigncode as the tool runs it, seen through a wrapper first on the PATH:
# every run's whole environment and command line (as the system gave them
# to the process) searched for the PIN's value; for a signing run, its
# arguments, what its -readpass names, whether any file in the tool's
# temporary folder holds the PIN while it signs, and its process id. With
# ./grow present, the signed output is made larger than any release
# installer may be (sparse: no test writes 2 GiB); with ./mute present, the
# signing run closes its output and waits 30 seconds.
mkdir bin
real_signer="$(command -v osslsigncode)"
cat > bin/osslsigncode <<EOF
#!/usr/bin/env bash
tr '\\0' '\\n' </proc/\$\$/environ | grep -qF -- "$pin_value" && echo "environment: \$*" >> "$work/pin-seen"
tr '\\0' '\\n' </proc/\$\$/cmdline | grep -qF -- "$pin_value" && echo "command line: \$*" >> "$work/pin-seen"
if [ "\$1" = sign ]; then
  printf '%s\\n' "\$\$" > "$work/signer.pid"
  printf '%s\\n' "\$*" > "$work/signer.args"
  : > "$work/signer.pin"
  prev=""
  out=""
  for a in "\$@"; do
    if [ "\$prev" = -readpass ]; then
      printf '%s %s\\n' "\$a" "\$(stat -L -c %F "\$a" 2>&1)" > "$work/signer.pin"
    fi
    if [ "\$prev" = -out ]; then out="\$a"; fi
    prev="\$a"
  done
  grep -rlF -- "$pin_value" "\$TMPDIR" >> "$work/pin-files"
  if [ -e "$work/mute" ]; then exec sleep 30 >/dev/null 2>&1; fi
  if [ -e "$work/grow" ]; then
    "$real_signer" "\$@"
    rc=\$?
    truncate -s 2147483649 "\$out"
    exit \$rc
  fi
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
# check_handover WHAT: after a signing with the token key, the PIN reached
# osslsigncode only through a pipe it inherited: in no run's environment or
# command line, in no file while it signed, and the private folder is gone.
check_handover() {
  expect_eq "$(cat pin-seen 2>/dev/null)" "" "$1: the PIN is in no osslsigncode run's environment or command line"
  expect_eq "$(cat signer.pin 2>/dev/null)" "/dev/fd/3 fifo" "$1: -readpass names an inherited pipe"
  expect_eq "$(cat pin-files 2>/dev/null)" "" "$1: no file in the temporary folder holds the PIN while osslsigncode signs"
  expect_eq "$(ls -A tmp)" "" "$1: the private folder is removed"
  rm -f pin-seen pin-files signer.pin
}

# The product installer, the PIN from the environment.
expect_run 0 "every setup accepts it: publicly trusted Hollbrek certificate" -- \
  env VORNQUILL_PKCS11_PIN="$pin_value" "${base[@]}" "${std[@]}" --in "$demo" --out installer.exe \
  --key "$uri?module-path=$module"
check_handover "the PIN from the environment"
verified="$(osslsigncode verify -ignore-crl -in installer.exe -CAfile "$certs/ca.crt" -TSA-CAfile "$certs/ca.crt" 2>&1)"
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
check_handover "the PIN from --pin-file"
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
# Keys the token holds in ways a code-signing key must not be: made with
# functions besides signing, not sensitive, extractable, or made outside and
# brought in (C_CreateObject: CKA_DECRYPT and CKA_UNWRAP true by the token's
# defaults, CKA_LOCAL false). Refused before anything is signed, each rule it
# breaks named. Each has its certificate, so nothing but its attributes
# stands in the way.
while IFS='|' read -r label how want; do
  [ -n "$label" ] || continue
  if [ "$how" = import ]; then
    "$fixture" "$module" codesign "$pin_value" import "$label" "$label.pub" || fail "fixture $label"
  else
    "$fixture" "$module" codesign "$pin_value" rsa "$label" "$label.pub" bits=2048 "$how" || fail "fixture $label"
  fi
  certify "$label.pub" "$label-chain.crt" || fail "the certificate for $label"
  refuse 1 "the key \"$label\" in token \"codesign\" is not fit to sign: $want" --tsa "$tsa" --in "$demo" \
    --certs "$label-chain.crt" --key "pkcs11:token=codesign;object=$label" --module "$module" --pin-file pin
done <<'KEYS'
decrypts|decrypt=1|it may also decrypt (CKA_DECRYPT is true). A signing key is made inside the token
unwraps|unwrap=1|it may also unwrap keys (CKA_UNWRAP is true). A signing key
derives|derive=1|it may also derive keys (CKA_DERIVE is true). A signing key
readable|sensitive=0|its private half is not sensitive (CKA_SENSITIVE is false); it has not been sensitive since it was made (CKA_ALWAYS_SENSITIVE is false). A signing key
extractable|extractable=1|its private half can be extracted (CKA_EXTRACTABLE is true); it was extractable once (CKA_NEVER_EXTRACTABLE is false). A signing key
imported|import|it has not been sensitive since it was made (CKA_ALWAYS_SENSITIVE is false); it was extractable once (CKA_NEVER_EXTRACTABLE is false); it may also decrypt (CKA_DECRYPT is true); it may also unwrap keys (CKA_UNWRAP is true); it was not made in this token (CKA_LOCAL is false). A signing key
KEYS
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
# The rows of the shared fixture table (tests/verify/signed-fixtures.table)
# that sign-pe can make: the demo installer signed with the row's
# certificate from its key file, the chain a signature carries (the leaf and
# its intermediate; the self-signed ones alone; "vendor-noint" the vendor's
# leaf without its intermediate) and a time stamp of the test TSA, judged as
# the row says.
signed_rows=0
while IFS='|' read -r t_file t_roots t_setup t_verdict t_status _t_timestamp _t_publish t_signpe; do
  case "$t_file" in ''|'#'*) continue ;; esac
  [ "$t_roots" = ca ] && [ "$t_signpe" != - ] || continue
  t_kind="${t_file%-ts}"
  t_cert="$t_kind"
  [ "$t_kind" = vendor-noint ] && t_cert=vendor
  cp "$certs/$t_cert.key" "row-$t_kind.key" && chmod 600 "row-$t_kind.key"
  case "$t_kind" in
    pinned|unpinned|vendor-noint) cat "$certs/$t_cert.crt" > "row-$t_kind.crt" ;;
    *) cat "$certs/$t_cert.crt" "$certs/codesign-ca.crt" > "row-$t_kind.crt" ;;
  esac
  t_row=(--tsa "$tsa" --in "$demo" --key "row-$t_kind.key" --certs "row-$t_kind.crt")
  signed_rows=$((signed_rows + 1))
  case "$t_signpe" in
    accepted)
      # The verdict column names Wine's limit where the setup's check under
      # Wine cannot show the row; the status is the one Windows gives.
      rm -f "row-$t_kind.exe"
      t_want="every setup accepts it: "
      [ "$t_setup" = - ] || t_want="$t_want$t_verdict "
      t_out="$("${base[@]}" "${t_row[@]}" --out "row-$t_kind.exe" 2>&1)"
      t_rc=$?
      [ "$t_rc" = 0 ] && [ -f "row-$t_kind.exe" ] || fail "$t_file: sign-pe refused it (exit $t_rc): $t_out"
      for t_w in "$t_want" "(WinVerifyTrust $t_status, "; do
        grep -qF -- "$t_w" <<<"$t_out" || fail "$t_file: sign-pe's report lacks '$t_w': $t_out"
      done
      ;;
    refused) refuse 1 "every setup refuses its signature: $t_verdict (WinVerifyTrust $t_status, " "${t_row[@]}" ;;
    refused:*) refuse 1 "${t_signpe#refused:}" "${t_row[@]}" ;;
    *) fail "$t_file: sign-pe column '$t_signpe'" ;;
  esac
done <"$src/tests/verify/signed-fixtures.table"
[ "$signed_rows" -gt 0 ] || fail "no row of the shared table was signed with sign-pe"
refuse 2 "--description" "${std[@]}" --in "$demo" "${key[@]}" --description "$(printf 'Vornquill\nsigned: ok')"
refuse 2 "--time-limit 0 is not a number of seconds" "${std[@]}" --in "$demo" "${key[@]}" --time-limit 0
refuse 2 "--tsa ftp://127.0.0.1/ is not an http:// or https:// URL" --certs chain.crt --in "$demo" "${key[@]}" --tsa ftp://127.0.0.1/
# A signed file above the release size limit (the input within it) is not
# written: the stand-in makes osslsigncode's output one byte too large.
: > grow
refuse 1 "the signed file has 2147483649 bytes, more than the 2147483648 a release installer may have (" \
  "${std[@]}" --in "$demo" "${key[@]}"
rm grow
# The temporary folder: the private folder is reached by its path, so a
# folder on the way to it that others may change is refused; a sticky one
# (reached through a link here) is not.
mkdir open-tmp open-parent sticky-tmp owned-tmp
chmod 0777 open-tmp open-parent
chmod 1777 sticky-tmp
mkdir -m 0700 open-parent/mine
ln -s sticky-tmp linked-tmp
while IFS='|' read -r folder want; do
  [ -n "$folder" ] || continue
  rm -f out.exe
  expect_run 1 "cannot make a private folder in TMPDIR $work/$folder: $want, so another user could rename or replace" \
    -- env TMPDIR="$work/$folder" "${base[@]}" "${std[@]}" --in "$demo" "${key[@]}" --out out.exe
  [ -e out.exe ] && fail "a signing refused for TMPDIR $folder wrote out.exe"
done <<FOLDERS
open-tmp|it can be written by its group or by others and is not sticky (owner $(id -u), mode 0777)
open-parent/mine|the folder $work/open-parent on the way to it can be written by its group or by others and is not sticky (owner $(id -u), mode 0777)
FOLDERS
# A folder of another user (only root can make one here).
if [ "$(id -u)" = 0 ]; then
  chmod 0700 owned-tmp && chown nobody owned-tmp
  rm -f out.exe
  expect_run 1 "cannot make a private folder in TMPDIR $work/owned-tmp: it belongs to another user (owner $(id -u nobody), mode 0700)" \
    -- env TMPDIR="$work/owned-tmp" "${base[@]}" "${std[@]}" --in "$demo" "${key[@]}" --out out.exe
  [ -e out.exe ] && fail "a signing refused for TMPDIR owned-tmp wrote out.exe"
fi
expect_run 0 "every setup accepts it" -- env TMPDIR="$work/linked-tmp" "${base[@]}" "${std[@]}" --in "$demo" \
  "${key[@]}" --out sticky.exe
expect_eq "$(ls -A sticky-tmp)" "" "the private folder in the sticky folder is removed"

# A caller that ignores SIGCHLD (the system then reaps the children unseen):
# the tool still learns how each child ended, and signs and refuses as ever.
expect_run 0 "every setup accepts it" -- env --ignore-signal=CHLD "${base[@]}" "${std[@]}" --in "$demo" \
  "${key[@]}" --out sigchld.exe
rm -f out.exe
expect_run 1 "the signed file is refused, so nothing was written: every setup refuses its signature: validly signed, but not by Hollbrek" \
  -- env --ignore-signal=CHLD "${base[@]}" --tsa "$tsa" --in "$demo" --key other.key --certs other-chain.crt --out out.exe
# A child whose end cannot be learnt (waitpid fails) counts as failed, not
# as exit status 0.
rm -f out.exe
expect_run 1 "cannot learn how osslsigncode ended (waitpid: No child processes), so it counts as failed" \
  -- env LD_PRELOAD="$wait_probe" VQ_PROBE_FAIL_WAITPID=1 "${base[@]}" "${std[@]}" --in "$demo" "${key[@]}" --out out.exe
[ -e out.exe ] && fail "a signing whose child's end is unknown wrote out.exe"
[ -z "$(ls -A tmp)" ] || fail "a signing whose child's end is unknown left its private folder: $(ls -A tmp)"

# An interrupt (Ctrl-C, SIGTERM, a hang-up) while a silent time-stamping
# authority holds the signing: osslsigncode is stopped, the private folder
# removed, nothing written, and the tool ends as the signal would have ended
# it. While the authority holds the signing no file holds the PIN. (The
# signals' default handling is restored for the tool: a script's background
# command would ignore SIGINT.)
for sig in INT TERM HUP; do
  rm -f out.exe signer.pid
  held="$(grep -c 'POST /hang held' tsa.log)"
  env --default-signal=INT,TERM,HUP "${base[@]}" --certs chain.crt --tsa "${tsa}hang" --in "$demo" "${key[@]}" \
    --out out.exe >interrupted.out 2>&1 &
  pid=$!
  for _ in $(seq 200); do
    [ "$(grep -c 'POST /hang held' tsa.log)" -gt "$held" ] && break
    sleep 0.1
  done
  [ "$(grep -c 'POST /hang held' tsa.log)" -gt "$held" ] || fail "SIG$sig: the signing never reached the authority"
  expect_eq "$(grep -rlF -- "$pin_value" tmp)" "" "SIG$sig: no file holds the PIN while the authority holds the signing"
  kill -s "$sig" "$pid"
  wait "$pid"
  rc=$?
  expect_eq "$rc" "$((128 + $(kill -l "$sig")))" "SIG$sig: the tool ends as the signal ends it"
  grep -q "interrupted by SIG$sig" interrupted.out || fail "SIG$sig: the tool does not say it was interrupted: $(cat interrupted.out)"
  signer_pid="$(cat signer.pid 2>/dev/null)"
  if [ -n "$signer_pid" ] && kill -0 "$signer_pid" 2>/dev/null; then
    fail "SIG$sig: osslsigncode ($signer_pid) still runs"
    kill -9 "$signer_pid"
  fi
  expect_eq "$(ls -A tmp)" "" "SIG$sig: the private folder is removed"
  [ -e out.exe ] && fail "SIG$sig: an interrupted signing wrote out.exe"
done
# A child that closes its output and runs on is still held to the time limit
# and stopped by an interrupt.
: > mute
refuse 1 "osslsigncode did not finish within 2 seconds" "${std[@]}" --in "$demo" "${key[@]}" --time-limit 2
rm -f signer.pid
env --default-signal=INT,TERM,HUP "${base[@]}" "${std[@]}" --in "$demo" "${key[@]}" --out out.exe >interrupted.out 2>&1 &
pid=$!
for _ in $(seq 200); do
  [ -s signer.pid ] && [ "$(cat "/proc/$(cat signer.pid)/comm" 2>/dev/null)" = sleep ] && break
  sleep 0.1
done
kill -s TERM "$pid"
wait "$pid"
expect_eq "$?" 143 "a silent child: the tool ends as SIGTERM ends it"
signer_pid="$(cat signer.pid 2>/dev/null)"
if [ -n "$signer_pid" ] && kill -0 "$signer_pid" 2>/dev/null; then
  fail "a silent child ($signer_pid) still runs after the interrupt"
  kill -9 "$signer_pid"
fi
expect_eq "$(ls -A tmp)" "" "a silent child: the private folder is removed"
rm mute
expect_eq "$(cat pin-seen 2>/dev/null)" "" "the PIN is in no run's environment or command line (refusals and interrupts)"

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
