// The Authenticode check of the downloaded installer: Windows verifies the
// signature, then the signer facts (thumbprint, self-signed, organisation,
// time stamp, the errors of the signer's chain) are read from the
// verification state and the verdict is chosen by the rules in
// authenticode_rules.cpp. A time stamp counts only when it is proven: listed
// by the trust provider without error, or verified here with the system's
// message functions.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <stddef.h>
#include <string.h>

#include "common/constants.h"
#include "common/memory.h"
#include "verify/verify.h"

enum { ORGANIZATION_CAPACITY = 256, IMPRINT_CAPACITY = 64 };

// Time stamps kept in a signer's unauthenticated attributes: the PKCS #9
// counter-signature and the RFC 3161 time-stamp token. Unauthenticated
// attributes are covered neither by the signature nor by the file digest, so
// one counts only after it has been verified here.
static const char kOidPkcs9CounterSign[] = "1.2.840.113549.1.9.6";
static const char kOidRfc3161CounterSign[] = "1.3.6.1.4.1.311.3.3.1";
static const char kOidTimestampInfo[] = "1.2.840.113549.1.9.16.1.4";
static const char kOidMessageDigest[] = "1.2.840.113549.1.9.4";
static const char kOidTimestampUsage[] = "1.3.6.1.5.5.7.3.8";

static const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The hash algorithms a time-stamp token's message imprint may use.
struct ImprintAlgorithm {
    const char *oid;
    const wchar_t *name;
    DWORD length;
};
static const ImprintAlgorithm kImprintAlgorithms[] = {
    {"2.16.840.1.101.3.4.2.1", L"SHA256", 32},
    {"2.16.840.1.101.3.4.2.2", L"SHA384", 48},
    {"2.16.840.1.101.3.4.2.3", L"SHA512", 64},
};

// CryptDecodeObjectEx into a block from LocalAlloc (free with LocalFree), or null.
static void *decode_alloc(LPCSTR type, const BYTE *data, DWORD size) {
    void *decoded = nullptr;
    DWORD decoded_size = 0;
    if (!CryptDecodeObjectEx(kEncoding, type, data, size, CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded,
                             &decoded_size))
        return nullptr;
    return decoded;
}

// CryptMsgGetParam into a block from heap_alloc (free with heap_free), or null.
static void *message_param_alloc(HCRYPTMSG message, DWORD type, DWORD index, DWORD *size) {
    DWORD needed = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &needed) || needed == 0) return nullptr;
    void *block = heap_alloc(needed);
    if (block == nullptr) return nullptr;
    if (!CryptMsgGetParam(message, type, index, block, &needed)) {
        heap_free(block);
        return nullptr;
    }
    if (size != nullptr) *size = needed;
    return block;
}

// 1 when the certificate names the time-stamping usage in its own extended
// key usage extension.
static int certificate_has_timestamp_usage(PCCERT_CONTEXT certificate) {
    int usage_found = 0;
    DWORD size = 0;
    if (CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) && size > 0) {
        CERT_ENHKEY_USAGE *usage = (CERT_ENHKEY_USAGE *)heap_alloc(size);
        if (usage != nullptr) {
            if (CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
                for (DWORD i = 0; i < usage->cUsageIdentifier; i++) {
                    if (usage->rgpszUsageIdentifier[i] != nullptr &&
                        strcmp(usage->rgpszUsageIdentifier[i], kOidTimestampUsage) == 0)
                        usage_found = 1;
                }
            }
            heap_free(usage);
        }
    }
    return usage_found;
}

// The chain of a certificate for one usage at the time `when` (null: now),
// with the certificates in `extra` (may be null) as intermediates; null when
// none could be built. Nothing is fetched from the network.
static PCCERT_CHAIN_CONTEXT usage_chain(PCCERT_CONTEXT certificate, const char *usage, const FILETIME *when,
                                        HCERTSTORE extra) {
    LPSTR wanted[1] = {(LPSTR)usage};
    CERT_CHAIN_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = wanted;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, (FILETIME *)when, extra, &para,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain))
        return nullptr;
    return chain;
}

// The chain of a time-stamping certificate for that usage, now.
static PCCERT_CHAIN_CONTEXT timestamp_chain(PCCERT_CONTEXT certificate, HCERTSTORE extra) {
    return usage_chain(certificate, kOidTimestampUsage, nullptr, extra);
}

// 1 when the certificate names the time-stamping usage in its own extended
// key usage extension and chains, for that usage, to a root this PC trusts
// with no error at all. `extra` holds the certificates that came with the
// time stamp (intermediates). Nothing is fetched from the network.
static int timestamp_certificate_trusted(PCCERT_CONTEXT certificate, HCERTSTORE extra) {
    if (!certificate_has_timestamp_usage(certificate)) return 0;

    PCCERT_CHAIN_CONTEXT chain = timestamp_chain(certificate, extra);
    if (chain == nullptr) return 0;
    int trusted = chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR ? 1 : 0;
    CertFreeCertificateChain(chain);
    return trusted;
}

// The imprint algorithm of a hash algorithm identifier, or null for one
// that is not accepted.
static const ImprintAlgorithm *imprint_algorithm(const char *oid) {
    if (oid == nullptr) return nullptr;
    for (const ImprintAlgorithm &candidate : kImprintAlgorithms) {
        if (strcmp(candidate.oid, oid) == 0) return &candidate;
    }
    return nullptr;
}

// Hashes `data` with `algorithm` into `hash` (IMPRINT_CAPACITY bytes); 1 on success.
static int imprint_hash(const ImprintAlgorithm *algorithm, const BYTE *data, DWORD size, BYTE *hash) {
    DWORD hash_size = IMPRINT_CAPACITY;
    if (!CryptHashCertificate2(algorithm->name, 0, nullptr, data, size, hash, &hash_size)) return 0;
    return hash_size == algorithm->length ? 1 : 0;
}

// 1 when the signer of the decoded message `message` (index 0) has exactly
// one messageDigest attribute and it equals the hash of `content` with the
// signer's hash algorithm. The signature covers the attributes; this ties
// them to the content.
static int token_digest_matches_content(HCRYPTMSG message, const BYTE *content, DWORD content_size) {
    int matches = 0;
    int digests = 0;
    BYTE computed[IMPRINT_CAPACITY];
    const ImprintAlgorithm *algorithm = nullptr;
    CMSG_SIGNER_INFO *signer = (CMSG_SIGNER_INFO *)message_param_alloc(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr);
    if (signer != nullptr) algorithm = imprint_algorithm(signer->HashAlgorithm.pszObjId);
    if (algorithm != nullptr && imprint_hash(algorithm, content, content_size, computed)) {
        for (DWORD i = 0; i < signer->AuthAttrs.cAttr; i++) {
            const CRYPT_ATTRIBUTE *attribute = &signer->AuthAttrs.rgAttr[i];
            if (attribute->pszObjId == nullptr || strcmp(attribute->pszObjId, kOidMessageDigest) != 0) continue;
            digests++;
            if (attribute->cValue != 1 || attribute->rgValue == nullptr) continue;
            CRYPT_DATA_BLOB *digest = (CRYPT_DATA_BLOB *)decode_alloc(
                X509_OCTET_STRING, attribute->rgValue[0].pbData, attribute->rgValue[0].cbData);
            if (digest == nullptr) continue;
            if (digest->cbData == algorithm->length && memcmp(digest->pbData, computed, algorithm->length) == 0)
                matches = 1;
            LocalFree(digest);
        }
    }
    heap_free(signer);
    return digests == 1 ? matches : 0;
}

// 1 when the time-stamp info (the token's content, DER) holds a message
// imprint that equals the hash of `signed_value` (this signer's encrypted
// digest). The info is taken apart with the system's generic decoders:
// TSTInfo is a sequence whose third element is the imprint, a sequence of
// the hash algorithm and the hash.
static int token_imprint_matches(const BYTE *info, DWORD info_size, const CRYPT_DATA_BLOB *signed_value) {
    int matches = 0;
    CRYPT_SEQUENCE_OF_ANY *fields = nullptr;
    CRYPT_SEQUENCE_OF_ANY *imprint = nullptr;
    CRYPT_SEQUENCE_OF_ANY *algorithm = nullptr;
    LPSTR *algorithm_oid = nullptr;
    CRYPT_DATA_BLOB *hash = nullptr;
    const ImprintAlgorithm *chosen = nullptr;
    BYTE computed[IMPRINT_CAPACITY];

    fields = (CRYPT_SEQUENCE_OF_ANY *)decode_alloc(X509_SEQUENCE_OF_ANY, info, info_size);
    if (fields == nullptr || fields->cValue < 5) goto done;
    imprint = (CRYPT_SEQUENCE_OF_ANY *)decode_alloc(X509_SEQUENCE_OF_ANY, fields->rgValue[2].pbData,
                                                     fields->rgValue[2].cbData);
    if (imprint == nullptr || imprint->cValue != 2) goto done;
    algorithm = (CRYPT_SEQUENCE_OF_ANY *)decode_alloc(X509_SEQUENCE_OF_ANY, imprint->rgValue[0].pbData,
                                                       imprint->rgValue[0].cbData);
    if (algorithm == nullptr || algorithm->cValue < 1) goto done;
    algorithm_oid = (LPSTR *)decode_alloc(X509_OBJECT_IDENTIFIER, algorithm->rgValue[0].pbData,
                                          algorithm->rgValue[0].cbData);
    if (algorithm_oid == nullptr || *algorithm_oid == nullptr) goto done;
    chosen = imprint_algorithm(*algorithm_oid);
    if (chosen == nullptr) goto done;
    hash = (CRYPT_DATA_BLOB *)decode_alloc(X509_OCTET_STRING, imprint->rgValue[1].pbData, imprint->rgValue[1].cbData);
    if (hash == nullptr || hash->cbData != chosen->length) goto done;
    if (!imprint_hash(chosen, signed_value->pbData, signed_value->cbData, computed)) goto done;
    if (memcmp(hash->pbData, computed, chosen->length) == 0) matches = 1;
done:
    if (hash != nullptr) LocalFree(hash);
    if (algorithm_oid != nullptr) LocalFree(algorithm_oid);
    if (algorithm != nullptr) LocalFree(algorithm);
    if (imprint != nullptr) LocalFree(imprint);
    if (fields != nullptr) LocalFree(fields);
    return matches;
}

#if VQ_PROFILE_TEST
// The time a time-stamp info (DER) states: its fifth field, genTime. 1 with
// *when on success.
static int token_info_time(const BYTE *info, DWORD info_size, FILETIME *when) {
    int found = 0;
    CRYPT_SEQUENCE_OF_ANY *fields = (CRYPT_SEQUENCE_OF_ANY *)decode_alloc(X509_SEQUENCE_OF_ANY, info, info_size);
    if (fields != nullptr && fields->cValue >= 5) {
        DWORD size = sizeof *when;
        found = CryptDecodeObjectEx(kEncoding, X509_CHOICE_OF_TIME, fields->rgValue[4].pbData,
                                    fields->rgValue[4].cbData, 0, nullptr, when, &size)
                    ? 1
                    : 0;
    }
    if (fields != nullptr) LocalFree(fields);
    return found;
}
#endif

// An RFC 3161 time-stamp token (a signed-data content info) is sound when it
// has one signer whose certificate came with it, its signature verifies over
// its attributes, their message digest is the hash of the content, and the
// content is a time-stamp info whose imprint is the hash of `signed_value`.
// It counts as a time stamp when the signer's certificate is also a trusted
// time-stamping certificate (`trusted`, when not null, is set to that). A
// copy of that certificate that needs no store goes to `signer_out` (may be
// null; the caller frees what it gets, even when the token is not sound).
// The test build can also have the time the token states (`when`, may be
// null; set only for a sound token).
static int rfc3161_token_check(const CRYPT_ATTR_BLOB *token, const CRYPT_DATA_BLOB *signed_value, int *trusted,
                               PCCERT_CONTEXT *signer_out, FILETIME *when = nullptr) {
    int verified = 0;
    HCRYPTMSG message = nullptr;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    CERT_INFO *signer_id = nullptr;
    char *content_type = nullptr;
    BYTE *content = nullptr;
    DWORD content_size = 0;
    CRYPT_DATA_BLOB *inner = nullptr;
    const BYTE *info = nullptr;
    DWORD info_size = 0;
    DWORD type = 0;
    DWORD count = 0;
    DWORD size = sizeof type;
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para;

    message = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    if (message == nullptr) goto done;
    if (!CryptMsgUpdate(message, token->pbData, token->cbData, TRUE)) goto done;
    if (!CryptMsgGetParam(message, CMSG_TYPE_PARAM, 0, &type, &size) || type != CMSG_SIGNED) goto done;
    size = sizeof count;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &count, &size) || count != 1) goto done;
    content_type = (char *)message_param_alloc(message, CMSG_INNER_CONTENT_TYPE_PARAM, 0, &size);
    if (content_type == nullptr || size == 0 || content_type[size - 1] != 0 ||
        strcmp(content_type, kOidTimestampInfo) != 0)
        goto done;

    signer_id = (CERT_INFO *)message_param_alloc(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr);
    if (signer_id == nullptr) goto done;
    store = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message);
    if (store == nullptr) goto done;
    certificate = CertGetSubjectCertificateFromStore(store, kEncoding, signer_id);
    if (certificate == nullptr) goto done;

    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.dwSignerIndex = 0;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = (void *)certificate;
    if (!CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) goto done;

    // The content as the message gives it: the time-stamp info itself (a
    // sequence), or on some systems still wrapped in its octet string.
    content = (BYTE *)message_param_alloc(message, CMSG_CONTENT_PARAM, 0, &content_size);
    if (content == nullptr) goto done;
    inner = (CRYPT_DATA_BLOB *)decode_alloc(X509_OCTET_STRING, content, content_size);
    if (inner != nullptr) {
        info = inner->pbData;
        info_size = inner->cbData;
    } else {
        info = content;
        info_size = content_size;
    }
    if (!token_digest_matches_content(message, info, info_size)) goto done;
    if (!token_imprint_matches(info, info_size, signed_value)) goto done;
#if VQ_PROFILE_TEST
    if (when != nullptr && !token_info_time(info, info_size, when)) goto done;
#else
    (void)when;
#endif
    verified = 1;
    if (trusted != nullptr) *trusted = timestamp_certificate_trusted(certificate, store);
done:
    if (signer_out != nullptr && certificate != nullptr)
        *signer_out = CertCreateCertificateContext(kEncoding, certificate->pbCertEncoded, certificate->cbCertEncoded);
    if (inner != nullptr) LocalFree(inner);
    heap_free(content);
    heap_free(content_type);
    heap_free(signer_id);
    if (certificate != nullptr) CertFreeCertificateContext(certificate);
    if (store != nullptr) CertCloseStore(store, 0);
    if (message != nullptr) CryptMsgClose(message);
    return verified;
}

static int rfc3161_token_verified(const CRYPT_ATTR_BLOB *token, const CRYPT_DATA_BLOB *signed_value) {
    int trusted = 0;
    return rfc3161_token_check(token, signed_value, &trusted, nullptr) && trusted;
}

// A PKCS #9 counter-signature counts when the system verifies it over this
// signer (its signature, and its message digest equal to the hash of the
// signer's encrypted digest) with a certificate that came with the
// signature, and that certificate is a trusted time-stamping certificate.
static int pkcs9_countersignature_verified(const CRYPT_ATTR_BLOB *countersignature, const BYTE *encoded_signer,
                                           DWORD encoded_signer_size, HCERTSTORE store) {
    int verified = 0;
    PCCERT_CONTEXT certificate = nullptr;
    CMSG_SIGNER_INFO *counter =
        (CMSG_SIGNER_INFO *)decode_alloc(PKCS7_SIGNER_INFO, countersignature->pbData, countersignature->cbData);
    if (counter == nullptr || store == nullptr || encoded_signer == nullptr) goto done;
    {
        CERT_INFO wanted;
        memset(&wanted, 0, sizeof wanted);
        wanted.Issuer = counter->Issuer;
        wanted.SerialNumber = counter->SerialNumber;
        certificate = CertGetSubjectCertificateFromStore(store, kEncoding, &wanted);
    }
    if (certificate == nullptr) goto done;
    if (!CryptMsgVerifyCountersignatureEncodedEx(0, kEncoding, (BYTE *)encoded_signer, encoded_signer_size,
                                                 countersignature->pbData, countersignature->cbData,
                                                 CMSG_VERIFY_SIGNER_CERT, (void *)certificate, 0, nullptr))
        goto done;
    if (!timestamp_certificate_trusted(certificate, store)) goto done;
    verified = 1;
done:
    if (certificate != nullptr) CertFreeCertificateContext(certificate);
    if (counter != nullptr) LocalFree(counter);
    return verified;
}

// The time stamp as the signer's own record holds it, for trust providers
// that verify the signature but list no counter-signers: 1 when one
// counter-signature attribute among the unauthenticated attributes verifies.
static int signer_timestamp_attribute_verified(const CMSG_SIGNER_INFO *signer, HCRYPTMSG message) {
    if (signer == nullptr || message == nullptr) return 0;
    int verified = 0;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message);
    DWORD encoded_size = 0;
    BYTE *encoded = (BYTE *)message_param_alloc(message, CMSG_ENCODED_SIGNER, 0, &encoded_size);
    for (DWORD i = 0; i < signer->UnauthAttrs.cAttr && !verified; i++) {
        const CRYPT_ATTRIBUTE *attribute = &signer->UnauthAttrs.rgAttr[i];
        if (attribute->pszObjId == nullptr || attribute->rgValue == nullptr) continue;
        for (DWORD v = 0; v < attribute->cValue && !verified; v++) {
            if (strcmp(attribute->pszObjId, kOidRfc3161CounterSign) == 0)
                verified = rfc3161_token_verified(&attribute->rgValue[v], &signer->EncryptedHash);
            else if (strcmp(attribute->pszObjId, kOidPkcs9CounterSign) == 0)
                verified = pkcs9_countersignature_verified(&attribute->rgValue[v], encoded, encoded_size, store);
        }
    }
    heap_free(encoded);
    if (store != nullptr) CertCloseStore(store, 0);
    return verified;
}

// Provider records grew over the years: a member is read only when the
// record's own size says that it holds it.
#define RECORD_HOLDS(record, type, member) \
    ((record)->cbStruct >= offsetof(type, member) + sizeof((record)->member))

int authenticode_counter_signer_counts(const CRYPT_PROVIDER_SGNR *counter) {
    if (counter == nullptr || !RECORD_HOLDS(counter, CRYPT_PROVIDER_SGNR, pasCertChain)) return 0;
    if (counter->dwError != 0) return 0;
    if (counter->csCertChain == 0 || counter->pasCertChain == nullptr) return 0;
    const CRYPT_PROVIDER_CERT *first = &counter->pasCertChain[0];
    if (!RECORD_HOLDS(first, CRYPT_PROVIDER_CERT, pCert) || first->pCert == nullptr) return 0;
    if (!certificate_has_timestamp_usage(first->pCert)) return 0;
    // The chain the provider built for it must have no error; a record too
    // old to carry one gets its chain built here, for the time-stamping usage.
    if (RECORD_HOLDS(counter, CRYPT_PROVIDER_SGNR, pChainContext) && counter->pChainContext != nullptr)
        return counter->pChainContext->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR ? 1 : 0;
    // The certificates that came with it (its authority's intermediates) are
    // in its certificate's own store.
    return timestamp_certificate_trusted(first->pCert, first->pCert->hCertStore);
}

int authenticode_signer_timestamped(const CRYPT_PROVIDER_SGNR *signer, HCRYPTMSG message) {
    if (signer == nullptr) return 0;
    if (RECORD_HOLDS(signer, CRYPT_PROVIDER_SGNR, pasCounterSigners) && signer->csCounterSigners > 0) {
        if (signer->pasCounterSigners == nullptr) return 0;
        for (DWORD i = 0; i < signer->csCounterSigners; i++) {
            if (authenticode_counter_signer_counts(&signer->pasCounterSigners[i])) return 1;
        }
        return 0;
    }
    if (!RECORD_HOLDS(signer, CRYPT_PROVIDER_SGNR, psSigner)) return 0;
    return signer_timestamp_attribute_verified(signer->psSigner, message);
}

int authenticode_signer_chain_untrusted_root_only(const CRYPT_PROVIDER_SGNR *signer) {
    if (signer == nullptr || !RECORD_HOLDS(signer, CRYPT_PROVIDER_SGNR, pChainContext)) return 0;
    if (signer->pChainContext == nullptr) return 0;
    DWORD errors = signer->pChainContext->TrustStatus.dwErrorStatus;
    return (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 && (errors & ~(DWORD)CERT_TRUST_IS_UNTRUSTED_ROOT) == 0;
}

#if VQ_PROFILE_TEST
// The Authenticode chain policy's verdict on a chain, or `otherwise` when
// the policy cannot be asked.
static uint32_t chain_policy_status(PCCERT_CHAIN_CONTEXT chain, uint32_t otherwise) {
    CERT_CHAIN_POLICY_PARA policy;
    memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS verdict;
    memset(&verdict, 0, sizeof verdict);
    verdict.cbSize = sizeof verdict;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy, &verdict)) return otherwise;
    return verdict.dwError;
}

// The Authenticode policy's verdict on the signer's chain built at `when`,
// with the certificates the signature carries; CERT_E_EXPIRED when it
// cannot be built.
static uint32_t signer_status_at(const CRYPT_PROVIDER_DATA *data, const CRYPT_PROVIDER_SGNR *signer,
                                 const FILETIME *when) {
    uint32_t status = (uint32_t)CERT_E_EXPIRED;
    CRYPT_PROVIDER_CERT *first = WTHelperGetProvCertFromChain((CRYPT_PROVIDER_SGNR *)signer, 0);
    if (first == nullptr || first->pCert == nullptr || data->hMsg == nullptr) return status;
    HCERTSTORE carried = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, data->hMsg);
    PCCERT_CHAIN_CONTEXT chain = usage_chain(first->pCert, szOID_PKIX_KP_CODE_SIGNING, when, carried);
    if (chain != nullptr) {
        status = chain_policy_status(chain, status);
        CertFreeCertificateChain(chain);
    }
    if (carried != nullptr) CertCloseStore(carried, 0);
    return status;
}

// ---------------------------------------------------------------- the test build's Windows report
// The test build runs where the trust provider reports less than Windows
// does: it returns 0 for a signer whose root this machine does not trust,
// and it lists no counter-signers. After the real WinVerifyTrust, the test
// build therefore gives the facts reader what Windows reports for the same
// file, derived from what the provider did build, so that runs with the
// pinned certificate take the path they take on Windows:
// - the result: the Authenticode chain policy's verdict on the signer's
//   real chain (CERT_E_UNTRUSTEDROOT for a root this machine does not trust),
//   where the provider returned 0;
// - the counter-signers: the RFC 3161 time stamp among the signer's
//   unauthenticated attributes, listed as a time-stamp signer with its own
//   certificate, that certificate's real chain for the time-stamping usage,
//   and an error value when the token does not verify over this signer.
// The production build holds none of this.
void authenticode_windows_report_free(WindowsReport *report) {
    if (report->chain != nullptr) CertFreeCertificateChain(report->chain);
    if (report->certificate != nullptr) CertFreeCertificateContext(report->certificate);
    memset(report, 0, sizeof *report);
}

void authenticode_windows_report(const CRYPT_PROVIDER_DATA *data, uint32_t *status, CRYPT_PROVIDER_SGNR **signer,
                                 WindowsReport *report) {
    memset(report, 0, sizeof *report);
    if (data == nullptr || *signer == nullptr) return;
    const CRYPT_PROVIDER_SGNR *real = *signer;
    if (real->cbStruct < sizeof(CRYPT_PROVIDER_SGNR)) return;
    report->signer = *real;

    if (*status == 0 && real->pChainContext != nullptr) {
        *status = chain_policy_status(real->pChainContext, *status);
        // A chain that stops short of any root: Windows's policy names it.
        if (*status == 0 && (real->pChainContext->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN) != 0)
            *status = (uint32_t)CERT_E_CHAINING;
    }

    if (real->csCounterSigners == 0 && real->psSigner != nullptr) {
        const CMSG_SIGNER_INFO *info = real->psSigner;
        for (DWORD i = 0; i < info->UnauthAttrs.cAttr; i++) {
            const CRYPT_ATTRIBUTE *attribute = &info->UnauthAttrs.rgAttr[i];
            if (attribute->pszObjId == nullptr || strcmp(attribute->pszObjId, kOidRfc3161CounterSign) != 0 ||
                attribute->cValue < 1 || attribute->rgValue == nullptr)
                continue;
            PCCERT_CONTEXT certificate = nullptr;
            FILETIME stamped_at;
            memset(&stamped_at, 0, sizeof stamped_at);
            int sound = rfc3161_token_check(&attribute->rgValue[0], &info->EncryptedHash, nullptr, &certificate,
                                            &stamped_at);
            if (certificate == nullptr) break;  // no signer certificate: nothing to list
            report->certificate = certificate;
            // The token's own certificates (the authority's intermediates)
            // are at hand for its chain, as Windows has them.
            HCERTSTORE token_store = CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, 0, &attribute->rgValue[0]);
            report->chain = timestamp_chain(certificate, token_store);
            if (token_store != nullptr) CertCloseStore(token_store, 0);
            report->counter_certificate.cbStruct = sizeof report->counter_certificate;
            report->counter_certificate.pCert = certificate;
            report->counter.cbStruct = sizeof report->counter;
            report->counter.sftVerifyAsOf = real->sftVerifyAsOf;
            report->counter.csCertChain = 1;
            report->counter.pasCertChain = &report->counter_certificate;
            report->counter.dwSignerType = SGNR_TYPE_TIMESTAMP;
            report->counter.dwError = sound ? 0 : (DWORD)TRUST_E_TIME_STAMP;
            report->counter.pChainContext = report->chain;
            report->signer.csCounterSigners = 1;
            report->signer.pasCounterSigners = &report->counter;
            // A time stamp that counts makes Windows judge the signer's
            // chain at the time stamp's time, not now.
            if (*status == (uint32_t)CERT_E_EXPIRED && authenticode_counter_signer_counts(&report->counter))
                *status = signer_status_at(data, real, &stamped_at);
            break;
        }
    }
    *signer = &report->signer;
}
#endif

// The facts from the provider's record of the first signer (null: none).
static void facts_gather(const CRYPT_PROVIDER_DATA *data, CRYPT_PROVIDER_SGNR *signer, AuthenticodeFacts *facts) {
    memset(facts, 0, sizeof *facts);
    if (data == nullptr || signer == nullptr) return;
    CRYPT_PROVIDER_CERT *provider_cert = WTHelperGetProvCertFromChain(signer, 0);
    if (provider_cert == nullptr || provider_cert->pCert == nullptr) return;
    PCCERT_CONTEXT certificate = provider_cert->pCert;
    facts->certificate = 1;

    DWORD size = sizeof facts->thumbprint;
    if (CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, facts->thumbprint, &size) &&
        size == sizeof facts->thumbprint) {
        facts->thumbprint_known = 1;
    } else {
        memset(facts->thumbprint, 0, sizeof facts->thumbprint);
    }
    if (facts->thumbprint_known) facts->pinned = (uint32_t)authenticode_thumbprint_pinned(facts->thumbprint);

    if (certificate->pCertInfo != nullptr &&
        CertCompareCertificateName(X509_ASN_ENCODING, &certificate->pCertInfo->Subject,
                                   &certificate->pCertInfo->Issuer))
        facts->self_signed = 1;

    wchar_t organization[ORGANIZATION_CAPACITY];
    organization[0] = 0;
    DWORD length = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, (void *)szOID_ORGANIZATION_NAME,
                                      organization, ORGANIZATION_CAPACITY);
    if (length > 1 && wcscmp(organization, signer_organization()) == 0) facts->organization_match = 1;

    facts->timestamp = (uint32_t)authenticode_signer_timestamped(signer, data->hMsg);
    facts->chain_untrusted_root_only = (uint32_t)authenticode_signer_chain_untrusted_root_only(signer);
}

void authenticode_trust_open(const wchar16 *path, HANDLE file, AuthenticodeTrust *verification) {
    // Both records start all zero; only the fields that matter are set.
    memset(verification, 0, sizeof *verification);
    WINTRUST_FILE_INFO *file_info = &verification->file_info;
    file_info->cbStruct = sizeof *file_info;
    file_info->pcwszFilePath = path;
    file_info->hFile = file;

    WINTRUST_DATA *trust = &verification->trust;
    trust->cbStruct = sizeof *trust;
    trust->dwUIChoice = WTD_UI_NONE;
    trust->fdwRevocationChecks = WTD_REVOKE_NONE;
    trust->dwUnionChoice = WTD_CHOICE_FILE;
    trust->pFile = file_info;
    trust->dwStateAction = WTD_STATEACTION_VERIFY;
    trust->dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    verification->status = (uint32_t)WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, trust);
    verification->data = trust->hWVTStateData != nullptr
                             ? WTHelperProvDataFromStateData(trust->hWVTStateData)
                             : nullptr;
    verification->signer = verification->data != nullptr
                               ? WTHelperGetProvSignerFromChain(verification->data, 0, FALSE, 0)
                               : nullptr;
}

void authenticode_trust_close(AuthenticodeTrust *verification) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    verification->trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &verification->trust);
    verification->data = nullptr;
    verification->signer = nullptr;
}

int authenticode_check(const wchar16 *path, HANDLE file, char *summary, size_t capacity) {
    AuthenticodeTrust verification;
    authenticode_trust_open(path, file, &verification);
    uint32_t status = verification.status;
    CRYPT_PROVIDER_SGNR *signer = verification.signer;
    AuthenticodeFacts facts;
#if VQ_PROFILE_TEST
    // The test build reads what Windows would have reported for this file.
    WindowsReport report;
    authenticode_windows_report(verification.data, &status, &signer, &report);
#endif
    facts_gather(verification.data, signer, &facts);
#if VQ_PROFILE_TEST
    authenticode_windows_report_free(&report);
#endif
    AuthenticodeVerdict verdict = authenticode_verdict(status, &facts);
    authenticode_summary(summary, capacity, verdict, status, &facts);

    authenticode_trust_close(&verification);
    return authenticode_verdict_accepted(verdict);
}
