// The Authenticode check of the downloaded installer: Windows verifies the
// signature, then the signer facts (thumbprint, self-signed, organisation,
// time stamp) are read from the verification state and the verdict is chosen
// by the rules in authenticode_rules.cpp.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <string.h>

#include "common/constants.h"
#include "common/memory.h"
#include "verify/verify.h"

enum { ORGANIZATION_CAPACITY = 256 };

// Time-stamp counter-signatures kept in a signer's unauthenticated
// attributes: PKCS #9 counterSignature and the RFC 3161 time-stamp token.
static const char kOidPkcs9CounterSign[] = "1.2.840.113549.1.9.6";
static const char kOidRfc3161CounterSign[] = "1.3.6.1.4.1.311.3.3.1";
static const char kOidSignedData[] = "1.2.840.113549.1.7.2";

static const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// 1 when the blob decodes as a PKCS #7 signer info (a PKCS #9 counter-signature).
static int blob_is_signer_info(const CRYPT_ATTR_BLOB *blob) {
    DWORD needed = 0;
    return CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, blob->pbData, blob->cbData, 0, nullptr,
                               nullptr, &needed)
               ? 1
               : 0;
}

// 1 when the blob decodes as a content info holding signed data (an RFC 3161
// time-stamp token).
static int blob_is_signed_data(const CRYPT_ATTR_BLOB *blob) {
    DWORD needed = 0;
    if (!CryptDecodeObjectEx(kEncoding, PKCS_CONTENT_INFO, blob->pbData, blob->cbData, 0, nullptr, nullptr,
                             &needed))
        return 0;
    if (needed == 0) return 0;
    CRYPT_CONTENT_INFO *info = (CRYPT_CONTENT_INFO *)heap_alloc(needed);
    if (info == nullptr) return 0;
    int found = 0;
    if (CryptDecodeObjectEx(kEncoding, PKCS_CONTENT_INFO, blob->pbData, blob->cbData, 0, nullptr, info,
                            &needed) &&
        info->pszObjId != nullptr && strcmp(info->pszObjId, kOidSignedData) == 0 && info->Content.cbData > 0)
        found = 1;
    heap_free(info);
    return found;
}

// The time stamp as the signer's own record holds it: a counter-signature
// attribute among the unauthenticated attributes whose value decodes as one.
// Some trust providers verify the signature but list no counter-signers;
// this finds the time stamp there too.
static int signer_has_timestamp_attribute(const CMSG_SIGNER_INFO *signer) {
    if (signer == nullptr) return 0;
    for (DWORD i = 0; i < signer->UnauthAttrs.cAttr; i++) {
        const CRYPT_ATTRIBUTE *attribute = &signer->UnauthAttrs.rgAttr[i];
        if (attribute->pszObjId == nullptr || attribute->cValue == 0 || attribute->rgValue == nullptr) continue;
        if (strcmp(attribute->pszObjId, kOidPkcs9CounterSign) == 0 && blob_is_signer_info(&attribute->rgValue[0]))
            return 1;
        if (strcmp(attribute->pszObjId, kOidRfc3161CounterSign) == 0 &&
            blob_is_signed_data(&attribute->rgValue[0]))
            return 1;
    }
    return 0;
}

static void facts_gather(HANDLE state, AuthenticodeFacts *facts) {
    memset(facts, 0, sizeof *facts);
    if (state == nullptr) return;
    CRYPT_PROVIDER_DATA *data = WTHelperProvDataFromStateData(state);
    if (data == nullptr) return;
    CRYPT_PROVIDER_SGNR *signer = WTHelperGetProvSignerFromChain(data, 0, FALSE, 0);
    if (signer == nullptr) return;
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

    if (WTHelperGetProvSignerFromChain(data, 0, TRUE, 0) != nullptr ||
        signer_has_timestamp_attribute(signer->psSigner))
        facts->timestamp = 1;
}

int authenticode_check(const wchar16 *path, HANDLE file, char *summary, size_t capacity) {
    // Both records start all zero; only the fields that matter are set.
    WINTRUST_FILE_INFO file_info;
    memset(&file_info, 0, sizeof file_info);
    file_info.cbStruct = sizeof file_info;
    file_info.pcwszFilePath = path;
    file_info.hFile = file;

    WINTRUST_DATA trust;
    memset(&trust, 0, sizeof trust);
    trust.cbStruct = sizeof trust;
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &file_info;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    uint32_t status = (uint32_t)WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &trust);

    AuthenticodeFacts facts;
    facts_gather(trust.hWVTStateData, &facts);
    AuthenticodeVerdict verdict = authenticode_verdict(status, &facts);
    authenticode_summary(summary, capacity, verdict, status, &facts);

    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &trust);
    return authenticode_verdict_accepted(verdict);
}
