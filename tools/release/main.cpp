// vornquill-release: makes release-signing keys, signs release manifests into
// latest.txt envelopes, verifies envelopes with the setup program's own
// verification code, and publishes a release folder laid out as the cloud
// serves it. This file is the dispatcher: each command has a file of its own.
#include <stdio.h>
#include <string.h>

#include <sodium.h>

#include "common/constants.h"
#include "tools/release/check.h"
#include "tools/release/command.h"
#include "tools/release/sign.h"
#include "tools/release/token.h"

namespace {

const char usage_text[] =
    "usage: vornquill-release <command> [options]\n"
    "\n"
    "commands:\n"
    "  keygen --secret FILE|URI --public FILE [--freshness] [--date YYYYMMDD] [--kid ID]\n"
    "          [--force] [--module FILE] [--pin-file FILE]\n"
    "      Makes a new Ed25519 release-signing key pair, or with --freshness a\n"
    "      freshness-signing key pair (it signs only the statement that keeps a\n"
    "      release fresh; see publish). Its key id has the form\n"
    "      release-YYYYMMDD-xxxxxxxx (fresh-YYYYMMDD-xxxxxxxx): the date (today,\n"
    "      UTC, unless --date) and the first four bytes of the public key's\n"
    "      SHA-256 in hex (unless --kid). A key of one kind is refused where the\n"
    "      other is wanted.\n"
    "      Prints the key id and the public key as a C initialiser. Both files\n"
    "      are written new beside their targets and renamed into place, the\n"
    "      secret (mode 0600) last; --force replaces existing ones.\n"
    "      With --secret pkcs11:token=LABEL;object=LABEL the pair is made inside\n"
    "      that PKCS #11 token (the private half sensitive, never extractable,\n"
    "      its key id in CKA_ID) and only the public file is written; an object\n"
    "      of that label in the token is never replaced. See \"keys in a token\".\n"
    "  sign --manifest FILE --key SECRET --out FILE|- [--force]\n"
    "          [--module FILE] [--pin-file FILE]\n"
    "      Signs the manifest's bytes (1 to 1,500,000, as they are) and writes the\n"
    "      latest.txt envelope: the lines kid=, payload= (base64url of the\n"
    "      manifest) and sig= (base64url of its Ed25519 signature).\n"
    "  verify --envelope FILE --key FILE [--min-version V]\n"
    "      Verifies latest.txt exactly as the setup program does, trusting only\n"
    "      the given key (public or secret file). Prints status=<word>,\n"
    "      detail=<text> and, when verified, the release's fields. The minimum\n"
    "      version defaults to the program's own (1.0.0). Exit 0 when ok,\n"
    "      1 when refused.\n"
    "  publish --installer FILE --version V --key SECRET --out DIR\n"
    "          --fresh-key SECRET [--fresh-days N] [--fresh-pin-file FILE] | --no-fresh-key\n"
    "          [--self-signed] [--force] [--module FILE] [--pin-file FILE]\n"
    "          [--trust-ca FILE] [--allow-refused-installer]\n"
    "      Makes DIR/latest.txt and DIR/files/<V>/<fileName> with the installer;\n"
    "      fileName is VornquillAI-Setup-x64-<V>.exe, or\n"
    "      VornquillAI-Setup-x64-<V>-SELFSIGNED.exe with --self-signed. The\n"
    "      manifest (v 1, product vornquill-ai, channel stable, one win32/x64\n"
    "      windows-installer artifact) carries the file's size and SHA-256. The\n"
    "      folder is built beside DIR and renamed into place; an existing\n"
    "      non-empty DIR is replaced only with --force.\n"
    "      Before anything is written the installer is read once (a symbolic\n"
    "      link is refused) into a private folder and that copy is checked as\n"
    "      the setup will check it, then published: a 64-bit Windows executable\n"
    "      whose primary Authenticode signature matches the file, verifies, has\n"
    "      a signer the setup accepts (its own verdict rule; the facts read with\n"
    "      osslsigncode and OpenSSL) and a valid time stamp; a refusal says what\n"
    "      is wrong and how to fix it. --trust-ca FILE trusts these roots\n"
    "      besides the system's (as the machines do). --allow-refused-installer\n"
    "      publishes a refused installer anyway, with a warning: for test\n"
    "      releases only (a test-profile tool, or the test release key). The key\n"
    "      may not be the other profile's release key (see \"profile\" below).\n"
    "      --fresh-key (a freshness key file or PKCS #11 URI; its PIN from\n"
    "      --fresh-pin-file, the URI or the environment) adds the freshness\n"
    "      statement after the release lines: fresh= (base64url of the JSON\n"
    "      statement: this manifest's SHA-256, issued now, expires N days\n"
    "      later), fresh_kid= and fresh_sig= (its Ed25519 signature). Every\n"
    "      setup refuses the release once it has expired; refresh renews it.\n"
    "      N is 1 to 31 (default 7). --module serves either key in a token.\n"
    "      --no-fresh-key publishes without the statement (a warning): for a\n"
    "      signing host without the freshness key, whose release gets its\n"
    "      statement from refresh on the publishing host before it is served.\n"
    "  refresh --latest FILE --key FILE --fresh-key SECRET [--fresh-days N]\n"
    "          [--module FILE] [--pin-file FILE]\n"
    "      Renews the freshness statement of the latest.txt being served: its\n"
    "      release is first verified with --key (the release key, public or\n"
    "      secret file) as a setup verifies it; then its release lines are kept\n"
    "      byte for byte and the statement's three lines are signed anew with\n"
    "      the freshness key (issued now, expires N days later, 1 to 31,\n"
    "      default 7), replacing any there were. The file is replaced in one\n"
    "      step: a new file in its folder, with its mode, renamed over it.\n"
    "      Run it from a timer, well within the window (tools/cloud/README.md).\n"
    "  check --url https://HOST[:PORT] --key FILE [--fresh-key FILE] [--ca FILE] [--full]\n"
    "      Asks the cloud at the URL what the setup program asks (the release,\n"
    "      the installer whole, resumed, with another If-Range, past its end)\n"
    "      with the setup's own rules and prints one line per check: ok, warn\n"
    "      or FAIL, the reason and what to change. The key (public or secret\n"
    "      file) is the one the release must be signed with; --ca trusts the\n"
    "      given CA file instead of the system's; --full downloads and hashes\n"
    "      the whole installer. The line statement tells the time left of the\n"
    "      freshness statement (trusting --fresh-key, else the freshness keys of\n"
    "      the profile whose setups trust --key): a warning below 3 days (or half\n"
    "      a shorter window), a failure when it is stale, missing or refused.\n"
    "      Exit 0 when no check failed, 1 when one did.\n"
    "  sign-pe --in FILE --out FILE --key URI|FILE --certs FILE --tsa URL\n"
    "          [--module FILE] [--pin-file FILE] [--trust-ca FILE]\n"
    "          [--description TEXT] [--time-limit SECONDS] [--force]\n"
    "      Signs a 64-bit Windows executable (the setup executable, a product\n"
    "      installer) with Authenticode: SHA-256, the certificates of --certs\n"
    "      (PEM: the signer's first, then its issuers) and an RFC 3161 time stamp\n"
    "      fetched from the time-stamping authority at URL, with osslsigncode.\n"
    "      The key is in a PKCS #11 token (a URI as for release keys, used through\n"
    "      OpenSSL's pkcs11 engine; the PIN is handed over in an owner-only file\n"
    "      of a private folder, never on a command line) or, for tests, an\n"
    "      owner-only PEM key file; the certificate must be the key's own. An\n"
    "      input that is not an unsigned x64 executable is refused. The signed\n"
    "      file is checked as every setup will check it (see publish; --trust-ca\n"
    "      as there) and written (temporary file, rename) only when accepted;\n"
    "      an existing FILE is replaced only with --force. --description is the\n"
    "      name shown when Windows asks to run the file (Vornquill AI Setup).\n"
    "      osslsigncode is stopped after --time-limit seconds (120), as it waits\n"
    "      for an authority that never answers.\n"
    "  help\n"
    "      Shows this text.\n"
    "\n"
    "key files are text, one key=value per line ('#' starts a comment):\n"
    "  kind=vornquill-release-secret-key | vornquill-release-public-key\n"
    "       (a freshness key: vornquill-freshness-secret-key | -public-key)\n"
    "  kid=release-YYYYMMDD-xxxxxxxx     (a freshness key: fresh-YYYYMMDD-xxxxxxxx)\n"
    "  public=<64 hex digits>      the Ed25519 public key\n"
    "  seed=<64 hex digits>        the Ed25519 secret seed (secret file only)\n"
    "a file holding a seed must be owner-only (no access for group or others).\n"
    "\n"
    "keys in a token: SECRET may be a PKCS #11 URI (RFC 7512),\n"
    "  pkcs11:token=LABEL;object=LABEL[?module-path=FILE&pin-source=file:FILE]\n"
    "  The module (a PKCS #11 shared library) comes from module-path or\n"
    "  --module FILE; the user PIN from pin-source, --pin-file FILE (owner-only)\n"
    "  or the environment variable " TOKEN_PIN_VARIABLE ", never from the command line.\n"
    "  The token signs with CKM_EDDSA; the private key never leaves it.\n"
    "\n"
    "exit codes: 0 success, 1 refused or failed, 2 bad command line\n";

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(usage_text, stderr);
        return 2;
    }
    if (sodium_init() < 0) {
        fputs("vornquill-release: the crypto library cannot start\n", stderr);
        return 1;
    }
    const char *command = argv[1];
    if (strcmp(command, "help") == 0 || strcmp(command, "--help") == 0 ||
        strcmp(command, "-h") == 0) {
        fputs(usage_text, stdout);
        printf("\nprofile: this tool was built with the %s profile. publish judges installers with\n"
               "  that profile's pinned certificates and vendor organisation, and refuses the other\n"
               "  profile's release key (its releases need a vornquill-release built with\n"
               "  -DVQ_PROFILE=%s).\n",
               build_profile(), strcmp(build_profile(), "test") == 0 ? "production" : "test");
        return 0;
    }
    if (strcmp(command, "keygen") == 0) return keygen_command(argc - 2, argv + 2);
    if (strcmp(command, "sign") == 0) return sign_manifest_command(argc - 2, argv + 2);
    if (strcmp(command, "verify") == 0) return verify_command(argc - 2, argv + 2);
    if (strcmp(command, "publish") == 0) return publish_command(argc - 2, argv + 2);
    if (strcmp(command, "refresh") == 0) return refresh_command(argc - 2, argv + 2);
    if (strcmp(command, "check") == 0) return check_command(argc - 2, argv + 2);
    if (strcmp(command, "sign-pe") == 0) return sign_pe_command(argc - 2, argv + 2);
    fprintf(stderr, "vornquill-release: unknown command %s\n%s", command, usage_text);
    return 2;
}
