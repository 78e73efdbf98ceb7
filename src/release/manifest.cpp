// The release manifest schema: product, schema version, version and channel,
// the minimum version, and the one Windows x64 installer with its file name,
// size and SHA-256.
#include "release/manifest.h"

#include <string.h>

#include "common/memory.h"
#include "common/text.h"
#include "release/json.h"
#include "release/version.h"

namespace {

bool is_windows_installer(const JsonValue *artifact) {
    return json_string_equals(json_member(artifact, "platform"), "win32") &&
           json_string_equals(json_member(artifact, "arch"), "x64") &&
           json_string_equals(json_member(artifact, "kind"), "windows-installer");
}

// The tests after the JSON parse, in their fixed order.
VerifyStatus read_schema(const JsonValue *root, const char *min_version, ReleaseInfo *info,
                         char *detail, size_t cap) {
    const JsonValue *v = json_member(root, "v");
    if (root->type != JSON_OBJECT || v == nullptr || v->type != JSON_NUMBER ||
        !v->has_integer || v->integer != 1 ||
        !json_string_equals(json_member(root, "product"), "vornquill-ai")) {
        return release_fail(detail, cap, VERIFY_SCHEMA,
                            "the signed manifest is not a Vornquill AI v1 manifest");
    }
    if (!json_string_copy(json_member(root, "version"), info->version, sizeof info->version) ||
        !version_valid(info->version)) {
        return release_fail(detail, cap, VERIFY_SCHEMA, "the signed manifest has no valid version");
    }
    const JsonValue *channel = json_member(root, "channel");
    if (channel == nullptr || channel->type != JSON_STRING) {
        return release_fail(detail, cap, VERIFY_SCHEMA, "the signed manifest has no channel");
    }
    if (!json_string_equals(channel, "stable")) {
        return release_fail(detail, cap, VERIFY_WRONG_CHANNEL,
                            "release %s is not on the stable channel", info->version);
    }
    if (version_compare(info->version, min_version) < 0) {
        return release_fail(detail, cap, VERIFY_BELOW_FLOOR,
                            "release %s is older than this installer's minimum version",
                            info->version);
    }
    const JsonValue *artifacts = json_member(root, "artifacts");
    if (artifacts == nullptr || artifacts->type != JSON_ARRAY || artifacts->child_count < 1 ||
        artifacts->child_count > MANIFEST_MAX_ARTIFACTS) {
        return release_fail(detail, cap, VERIFY_SCHEMA, "the signed manifest has no artifact list");
    }
    const JsonValue *chosen = nullptr;
    unsigned matches = 0;
    for (const JsonValue *a = artifacts->first_child; a != nullptr; a = a->next_sibling) {
        if (a->type != JSON_OBJECT) {
            return release_fail(detail, cap, VERIFY_SCHEMA,
                                "the signed manifest has an artifact that is not an object");
        }
        if (is_windows_installer(a)) {
            matches++;
            chosen = a;
        }
    }
    if (matches == 0) {
        return release_fail(detail, cap, VERIFY_NO_ARTIFACT,
                            "release %s has no Windows x64 installer", info->version);
    }
    if (matches > 1) {
        return release_fail(detail, cap, VERIFY_NO_ARTIFACT,
                            "release %s lists more than one Windows x64 installer", info->version);
    }
    if (!json_string_copy(json_member(chosen, "fileName"), info->fileName,
                          sizeof info->fileName)) {
        return release_fail(detail, cap, VERIFY_FILE_NAME,
                            "the Windows installer has no file name");
    }
    char plain[201];
    char self_signed[201];
    manifest_installer_name(info->version, 0, plain, sizeof plain);
    manifest_installer_name(info->version, 1, self_signed, sizeof self_signed);
    if (strcmp(info->fileName, plain) != 0 && strcmp(info->fileName, self_signed) != 0) {
        return release_fail(detail, cap, VERIFY_FILE_NAME,
                            "the Windows installer's file name %s is not accepted", info->fileName);
    }
    const JsonValue *size = json_member(chosen, "size");
    if (size == nullptr || size->type != JSON_NUMBER || !size->has_integer) {
        return release_fail(detail, cap, VERIFY_SCHEMA,
                            "the Windows installer has no integer size");
    }
    if (size->integer <= 0 || size->integer > MANIFEST_MAX_SIZE) {
        return release_fail(detail, cap, VERIFY_TOO_LARGE,
                            "the Windows installer's size is out of range");
    }
    info->size = size->integer;
    if (!json_sha256_hex(json_member(chosen, "sha256"), info->sha256, info->sha256_hex)) {
        return release_fail(detail, cap, VERIFY_SCHEMA,
                            "the Windows installer has no valid SHA-256");
    }
    return VERIFY_OK;
}

}  // namespace

VerifyStatus manifest_read(const uint8_t *bytes, size_t count, const char *min_version,
                           ReleaseInfo *info, char *detail, size_t detail_capacity) {
    JsonDocument *document = nullptr;
    JsonValue *root = nullptr;
    JsonStatus parsed = json_parse(bytes, count, &document, &root);
    if (parsed != JSON_OK) {
        return release_fail(detail, detail_capacity, VERIFY_JSON,
                            "the signed manifest is not strict JSON (%s)", json_error_word(parsed));
    }
    VerifyStatus status = read_schema(root, min_version, info, detail, detail_capacity);
    json_free(document);
    return status;
}

int manifest_installer_name(const char *version, int self_signed, char *buffer, size_t capacity) {
    return format_narrow(buffer, capacity,
                         self_signed ? "VornquillAI-Setup-x64-%s-SELFSIGNED.exe"
                                     : "VornquillAI-Setup-x64-%s.exe",
                         version);
}

void release_free(ReleaseInfo *info) {
    if (info == nullptr || info->payload == nullptr) return;
    heap_free(info->payload);
    info->payload = nullptr;
}
