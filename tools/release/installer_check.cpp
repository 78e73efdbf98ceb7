// The installer check of publish: one read of the installer into a private
// folder, then on that copy the PE header, osslsigncode for the primary
// signature (digest, the signer's signature, time stamp), OpenSSL for the
// first signer's certificate, its chain and its description, and the
// setup's own verdict over those facts.
#include "tools/release/installer_check.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "common/constants.h"
#include "common/memory.h"
#include "common/text.h"
#include "release/manifest.h"
#include "tools/release/child.h"
#include "tools/release/files.h"


namespace {

// Statuses of the trust check that the verdict does not tell apart by name:
// a signature over its attributes that does not verify, and a chain that
// fails for more than its root.
const uint32_t status_not_trusted = 0x800B0004u;  // TRUST_E_SUBJECT_NOT_TRUSTED
const uint32_t status_chain_failed = 0x800B010Au;  // CERT_E_CHAINING
const uint32_t status_expired = 0x800B0101u;       // CERT_E_EXPIRED

const char system_roots[] = "/etc/ssl/certs/ca-certificates.crt";
// SpcSpOpusInfo, the signer's description and link.
const char opus_info_oid[] = "1.3.6.1.4.1.311.2.1.12";
// The time stamps a signer may carry unsigned: an RFC 3161 token, or a
// PKCS #9 counter-signature.
const char rfc3161_timestamp_oid[] = "1.3.6.1.4.1.311.3.3.1";

enum { OUTPUT_CAPACITY = 262144 };

// The part of osslsigncode's report about the primary signature: from its
// "Signature Index: 0" line to the next signature's index line.
void primary_section(const char *output, const char **begin, const char **end) {
    *begin = output;
    *end = output + strlen(output);
    const char *at = strstr(output, "Signature Index: 0 ");
    if (at == nullptr) return;
    *begin = at;
    const char *next = strstr(at + 1, "\nSignature Index: ");
    if (next != nullptr) *end = next + 1;
}

// The length of a line without its trailing blanks and carriage return.
size_t trimmed_length(const char *line, size_t length) {
    while (length > 0 && (line[length - 1] == ' ' || line[length - 1] == '\r' || line[length - 1] == '\t')) length--;
    return length;
}

// 1 when a line of [begin, end) begins with prefix and holds want after it
// (want null: any), or, exact 1, when a line is prefix and nothing else.
int has_line(const char *begin, const char *end, const char *prefix, const char *want, int exact) {
    size_t n = strlen(prefix);
    for (const char *line = begin; line < end;) {
        const char *stop = (const char *)memchr(line, '\n', (size_t)(end - line));
        size_t length = stop != nullptr ? (size_t)(stop - line) : (size_t)(end - line);
        if (length >= n && memcmp(line, prefix, n) == 0) {
            if (exact) {
                if (trimmed_length(line, length) == n) return 1;
            } else if (want == nullptr) {
                return 1;
            } else {
                const char *found = strstr(line + n, want);
                if (found != nullptr && found < line + length) return 1;
            }
        }
        line = stop != nullptr ? stop + 1 : end;
    }
    return 0;
}

// The first line of a tool's output, for a message.
void first_line(const char *output, char *line, size_t capacity) {
    size_t n = strcspn(output, "\n");
    char raw[256];
    if (n >= sizeof raw) n = sizeof raw - 1;
    memcpy(raw, output, n);
    raw[n] = 0;
    text_escape_controls(raw, line, capacity);
}

// The PE header: MZ, then PE\0\0 with machine x64 and a PE32+ optional header
// of an executable image (not a DLL).
void check_pe(int fd, InstallerCheck *check) {
    uint8_t head[4096];
    memset(head, 0, sizeof head);
    ssize_t n = pread(fd, head, sizeof head, 0);
    const char *problem = nullptr;
    uint32_t at = n >= 64 ? (uint32_t)(head[0x3c] | head[0x3d] << 8 | head[0x3e] << 16 | (uint32_t)head[0x3f] << 24) : 0;
    if (n < 64 || head[0] != 'M' || head[1] != 'Z') {
        problem = "it is not a Windows executable (no MZ header)";
    } else if ((uint32_t)n < 26 || at > (uint32_t)n - 26 || memcmp(head + at, "PE\0\0", 4) != 0) {
        problem = "it is not a Windows executable (no PE header)";
    } else {
        unsigned machine = head[at + 4] | head[at + 5] << 8;
        unsigned characteristics = head[at + 22] | head[at + 23] << 8;
        unsigned magic = head[at + 24] | head[at + 25] << 8;
        if (machine != 0x8664 || magic != 0x20b) {
            format_narrow(check->pe_problem, sizeof check->pe_problem,
                          "it is not a 64-bit (x64) Windows executable (machine 0x%04x, optional header "
                          "0x%03x); the setup installs x64 installers only",
                          machine, magic);
            return;
        }
        if ((characteristics & 0x0002) == 0 || (characteristics & 0x2000) != 0) {
            problem = "it is a library or object, not an executable image";
        }
    }
    if (problem != nullptr) {
        format_narrow(check->pe_problem, sizeof check->pe_problem, "%s", problem);
        return;
    }
    check->pe64 = 1;
}

// What the chain's verification met, error by error.
struct ChainErrors {
    int end;      // the chain ends at a root not given, or an issuer is not found
    int expired;  // a certificate not valid at the time judged at
    int other;    // anything else; first_other is the first such error
    int first_other;
};

// Every error of the chain is seen and sorted.
int chain_callback(int ok, X509_STORE_CTX *ctx) {
    if (!ok) {
        ChainErrors *errors = (ChainErrors *)X509_STORE_CTX_get_app_data(ctx);
        int error = X509_STORE_CTX_get_error(ctx);
        if (error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT || error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
            error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY || error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
            error == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE) {
            errors->end++;
        } else if (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID) {
            errors->expired++;
        } else {
            if (errors->other == 0) errors->first_other = error;
            errors->other++;
        }
    }
    return 1;
}

// A certificate time as Unix seconds; 0 when it cannot be read.
long long asn1_time_seconds(const ASN1_TIME *when) {
    struct tm parts;
    memset(&parts, 0, sizeof parts);
    if (when == nullptr || ASN1_TIME_to_tm(when, &parts) != 1) return 0;
    return (long long)timegm(&parts);
}

// "YYYY-MM-DD HH:MM:SS UTC" for a Unix time.
void time_text(long long seconds, char *text, size_t capacity) {
    time_t t = (time_t)seconds;
    struct tm parts;
    if (gmtime_r(&t, &parts) == nullptr || strftime(text, capacity, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
        format_narrow(text, capacity, "%lld", seconds);
    }
}

// The time a time stamp of the first signer states: the RFC 3161 token's
// time, or a PKCS #9 counter-signature's signing time. present gets 1 when
// the signer carries any time-stamp attribute. 1 with *when when there is
// exactly one time stamp and its time can be read; a signer with more than
// one gives no time (the verified one could not be told from the others).
int timestamp_time(PKCS7_SIGNER_INFO *info, long long *when, int *present) {
    *present = 0;
    *when = 0;
    ASN1_OBJECT *rfc3161 = OBJ_txt2obj(rfc3161_timestamp_oid, 1);
    ASN1_OBJECT *pkcs9 = OBJ_nid2obj(NID_pkcs9_countersignature);
    if (rfc3161 == nullptr || pkcs9 == nullptr) {
        ASN1_OBJECT_free(rfc3161);
        return 0;
    }
    int found = 0, readable = 0;
    STACK_OF(X509_ATTRIBUTE) *attributes = info->unauth_attr;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); i++) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        const ASN1_OBJECT *type = X509_ATTRIBUTE_get0_object(attribute);
        int is_token = OBJ_cmp(type, rfc3161) == 0;
        if (!is_token && OBJ_cmp(type, pkcs9) != 0) continue;
        for (int v = 0; v < X509_ATTRIBUTE_count(attribute); v++) {
            found++;
            ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(attribute, v);
            if (value == nullptr || value->type != V_ASN1_SEQUENCE) continue;
            const unsigned char *der = value->value.sequence->data;
            long length = value->value.sequence->length;
            if (is_token) {
                PKCS7 *token = d2i_PKCS7(nullptr, &der, length);
                TS_TST_INFO *tst = token != nullptr ? PKCS7_to_TS_TST_INFO(token) : nullptr;
                const ASN1_GENERALIZEDTIME *gen = tst != nullptr ? TS_TST_INFO_get_time(tst) : nullptr;
                long long t = asn1_time_seconds(gen);
                if (t != 0) {
                    *when = t;
                    readable++;
                }
                TS_TST_INFO_free(tst);
                PKCS7_free(token);
            } else {
                PKCS7_SIGNER_INFO *counter = d2i_PKCS7_SIGNER_INFO(nullptr, &der, length);
                ASN1_TYPE *signing = counter != nullptr ? PKCS7_get_signed_attribute(counter, NID_pkcs9_signingTime)
                                                        : nullptr;
                long long t = 0;
                if (signing != nullptr && signing->type == V_ASN1_UTCTIME) {
                    t = asn1_time_seconds(signing->value.utctime);
                } else if (signing != nullptr && signing->type == V_ASN1_GENERALIZEDTIME) {
                    t = asn1_time_seconds(signing->value.generalizedtime);
                }
                if (t != 0) {
                    *when = t;
                    readable++;
                }
                PKCS7_SIGNER_INFO_free(counter);
            }
        }
    }
    ASN1_OBJECT_free(rfc3161);
    *present = found > 0;
    if (found != 1 || readable != 1) {
        *when = 0;
        return 0;
    }
    return 1;
}

// 1 when the first signer's signature verifies with its certificate's key:
// over its signed attributes, whose message digest is the digest of the
// signed content (Authenticode's SpcIndirectDataContent, without its own
// tag and length). The chain plays no part: this tells a damaged or
// borrowed signature from one whose chain fails.
int signer_signature_verifies(PKCS7 *p7, PKCS7_SIGNER_INFO *info, X509 *signer) {
    PKCS7 *inner = p7->d.sign->contents;
    if (inner == nullptr || inner->d.other == nullptr || inner->d.other->type != V_ASN1_SEQUENCE) return 0;
    if (info->auth_attr == nullptr || sk_X509_ATTRIBUTE_num(info->auth_attr) == 0) return 0;
    const ASN1_STRING *sequence = inner->d.other->value.sequence;
    const unsigned char *content = sequence->data;
    long length = 0;
    int tag = 0, klass = 0;
    if (ASN1_get_object(&content, &length, &tag, &klass, sequence->length) & 0x80) return 0;
    if (length < 0 || content + length > sequence->data + sequence->length) return 0;
    const EVP_MD *md = EVP_get_digestbyobj(info->digest_alg->algorithm);
    EVP_PKEY *key = X509_get0_pubkey(signer);
    ASN1_OCTET_STRING *wanted = PKCS7_digest_from_attributes(info->auth_attr);
    if (md == nullptr || key == nullptr || wanted == nullptr) return 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (EVP_Digest(content, (size_t)length, digest, &digest_length, md, nullptr) != 1 ||
        (unsigned int)wanted->length != digest_length || memcmp(wanted->data, digest, digest_length) != 0) {
        return 0;
    }
    unsigned char *attributes = nullptr;
    int attributes_length =
        ASN1_item_i2d((ASN1_VALUE *)info->auth_attr, &attributes, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (attributes_length <= 0) return 0;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    int verified = ctx != nullptr && EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
                   EVP_DigestVerify(ctx, info->enc_digest->data, (size_t)info->enc_digest->length, attributes,
                                    (size_t)attributes_length) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(attributes);
    ERR_clear_error();
    return verified;
}

// One DER element at data[0..n): its tag, contents and total length. -1
// when it does not fit.
int der_element(const uint8_t *data, size_t n, uint8_t *tag, const uint8_t **contents, size_t *length,
                size_t *total) {
    if (n < 2) return -1;
    *tag = data[0];
    size_t at = 2, size = data[1];
    if (size & 0x80) {
        size_t bytes = size & 0x7f;
        if (bytes == 0 || bytes > 4 || n < 2 + bytes) return -1;
        size = 0;
        for (size_t i = 0; i < bytes; i++) size = size << 8 | data[2 + i];
        at = 2 + bytes;
    }
    if (size > n - at) return -1;
    *contents = data + at;
    *length = size;
    *total = at + size;
    return 0;
}

// 1 when a text of the description holds a control character: UTF-16
// big-endian units (a BMPString) or single bytes.
int text_has_control(const uint8_t *text, size_t n, int utf16) {
    if (utf16) {
        if (n % 2 != 0) return 1;
        for (size_t i = 0; i < n; i += 2) {
            unsigned unit = (unsigned)text[i] << 8 | text[i + 1];
            if (unit < 0x20 || (unit >= 0x7f && unit < 0xa0) || unit == 0x2028 || unit == 0x2029) return 1;
        }
        return 0;
    }
    for (size_t i = 0; i < n; i++) {
        if (text[i] < 0x20 || text[i] == 0x7f) return 1;
    }
    return 0;
}

// An SpcString ([0] BMPString or [1] IA5String) or, where link is 1, an
// SpcLink ([0] IA5String URL, [1] moniker, [2] SpcString). 1 when it holds
// a control character or has another form.
int spc_text_unsafe(const uint8_t *data, size_t n, int link) {
    uint8_t tag;
    const uint8_t *contents;
    size_t length, total;
    if (der_element(data, n, &tag, &contents, &length, &total) != 0 || total != n) return 1;
    if (link) {
        if (tag == 0x80) return text_has_control(contents, length, 0);
        if (tag == 0xa1) return 0;  // a serialized object: never printed as text
        if (tag == 0xa2) return spc_text_unsafe(contents, length, 0);
        return 1;
    }
    if (tag == 0x80) return text_has_control(contents, length, 1);
    if (tag == 0x81) return text_has_control(contents, length, 0);
    return 1;
}

// 1 when an SpcSpOpusInfo value (a SEQUENCE of [0] program name and [1]
// link) holds a control character in a text or is not of that form.
int opus_info_unsafe(const uint8_t *data, size_t n) {
    uint8_t tag;
    const uint8_t *contents;
    size_t length, total;
    if (der_element(data, n, &tag, &contents, &length, &total) != 0 || tag != 0x30 || total != n) return 1;
    while (length > 0) {
        uint8_t field;
        const uint8_t *inner;
        size_t inner_length, field_total;
        if (der_element(contents, length, &field, &inner, &inner_length, &field_total) != 0) return 1;
        if ((field != 0xa0 && field != 0xa1) || spc_text_unsafe(inner, inner_length, field == 0xa1)) return 1;
        contents += field_total;
        length -= field_total;
    }
    return 0;
}

// 1 when the first signer's description (its program name or link) could
// print as more than one line, or cannot be read as text.
int description_unsafe(PKCS7_SIGNER_INFO *info) {
    ASN1_OBJECT *opus = OBJ_txt2obj(opus_info_oid, 1);
    if (opus == nullptr) return 1;
    int unsafe = 0;
    STACK_OF(X509_ATTRIBUTE) *attributes = info->auth_attr;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes) && !unsafe; i++) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(attributes, i);
        if (OBJ_cmp(X509_ATTRIBUTE_get0_object(attribute), opus) != 0) continue;
        for (int v = 0; v < X509_ATTRIBUTE_count(attribute); v++) {
            ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(attribute, v);
            if (value == nullptr || value->type != V_ASN1_SEQUENCE ||
                opus_info_unsafe(value->value.sequence->data, (size_t)value->value.sequence->length)) {
                unsafe = 1;
                break;
            }
        }
    }
    ASN1_OBJECT_free(opus);
    return unsafe;
}

// The extracted signature (a file of the private folder) as a PKCS #7
// SignedData; null with a message.
PKCS7 *signature_load(const char *signature_path, char *error, size_t cap) {
    int fd = open(signature_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FILE *in = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    struct stat st;
    if (in == nullptr || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        if (in != nullptr) {
            fclose(in);
        } else if (fd >= 0) {
            close(fd);
        }
        format_narrow(error, cap, "osslsigncode extracted no signature from the installer");
        return nullptr;
    }
    PKCS7 *p7 = d2i_PKCS7_fp(in, nullptr);
    fclose(in);
    if (p7 == nullptr || !PKCS7_type_is_signed(p7)) {
        if (p7 != nullptr) PKCS7_free(p7);
        format_narrow(error, cap, "the installer's signature is not a PKCS #7 SignedData");
        return nullptr;
    }
    return p7;
}

// The first signer's record and certificate of a loaded signature (either
// may be null); *signers is freed by the caller with sk_X509_free.
void signature_first_signer(PKCS7 *p7, PKCS7_SIGNER_INFO **info, STACK_OF(X509) **signers, X509 **signer) {
    STACK_OF(PKCS7_SIGNER_INFO) *infos = PKCS7_get_signer_info(p7);
    *info = infos != nullptr && sk_PKCS7_SIGNER_INFO_num(infos) > 0 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
    ERR_set_mark();
    *signers = PKCS7_get0_signers(p7, nullptr, 0);
    ERR_pop_to_mark();
    *signer = *signers != nullptr && sk_X509_num(*signers) > 0 ? sk_X509_value(*signers, 0) : nullptr;
}

// Reads the extracted signature p7, whose first signer's record is info and
// certificate signer (either may be null): the certificate and the facts
// that depend on it, whether its signature over the signed content
// verifies, its time stamp's stated time (into *timestamp_at, 0 when none
// can be read) and its description. A pinned signer's certificate goes to
// pinned_out (may be null) as PEM.
int read_signer(PKCS7 *p7, PKCS7_SIGNER_INFO *info, X509 *signer, InstallerCheck *check,
                long long *timestamp_at, FILE *pinned_out, char *error, size_t cap) {
    *timestamp_at = 0;
    ERR_clear_error();
    if (info != nullptr && description_unsafe(info)) {
        format_narrow(check->signature_problem, sizeof check->signature_problem,
                      "the signer's description (program name or link) holds a line break or another "
                      "control character, or is not text; osslsigncode prints it as it is, so it could "
                      "pose as lines of the signature's report");
    }
    if (info != nullptr) timestamp_time(info, timestamp_at, &check->timestamp_present);
    if (signer == nullptr || info == nullptr) {
        // No signing certificate: the facts stay zero, as on Windows.
        return 0;
    }
    {
        AuthenticodeFacts *facts = &check->facts;
        facts->certificate = 1;
        unsigned int length = 0;
        if (X509_digest(signer, EVP_sha1(), facts->thumbprint, &length) == 1 && length == 20) {
            facts->thumbprint_known = 1;
            facts->pinned = (uint32_t)authenticode_thumbprint_pinned(facts->thumbprint);
        }
        facts->self_signed = X509_NAME_cmp(X509_get_subject_name(signer), X509_get_issuer_name(signer)) == 0;
        char organization[256] = "";
        X509_NAME_get_text_by_NID(X509_get_subject_name(signer), NID_organizationName, organization,
                                  sizeof organization);
        char vendor[256];
        utf16_to_utf8(signer_organization(), vendor, sizeof vendor);
        facts->organization_match = organization[0] != 0 && strcmp(organization, vendor) == 0;
        X509_NAME_oneline(X509_get_subject_name(signer), check->signer, sizeof check->signer);
        long long not_after = asn1_time_seconds(X509_get0_notAfter(signer));
        if (not_after != 0) time_text(not_after, check->not_after, sizeof check->not_after);
        check->signature_verified = signer_signature_verifies(p7, info, signer);
        if (facts->pinned && pinned_out != nullptr &&
            (PEM_write_X509(pinned_out, signer) != 1 || fflush(pinned_out) != 0)) {
            format_narrow(error, cap, "cannot write the pinned certificate for the signature's check");
            return -1;
        }
    }
    return 0;
}

// Builds the chain of signer (the first signer of the signature p7; may be
// null) at the time `when` (Unix seconds), from the certificates the
// signature carries up to the trusted roots, with no revocation look-up,
// and records what it came to in check.
int judge_chain(PKCS7 *p7, X509 *signer, const char *trust_ca, long long when,
                InstallerCheck *check, char *error, size_t cap) {
    int result = -1;
    X509_STORE *store = X509_STORE_new();
    X509_STORE_CTX *ctx = X509_STORE_CTX_new();
    ChainErrors errors;
    memset(&errors, 0, sizeof errors);
    STACK_OF(X509) *chain = nullptr;
    X509 *top = nullptr;
    if (signer == nullptr) {
        result = 0;
        goto done;
    }
    if (store == nullptr || ctx == nullptr || X509_STORE_load_file(store, system_roots) != 1 ||
        (trust_ca != nullptr && X509_STORE_load_file(store, trust_ca) != 1)) {
        format_narrow(error, cap, "cannot load the trusted roots (%s%s%s)", system_roots,
                      trust_ca != nullptr ? ", " : "", trust_ca != nullptr ? trust_ca : "");
        goto done;
    }
    X509_STORE_set_verify_cb(store, chain_callback);
    if (X509_STORE_CTX_init(ctx, store, signer, p7->d.sign->cert) != 1) {
        format_narrow(error, cap, "cannot check the signer's certificate chain");
        goto done;
    }
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx), (time_t)when);
    X509_STORE_CTX_set_app_data(ctx, &errors);
    X509_verify_cert(ctx);
    ERR_clear_error();
    chain = X509_STORE_CTX_get0_chain(ctx);
    top = chain != nullptr && sk_X509_num(chain) > 0 ? sk_X509_value(chain, sk_X509_num(chain) - 1) : signer;
    if (errors.other > 0) {
        check->chain = INSTALLER_CHAIN_FAILED;
        check->chain_error = errors.first_other;
    } else if (errors.end > 0) {
        // A self-signed end is a root not given; any other end is an
        // issuer that is neither in the signature nor among the roots.
        int self_signed = X509_NAME_cmp(X509_get_subject_name(top), X509_get_issuer_name(top)) == 0;
        check->chain = self_signed ? INSTALLER_CHAIN_UNTRUSTED_ROOT : INSTALLER_CHAIN_INCOMPLETE;
        X509_NAME_oneline(self_signed ? X509_get_subject_name(top) : X509_get_issuer_name(top), check->chain_end,
                          sizeof check->chain_end);
    } else if (errors.expired > 0) {
        check->chain = INSTALLER_CHAIN_EXPIRED;
    } else {
        check->chain = INSTALLER_CHAIN_TRUSTED;
    }
    if (errors.expired > 0 && check->chain != INSTALLER_CHAIN_EXPIRED && check->chain_error == 0) {
        check->chain_error = X509_V_ERR_CERT_HAS_EXPIRED;
    }
    result = 0;
done:
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    return result;
}

// Appends the file source to the open stream out. -1 with a message.
int append_file(FILE *out, const char *source, char *error, size_t cap) {
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        format_narrow(error, cap, "cannot read the trusted roots %s: %s", source, strerror(errno));
        return -1;
    }
    char chunk[8192];
    ssize_t r;
    int result = 0;
    while ((r = read(in, chunk, sizeof chunk)) != 0) {
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || fwrite(chunk, 1, (size_t)r, out) != (size_t)r) {
            result = -1;
            break;
        }
    }
    close(in);
    if (result != 0 || fputc('\n', out) == EOF || fflush(out) != 0) {
        format_narrow(error, cap, "cannot gather the trusted roots (%s)", source);
        return -1;
    }
    return 0;
}

// A new file of the private folder, opened for writing.
FILE *private_file(const InstallerCopy *copy, const char *name, char *path, size_t capacity) {
    if (format_narrow(path, capacity, "%s/%s", copy->folder, name) < 0) return nullptr;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE *file = fdopen(fd, "wb");
    if (file == nullptr) close(fd);
    return file;
}

void hash_piece(void *context, const uint8_t *data, size_t length) {
    EVP_DigestUpdate((EVP_MD_CTX *)context, data, length);
}

}  // namespace

int installer_copy_make(const char *path, InstallerCopy *copy, char *error, size_t cap) {
    memset(copy, 0, sizeof *copy);
    int in = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in < 0) {
        if (errno == ELOOP) {
            format_narrow(error, cap,
                          "installer %s is a symbolic link; name the installer file itself (publish "
                          "reads, checks and copies exactly one file)",
                          path);
        } else {
            format_narrow(error, cap, "cannot open installer %s: %s", path, strerror(errno));
        }
        return -1;
    }
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        format_narrow(error, cap, "installer %s is not a regular file", path);
        close(in);
        return -1;
    }
    if (st.st_size <= 0 || (uint64_t)st.st_size > (uint64_t)MANIFEST_MAX_SIZE) {
        format_narrow(error, cap, "installer %s has %lld bytes; a release installer has 1 to 2147483648",
                      path, (long long)st.st_size);
        close(in);
        return -1;
    }
    const char *base = nullptr;
    int result = -1;
    int out = -1;
    EVP_MD_CTX *hash = EVP_MD_CTX_new();
    uint64_t total = 0;
    int copied;
    if (hash == nullptr || EVP_DigestInit_ex(hash, EVP_sha256(), nullptr) != 1) {
        format_narrow(error, cap, "out of memory checking installer %s", path);
        goto done;
    }
    if (private_folder_make("vq-release-check-XXXXXX", 0, copy->folder, sizeof copy->folder, &base, error,
                            cap) != 0) {
        copy->folder[0] = 0;
        goto done;
    }
    format_narrow(copy->path, sizeof copy->path, "%s/installer.exe", copy->folder);
    out = open(copy->path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        format_narrow(error, cap, "cannot create %s: %s", copy->path, strerror(errno));
        goto done;
    }
    // More than the largest installer is a file that grew while being read.
    copied = copy_fd(in, out, (uint64_t)MANIFEST_MAX_SIZE, hash_piece, hash, &total);
    if (copied == COPY_FD_READ_FAILED) {
        format_narrow(error, cap, "cannot read installer %s: %s", path, strerror(errno));
        goto done;
    }
    if (copied == COPY_FD_WRITE_FAILED) {
        format_narrow(error, cap, "cannot copy installer %s to %s: %s", path, copy->path,
                      errno != 0 ? strerror(errno) : "nothing written");
        goto done;
    }
    if (total != (uint64_t)st.st_size) {
        format_narrow(error, cap, "installer %s changed size while being read", path);
        goto done;
    }
    if (close(out) != 0) {
        out = -1;
        format_narrow(error, cap, "cannot write %s: %s", copy->path, strerror(errno));
        goto done;
    }
    out = -1;
    EVP_DigestFinal_ex(hash, copy->sha256, nullptr);
    copy->size = total;
    result = 0;
done:
    if (out >= 0) close(out);
    close(in);
    EVP_MD_CTX_free(hash);
    if (result != 0) installer_copy_remove(copy);
    return result;
}

void installer_copy_remove(InstallerCopy *copy) {
    if (copy->folder[0] != 0) remove_tree(copy->folder);
    memset(copy, 0, sizeof *copy);
}

int installer_check_copy(const InstallerCopy *copy, const char *trust_ca, InstallerCheck *check,
                         char *error, size_t cap) {
    memset(check, 0, sizeof *check);
    int fd = open(copy->path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        format_narrow(error, cap, "cannot open the checked copy %s: %s", copy->path, strerror(errno));
        return -1;
    }
    check_pe(fd, check);
    close(fd);
    if (!check->pe64) return 0;  // refused before its signature matters

    char roots[PATH_MAX], anchors[PATH_MAX], signature[PATH_MAX];
    FILE *roots_file = private_file(copy, "roots.pem", roots, sizeof roots);
    FILE *anchors_file = private_file(copy, "anchors.pem", anchors, sizeof anchors);
    char *output = (char *)heap_alloc(OUTPUT_CAPACITY);
    int result = -1;
    int rc = 0;
    // The extracted signature, loaded once for the signer and its chain.
    PKCS7 *p7 = nullptr;
    PKCS7_SIGNER_INFO *info = nullptr;
    STACK_OF(X509) *signers = nullptr;
    X509 *signer = nullptr;
    format_narrow(signature, sizeof signature, "%s/signature.der", copy->folder);
    if (roots_file == nullptr || anchors_file == nullptr || output == nullptr) {
        format_narrow(error, cap, "cannot make files in %s to check the installer: %s", copy->folder,
                      strerror(errno));
        goto done;
    }
    // Every root the machines trust: the time stamp's and the chain's. The
    // signer's signature is verified against these and, for a pinned
    // signer, its own certificate as the one more anchor.
    {
        const char *sources[2] = {system_roots, trust_ca};
        for (const char *source : sources) {
            if (source == nullptr) continue;
            if (append_file(roots_file, source, error, cap) != 0 ||
                append_file(anchors_file, source, error, cap) != 0) {
                goto done;
            }
        }
    }
    {
        char *extract_argv[] = {(char *)"osslsigncode", (char *)"extract-signature", (char *)"-in",
                                (char *)copy->path, (char *)"-out", signature, nullptr};
        rc = child_run(extract_argv, 0, output, OUTPUT_CAPACITY, nullptr, error, cap);
        if (rc < 0) goto done;
    }
    if (rc != 0) {
        if (has_line(output, output + strlen(output), "No signature found", nullptr, 1)) {
            check->status = AUTHENTICODE_TRUST_E_NOSIGNATURE;
            check->verdict = authenticode_verdict(check->status, &check->facts);
            result = 0;
        } else {
            char line[300];
            first_line(output, line, sizeof line);
            format_narrow(error, cap, "cannot extract the installer's signature (osslsigncode exit %d: %s)",
                          rc, line);
        }
        goto done;
    }
    {
        long long timestamp_at = 0;
        p7 = signature_load(signature, error, cap);
        if (p7 == nullptr) goto done;
        signature_first_signer(p7, &info, &signers, &signer);
        if (read_signer(p7, info, signer, check, &timestamp_at, anchors_file, error, cap) != 0) {
            goto done;
        }
        if (fclose(anchors_file) != 0) {
            anchors_file = nullptr;
            format_narrow(error, cap, "cannot write %s", anchors);
            goto done;
        }
        anchors_file = nullptr;
        // Only the primary signature (index 0), as Windows judges it, and no
        // revocation look-up: no CRL is fetched or demanded, as the setup
        // checks none.
        char *verify_argv[] = {(char *)"osslsigncode", (char *)"verify", (char *)"-index", (char *)"0",
                               (char *)"-ignore-crl", (char *)"-in", (char *)copy->path,
                               (char *)"-CAfile", anchors, (char *)"-TSA-CAfile", roots, nullptr};
        rc = child_run(verify_argv, 0, output, OUTPUT_CAPACITY, nullptr, error, cap);
        if (rc < 0) goto done;
        const char *begin, *end;
        primary_section(output, &begin, &end);
        check->tool_verified = rc == 0 && has_line(begin, end, "Signature verification: ok", nullptr, 1);
        check->facts.timestamp =
            (uint32_t)has_line(begin, end, "Timestamp Server Signature verification: ok", nullptr, 1);
        // The chain at the verified time stamp's time, as Windows judges
        // it; at the current time when there is none.
        check->judged_at = (long long)time(nullptr);
        if (check->facts.timestamp && timestamp_at != 0) {
            check->judged_at = timestamp_at;
            check->judged_at_timestamp = 1;
        }
        if (check->facts.certificate &&
            judge_chain(p7, signer, trust_ca, check->judged_at, check, error, cap) != 0) {
            goto done;
        }
        if (has_line(begin, end, "No signature found", nullptr, 1)) {
            check->status = AUTHENTICODE_TRUST_E_NOSIGNATURE;
        } else if (has_line(begin, end, "Calculated message digest", "MISMATCH", 0)) {
            check->status = AUTHENTICODE_TRUST_E_BAD_DIGEST;
        } else if (!has_line(begin, end, "Calculated message digest", nullptr, 0)) {
            // A signature osslsigncode cannot read: Windows would not read it either.
            check->status = status_not_trusted;
        } else if (!check->facts.certificate || !check->signature_verified) {
            check->status = status_not_trusted;  // the signer did not sign this content
        } else if (check->chain == INSTALLER_CHAIN_TRUSTED) {
            // Both readings must agree that the signature stands.
            check->status = check->tool_verified ? 0 : status_not_trusted;
        } else if (check->facts.pinned && !check->tool_verified) {
            // osslsigncode had the pinned certificate as one more anchor.
            check->status = status_not_trusted;
        } else if (check->chain == INSTALLER_CHAIN_UNTRUSTED_ROOT) {
            check->status = AUTHENTICODE_CERT_E_UNTRUSTEDROOT;
            check->facts.chain_untrusted_root_only = 1;
        } else if (check->chain == INSTALLER_CHAIN_EXPIRED) {
            check->status = status_expired;
        } else {
            check->status = status_chain_failed;
        }
    }
    check->verdict = authenticode_verdict(check->status, &check->facts);
    result = 0;
done:
    sk_X509_free(signers);
    PKCS7_free(p7);
    if (roots_file != nullptr) fclose(roots_file);
    if (anchors_file != nullptr) fclose(anchors_file);
    heap_free(output);
    unlink(roots);
    unlink(anchors);
    unlink(signature);
    return result;
}

int installer_check_refused(const InstallerCheck *check, char *message, size_t capacity) {
    if (!check->pe64) {
        format_narrow(message, capacity,
                      "%s. Fix: publish the x64 installer executable of the release, signed", check->pe_problem);
        return 1;
    }
    if (check->signature_problem[0] != 0) {
        format_narrow(message, capacity,
                      "the tool will not judge its signature: %s. Fix: sign it again with a plain one-line "
                      "description (osslsigncode -n NAME)",
                      check->signature_problem);
        return 1;
    }
    if (authenticode_verdict_accepted(check->verdict)) return 0;
    char summary[AUTHENTICODE_SUMMARY_CAPACITY];
    authenticode_summary(summary, sizeof summary, check->verdict, check->status, &check->facts);
    char chain_end[4 * sizeof check->chain_end + 1];
    text_escape_controls(check->chain_end, chain_end, sizeof chain_end);
    char judged[64];
    time_text(check->judged_at, judged, sizeof judged);

    // What was found, each fact as it is, whatever decided the verdict.
    char found[1400];
    found[0] = 0;
    if (check->verdict != AUTHENTICODE_NOT_SIGNED && check->verdict != AUTHENTICODE_MODIFIED &&
        check->facts.certificate) {
        const char *signature = check->signature_verified
                                    ? "the signer's signature over the file verifies"
                                    : "the signer's signature over the file does not verify";
        char chain[700];
        switch (check->chain) {
        case INSTALLER_CHAIN_TRUSTED:
            format_narrow(chain, sizeof chain, "its chain is complete to a root given (judged at %s, %s)", judged,
                          check->judged_at_timestamp ? "the time stamp's time" : "now");
            break;
        case INSTALLER_CHAIN_UNTRUSTED_ROOT:
            if (check->facts.pinned && check->facts.self_signed) {
                format_narrow(chain, sizeof chain, "it is self-signed, its own root, as a pinned certificate is");
            } else {
                format_narrow(chain, sizeof chain, "its chain ends at the root %s, which this check was not given",
                              chain_end);
            }
            break;
        case INSTALLER_CHAIN_INCOMPLETE:
            format_narrow(chain, sizeof chain,
                          "its chain is incomplete or ends at a root not given: it stops at the issuer %s, "
                          "which is neither in the signature nor among the roots given",
                          chain_end);
            break;
        case INSTALLER_CHAIN_EXPIRED:
            format_narrow(chain, sizeof chain, "the signing certificate (valid until %s) had expired or was not yet "
                          "valid at %s (%s)",
                          check->not_after, judged,
                          check->judged_at_timestamp ? "the time stamp's time" : "now: there is no valid time stamp");
            break;
        default:
            format_narrow(chain, sizeof chain, "its chain fails at %s: %s", judged,
                          X509_verify_cert_error_string(check->chain_error));
            break;
        }
        const char *signer = check->facts.pinned ? "the signer is the pinned certificate"
                             : check->facts.self_signed ? "the signer is self-signed and not pinned"
                             : check->facts.organization_match ? "the signer is the vendor"
                                                                : "the signer is not the vendor";
        const char *stamp = check->facts.timestamp   ? "time stamp verified"
                            : check->timestamp_present ? "a time stamp that does not verify"
                                                       : "no time stamp";
        format_narrow(found, sizeof found, " Found: %s; %s; %s; %s%s.", signature, chain, signer, stamp,
                      check->signature_verified && check->chain == INSTALLER_CHAIN_TRUSTED && !check->tool_verified
                          ? "; osslsigncode does not verify the signature"
                          : "");
    }

    const char *fix = "";
    switch (check->verdict) {
    case AUTHENTICODE_NOT_SIGNED:
        fix = "sign it with the vendor's code-signing certificate and a time stamp (osslsigncode sign "
              "-h sha256 ... -ts URL)";
        break;
    case AUTHENTICODE_MODIFIED:
        fix = "the file changed after it was signed: sign the final file again, and change nothing after";
        break;
    case AUTHENTICODE_PINNED_NO_TIMESTAMP:
    case AUTHENTICODE_TRUSTED_NO_TIMESTAMP:
        fix = check->timestamp_present
                  ? "its time stamp does not verify (from a time-stamping authority the machines do not trust, "
                    "or not made over this signature): sign it again with a time stamp from a time-stamping "
                    "authority that the machines trust (-ts URL) on its primary signature"
                  : "sign it again with a time stamp from a time-stamping authority that the machines trust "
                    "(-ts URL) on its primary signature; without one the signature ends with the certificate";
        break;
    case AUTHENTICODE_NOT_VENDOR:
        fix = "sign it with the vendor's own code-signing certificate (the organisation the setup "
              "demands, or the pinned certificate)";
        break;
    default:
        if (!check->facts.certificate) {
            fix = "the signature names no signing certificate that it carries: sign this file itself again";
        } else if (!check->signature_verified) {
            fix = "the signer's signature over the file does not verify (a signature block taken from "
                  "another file, or damaged): sign this file itself again";
        } else if (check->chain == INSTALLER_CHAIN_TRUSTED || (check->facts.pinned && !check->tool_verified)) {
            fix = "osslsigncode does not verify the signature: sign this file itself again";
        } else if (check->chain == INSTALLER_CHAIN_UNTRUSTED_ROOT || check->chain == INSTALLER_CHAIN_INCOMPLETE) {
            fix = !check->facts.organization_match && !check->facts.pinned
                      ? "sign it with the pinned certificate or a publicly trusted certificate of the vendor"
                  : check->chain == INSTALLER_CHAIN_INCOMPLETE
                      ? "if the issuer it stops at is a root that the machines trust but this one does not, name "
                        "it with --trust-ca FILE; otherwise carry the intermediate certificates in the signature "
                        "(osslsigncode -certs with the signing certificate and its intermediates)"
                      : "if that root is one the machines trust but this one does not, name it with --trust-ca "
                        "FILE; otherwise sign with a certificate from a root they trust";
        } else if (check->chain == INSTALLER_CHAIN_EXPIRED) {
            fix = check->judged_at_timestamp
                      ? "the certificate was not valid when the time stamp was made: sign it again with a valid "
                        "certificate and a time stamp"
                      : "the certificate has expired and no valid time stamp shows that it signed while it was "
                        "valid: sign it again with a valid certificate and a time stamp (-ts URL)";
        } else {
            fix = "sign it with the pinned certificate or a publicly trusted certificate of the vendor";
        }
        break;
    }
    char signer[4 * sizeof check->signer + 1];
    text_escape_controls(check->signer, signer, sizeof signer);
    format_narrow(message, capacity, "every setup refuses its signature: %s%s%s.%s Fix: %s", summary,
                  signer[0] != 0 ? "; signer " : "", signer, found, fix);
    return 1;
}
