// vornquill-release verify: judges latest.txt as the setup program does.
#include "tools/release/command.h"

#include <stdio.h>
#include <string.h>

#include "common/constants.h"
#include "common/memory.h"
#include "common/text.h"
#include "release/release.h"
#include "release/version.h"
#include "tools/release/keyfile.h"

int verify_command(int argc, char **argv) {
    ToolOption options[] = {
        {"--envelope", 1, nullptr}, {"--key", 1, nullptr}, {"--min-version", 1, nullptr}};
    int status = tool_parse_options("verify", argc, argv, options, 3);
    if (status != 0) return status;
    if (options[0].value == nullptr || options[1].value == nullptr) {
        return tool_usage_error("verify", "--envelope and --key are required");
    }
    const char *min_version = options[2].value != nullptr ? options[2].value : version_floor();
    if (!version_valid(min_version)) {
        return tool_usage_error("verify", "--min-version %s is not a valid version", min_version);
    }
    KeyPair key;
    if (keyfile_read(options[1].value, KEY_ROLE_RELEASE, 0, &key, tool_error_text,
                     sizeof tool_error_text) != 0) {
        return tool_failure("verify", tool_error_text);
    }
    keyfile_wipe(&key);
    // The envelope is read whole, up to a limit well above the largest valid
    // envelope, so that an oversized one is judged by the verifier itself.
    uint8_t *text = nullptr;
    size_t size = 0;
    if (tool_read_file(options[0].value, 8u << 20, "envelope", &text, &size) != 0) {
        return tool_failure("verify", tool_error_text);
    }
    TrustedKey trusted = keyfile_trusted_key(&key);

    ReleaseInfo info;
    char detail[256];
    VerifyStatus verdict = release_verify_with_keys((const char *)text, size, min_version, &trusted,
                                                    1, &info, detail, sizeof detail);
    heap_free(text);
    // The detail may quote the manifest's own text: one line, whatever it holds.
    char safe_detail[4 * sizeof detail];
    text_escape_controls(detail, safe_detail, sizeof safe_detail);
    printf("status=%s\ndetail=%s\n", verify_status_word(verdict), safe_detail);
    if (verdict == VERIFY_OK) {
        printf("kid=%s\nversion=%s\nfileName=%s\nsize=%lld\nsha256=%s\n", info.kid, info.version,
               info.fileName, (long long)info.size, info.sha256_hex);
    }
    release_free(&info);
    return verdict == VERIFY_OK ? 0 : 1;
}
