// vornquill-release keygen: makes a key pair, in files or in a PKCS #11 token.
#include "tools/release/command.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "common/text.h"
#include "tools/release/keyfile.h"
#include "tools/release/token.h"

namespace {

int today(char date[9]) {
    time_t now = time(nullptr);
    struct tm tm;
    if (gmtime_r(&now, &tm) == nullptr) return -1;
    return format_narrow(date, 9, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) == 8
               ? 0
               : -1;
}

int date_valid(const char *date) {
    if (strlen(date) != 8) return 0;
    for (int i = 0; i < 8; i++) {
        if (date[i] < '0' || date[i] > '9') return 0;
    }
    int month = (date[4] - '0') * 10 + (date[5] - '0');
    int day = (date[6] - '0') * 10 + (date[7] - '0');
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

}  // namespace

int keygen_command(int argc, char **argv) {
    ToolOption options[] = {{"--secret", 1, nullptr},   {"--public", 1, nullptr},
                            {"--date", 1, nullptr},     {"--kid", 1, nullptr},
                            {"--force", 0, nullptr},    {"--module", 1, nullptr},
                            {"--pin-file", 1, nullptr}, {"--freshness", 0, nullptr}};
    int status = tool_parse_options("keygen", argc, argv, options, 8);
    if (status != 0) return status;
    const char *secret_path = options[0].value;
    const char *public_path = options[1].value;
    const char *date = options[2].value;
    const char *kid = options[3].value;
    int force = options[4].value != nullptr;
    const char *module = options[5].value;
    const char *pin_file = options[6].value;
    int role = options[7].value != nullptr ? KEY_ROLE_FRESHNESS : KEY_ROLE_RELEASE;
    if (secret_path == nullptr || public_path == nullptr) {
        return tool_usage_error("keygen", "--secret and --public are required");
    }
    int in_token = token_is_uri(secret_path);
    if (!in_token && (module != nullptr || pin_file != nullptr)) {
        return tool_usage_error("keygen",
                                "--module and --pin-file belong to a --secret in a PKCS #11 "
                                "token (pkcs11:...)");
    }
    TokenKeyName token_name;
    if (in_token && token_parse_name(secret_path, module, pin_file, &token_name, tool_error_text,
                                     sizeof tool_error_text) != 0) {
        return tool_usage_error("keygen", "%s", tool_error_text);
    }
    char today_text[9];
    if (date == nullptr) {
        if (today(today_text) != 0) return tool_failure("keygen", "cannot read the date");
        date = today_text;
    } else if (!date_valid(date)) {
        return tool_usage_error("keygen", "--date %s is not a date of the form YYYYMMDD", date);
    }
    if (kid != nullptr && keyfile_kid_role(kid) != role) {
        return tool_usage_error("keygen", "--kid %s is not of the form %s%s", kid,
                                keyfile_kid_form(role),
                                role == KEY_ROLE_FRESHNESS ? " (a freshness key)" : "");
    }
    // Without --force neither file may exist; checked before a key is made.
    // (The renames that put the files in place refuse existing ones as well.)
    struct stat st;
    if (!force) {
        const char *paths[2] = {public_path, secret_path};
        for (int i = 0; i < (in_token ? 1 : 2); i++) {
            const char *path = paths[i];
            if (lstat(path, &st) == 0) {
                format_narrow(tool_error_text, sizeof tool_error_text,
                              "%s already exists (use --force to replace it)", path);
                return tool_failure("keygen", tool_error_text);
            }
        }
    }
    KeyPair pair;
    int written;
    if (in_token) {
        // The pair is made inside the token; only the public half comes out.
        written = token_generate(&token_name, role, date, kid, public_path, force, &pair,
                                 tool_error_text, sizeof tool_error_text);
    } else {
        if (keyfile_generate(role, date, kid, &pair, tool_error_text, sizeof tool_error_text) !=
            0) {
            return tool_failure("keygen", tool_error_text);
        }
        written = keyfile_write_pair(secret_path, public_path, &pair, force, tool_error_text,
                                     sizeof tool_error_text);
    }
    keyfile_wipe(&pair);
    if (written != 0) return tool_failure("keygen", tool_error_text);
    printf("kid=%s\npublic={", pair.kid);
    for (int i = 0; i < 32; i++) printf("%s0x%02x", i == 0 ? "" : ", ", pair.public_key[i]);
    printf("}\n");
    return 0;
}
