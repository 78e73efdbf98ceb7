// vornquill-release sign: signs manifest bytes into a latest.txt envelope.
#include "tools/release/command.h"

#include <stdio.h>
#include <string.h>

#include "common/memory.h"
#include "tools/release/signer.h"

int sign_manifest_command(int argc, char **argv) {
    ToolOption options[] = {{"--manifest", 1, nullptr}, {"--key", 1, nullptr},
                            {"--out", 1, nullptr},      {"--force", 0, nullptr},
                            {"--module", 1, nullptr},   {"--pin-file", 1, nullptr}};
    int status = tool_parse_options("sign", argc, argv, options, 6);
    if (status != 0) return status;
    if (options[0].value == nullptr || options[1].value == nullptr || options[2].value == nullptr) {
        return tool_usage_error("sign", "--manifest, --key and --out are required");
    }
    uint8_t *manifest = nullptr;
    size_t size = 0;
    if (tool_read_file(options[0].value, tool_max_manifest, "manifest", &manifest, &size) != 0) {
        return tool_failure("sign", tool_error_text);
    }
    if (size == 0) {
        heap_free(manifest);
        return tool_failure("sign", "the manifest is empty");
    }
    Signer signer;
    if (signer_open(options[1].value, KEY_ROLE_RELEASE, options[4].value, options[5].value,
                    &signer) != 0) {
        heap_free(manifest);
        signer_close(&signer);
        return tool_failure("sign", tool_error_text);
    }
    size_t length = 0;
    char *envelope = signer_make_envelope(&signer, manifest, size, &length);
    signer_close(&signer);
    heap_free(manifest);
    if (envelope == nullptr) return tool_failure("sign", tool_error_text);
    int result = 0;
    if (strcmp(options[2].value, "-") == 0) {
        if (fwrite(envelope, 1, length, stdout) != length || fflush(stdout) != 0) {
            result = tool_failure("sign", "cannot write the envelope to standard output");
        }
    } else if (tool_write_file_atomic(options[2].value, envelope, length,
                                      options[3].value != nullptr) != 0) {
        result = tool_failure("sign", tool_error_text);
    }
    heap_free(envelope);
    return result;
}
