// The readers of the trust provider's records, on records built as the
// provider builds them: real chain contexts of the test certificates (made
// by this system's chain engine, with its status bits) and real
// time-stamping certificates. The pinned signer's chain has an untrusted
// root only; that alone is accepted. A listed counter-signer proves a time
// stamp only without error, with the time-stamping usage and a chain
// without error.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <stddef.h>
#include <string.h>

#include <string>

#include "tests/win/win_test_util.h"
#include "verify/verify.h"

namespace {

// A certificate of tests/signing, read from its PEM file; null when it
// cannot be read.
PCCERT_CONTEXT test_certificate(const char *name) {
    std::wstring path = std::wstring(L"" VQ_SOURCE_DIR) + L"\\tests\\signing\\";
    for (const char *c = name; *c; c++) path += (wchar_t)*c;
    path += L".crt";
    std::string pem = wintest::read_file(path);
    size_t begin = pem.find("-----BEGIN CERTIFICATE-----");
    size_t end = pem.find("-----END CERTIFICATE-----");
    if (begin == std::string::npos || end == std::string::npos) return nullptr;
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string der;
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = begin + 27; i < end; i++) {
        size_t value = alphabet.find(pem[i]);
        if (value == std::string::npos) continue;  // line breaks and padding
        bits = (bits << 6) | (uint32_t)value;
        count += 6;
        if (count >= 8) {
            count -= 8;
            der += (char)((bits >> count) & 0xFF);
        }
    }
    return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, (const BYTE *)der.data(),
                                        (DWORD)der.size());
}

// The intermediates of the test PKI, as a signature carries them.
HCERTSTORE intermediates = nullptr;

// The system's chain for a certificate, for a usage (or none), at a time
// (or now), with the test intermediates at hand; null when none could be
// built.
PCCERT_CHAIN_CONTEXT chain_of(PCCERT_CONTEXT certificate, const char *usage, FILETIME *when) {
    CERT_CHAIN_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    LPSTR wanted[1] = {(LPSTR)usage};
    if (usage != nullptr) {
        para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        para.RequestedUsage.Usage.cUsageIdentifier = 1;
        para.RequestedUsage.Usage.rgpszUsageIdentifier = wanted;
    }
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, when, intermediates, &para,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain))
        return nullptr;
    return chain;
}

// 1 January 2100: every test certificate has expired by then.
FILETIME far_future() {
    SYSTEMTIME t = {};
    t.wYear = 2100;
    t.wMonth = 1;
    t.wDay = 1;
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    return f;
}

const char kTimestampUsage[] = "1.3.6.1.5.5.7.3.8";
const char kCodeSigningUsage[] = "1.3.6.1.5.5.7.3.3";

// The certificates and chains of the tests, made once.
struct Pki {
    PCCERT_CONTEXT pinned, vendor, other, tsa;
    PCCERT_CHAIN_CONTEXT pinned_now, pinned_expired, pinned_for_timestamps, vendor_now, vendor_expired,
        other_now, tsa_as_code_signer, tsa_now, tsa_expired;
};

class AuthenticodeRecords : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FILETIME later = far_future();
        intermediates = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        for (const char *name : {"codesign-ca", "tsa-ca"}) {
            PCCERT_CONTEXT intermediate = test_certificate(name);
            if (intermediates != nullptr && intermediate != nullptr)
                CertAddCertificateContextToStore(intermediates, intermediate, CERT_STORE_ADD_ALWAYS, nullptr);
            if (intermediate != nullptr) CertFreeCertificateContext(intermediate);
        }
        pki.pinned = test_certificate("pinned");
        pki.vendor = test_certificate("vendor");
        pki.other = test_certificate("other");
        pki.tsa = test_certificate("tsa");
        pki.pinned_now = chain_of(pki.pinned, nullptr, nullptr);
        pki.pinned_expired = chain_of(pki.pinned, nullptr, &later);
        pki.pinned_for_timestamps = chain_of(pki.pinned, kTimestampUsage, nullptr);
        pki.vendor_now = chain_of(pki.vendor, kCodeSigningUsage, nullptr);
        pki.vendor_expired = chain_of(pki.vendor, kCodeSigningUsage, &later);
        pki.other_now = chain_of(pki.other, kCodeSigningUsage, nullptr);
        pki.tsa_as_code_signer = chain_of(pki.tsa, kCodeSigningUsage, nullptr);
        pki.tsa_now = chain_of(pki.tsa, kTimestampUsage, nullptr);
        pki.tsa_expired = chain_of(pki.tsa, kTimestampUsage, &later);
    }
    static void TearDownTestSuite() {
        for (PCCERT_CHAIN_CONTEXT chain :
             {pki.pinned_now, pki.pinned_expired, pki.pinned_for_timestamps, pki.vendor_now, pki.vendor_expired,
              pki.other_now, pki.tsa_as_code_signer, pki.tsa_now, pki.tsa_expired}) {
            if (chain != nullptr) CertFreeCertificateChain(chain);
        }
        for (PCCERT_CONTEXT certificate : {pki.pinned, pki.vendor, pki.other, pki.tsa}) {
            if (certificate != nullptr) CertFreeCertificateContext(certificate);
        }
        if (intermediates != nullptr) CertCloseStore(intermediates, 0);
        intermediates = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(pki.pinned, nullptr);
        ASSERT_NE(pki.vendor, nullptr);
        ASSERT_NE(pki.other, nullptr);
        ASSERT_NE(pki.tsa, nullptr);
    }
    static Pki pki;
};
Pki AuthenticodeRecords::pki;

// A signer record as the provider fills it: its certificate and chain.
struct SignerRecord {
    CRYPT_PROVIDER_CERT certificate;
    CRYPT_PROVIDER_SGNR signer;
    SignerRecord(PCCERT_CONTEXT cert, PCCERT_CHAIN_CONTEXT chain, DWORD error) {
        memset(&certificate, 0, sizeof certificate);
        certificate.cbStruct = sizeof certificate;
        certificate.pCert = cert;
        memset(&signer, 0, sizeof signer);
        signer.cbStruct = sizeof signer;
        signer.csCertChain = 1;
        signer.pasCertChain = &certificate;
        signer.dwError = error;
        signer.pChainContext = chain;
    }
};

DWORD status_of(PCCERT_CHAIN_CONTEXT chain) {
    return chain == nullptr ? 0xFFFFFFFFu : chain->TrustStatus.dwErrorStatus;
}

TEST_F(AuthenticodeRecords, TheSystemsChainsHaveTheStatusBitsWindowsGives) {
    // What this platform's chain engine says of the test certificates, with
    // the test root trusted on this machine: the pinned certificate is its
    // own untrusted root; the others chain to the trusted root.
    EXPECT_EQ(status_of(pki.pinned_now), (DWORD)CERT_TRUST_IS_UNTRUSTED_ROOT);
    EXPECT_EQ(status_of(pki.vendor_now), (DWORD)CERT_TRUST_NO_ERROR);
    EXPECT_EQ(status_of(pki.other_now), (DWORD)CERT_TRUST_NO_ERROR);
    EXPECT_EQ(status_of(pki.tsa_now), (DWORD)CERT_TRUST_NO_ERROR);
    // Expired, or asked for a usage it does not have: further bits.
    EXPECT_EQ(status_of(pki.pinned_expired) & CERT_TRUST_IS_UNTRUSTED_ROOT, (DWORD)CERT_TRUST_IS_UNTRUSTED_ROOT);
    EXPECT_NE(status_of(pki.pinned_expired) & CERT_TRUST_IS_NOT_TIME_VALID, 0u);
    EXPECT_NE(status_of(pki.vendor_expired) & CERT_TRUST_IS_NOT_TIME_VALID, 0u);
    EXPECT_NE(status_of(pki.pinned_for_timestamps) & CERT_TRUST_IS_NOT_VALID_FOR_USAGE, 0u);
    EXPECT_NE(status_of(pki.tsa_as_code_signer) & CERT_TRUST_IS_NOT_VALID_FOR_USAGE, 0u);
    EXPECT_NE(status_of(pki.tsa_expired) & CERT_TRUST_IS_NOT_TIME_VALID, 0u);
}

TEST_F(AuthenticodeRecords, OnlyAnUntrustedRootAloneIsAccepted) {
    const struct {
        const char *name;
        PCCERT_CONTEXT certificate;
        PCCERT_CHAIN_CONTEXT chain;
        int accepted;
    } cases[] = {
        {"pinned", pki.pinned, pki.pinned_now, 1},
        {"pinned, expired", pki.pinned, pki.pinned_expired, 0},
        {"pinned, asked for time stamping", pki.pinned, pki.pinned_for_timestamps, 0},
        {"vendor (no error at all)", pki.vendor, pki.vendor_now, 0},
        {"vendor, expired", pki.vendor, pki.vendor_expired, 0},
        {"other", pki.other, pki.other_now, 0},
        {"time-stamping certificate as a code signer", pki.tsa, pki.tsa_as_code_signer, 0},
        {"no chain", pki.pinned, nullptr, 0},
    };
    for (const auto &c : cases) {
        SignerRecord record(c.certificate, c.chain, 0);
        EXPECT_EQ(authenticode_signer_chain_untrusted_root_only(&record.signer), c.accepted)
            << c.name << " 0x" << std::hex << status_of(c.chain);
    }
    EXPECT_EQ(authenticode_signer_chain_untrusted_root_only(nullptr), 0);
}

TEST_F(AuthenticodeRecords, EveryOtherErrorBitAloneOrWithTheUntrustedRootIsRefused) {
    // The pinned certificate's real chain, its status replaced bit by bit.
    ASSERT_NE(pki.pinned_now, nullptr);
    CERT_CHAIN_CONTEXT copy = *pki.pinned_now;
    SignerRecord record(pki.pinned, &copy, 0);
    for (int bit = 0; bit < 32; bit++) {
        DWORD error = 1u << bit;
        if (error == CERT_TRUST_IS_UNTRUSTED_ROOT) continue;
        copy.TrustStatus.dwErrorStatus = error;
        EXPECT_EQ(authenticode_signer_chain_untrusted_root_only(&record.signer), 0) << std::hex << error;
        copy.TrustStatus.dwErrorStatus = error | CERT_TRUST_IS_UNTRUSTED_ROOT;
        EXPECT_EQ(authenticode_signer_chain_untrusted_root_only(&record.signer), 0) << std::hex << error;
    }
    copy.TrustStatus.dwErrorStatus = CERT_TRUST_IS_UNTRUSTED_ROOT;
    EXPECT_EQ(authenticode_signer_chain_untrusted_root_only(&record.signer), 1);
}

TEST_F(AuthenticodeRecords, ARecordTooShortForAChainIsNotRead) {
    // An older provider's record ends before the chain context: the member
    // is never read (here it holds a chain that would be accepted).
    SignerRecord record(pki.pinned, pki.pinned_now, 0);
    record.signer.cbStruct = offsetof(CRYPT_PROVIDER_SGNR, pChainContext);
    EXPECT_EQ(authenticode_signer_chain_untrusted_root_only(&record.signer), 0);
}

TEST_F(AuthenticodeRecords, ACounterSignerCountsOnlyWithoutAnyError) {
    const struct {
        const char *name;
        PCCERT_CONTEXT certificate;
        PCCERT_CHAIN_CONTEXT chain;
        DWORD error;
        int counts;
    } cases[] = {
        {"time-stamping certificate, chain without error", pki.tsa, pki.tsa_now, 0, 1},
        {"its chain expired", pki.tsa, pki.tsa_expired, 0, 0},
        {"its chain for another usage", pki.tsa, pki.tsa_as_code_signer, 0, 0},
        {"a certificate without the time-stamping usage", pki.vendor, pki.vendor_now, 0, 0},
        {"the pinned certificate", pki.pinned, pki.pinned_now, 0, 0},
        // Every error the provider can set on it: no time stamp.
        {"TRUST_E_TIME_STAMP", pki.tsa, pki.tsa_now, (DWORD)TRUST_E_TIME_STAMP, 0},
        {"TRUST_E_COUNTER_SIGNER", pki.tsa, pki.tsa_now, (DWORD)TRUST_E_COUNTER_SIGNER, 0},
        {"TRUST_E_BAD_DIGEST", pki.tsa, pki.tsa_now, (DWORD)TRUST_E_BAD_DIGEST, 0},
        {"TRUST_E_NOSIGNATURE", pki.tsa, pki.tsa_now, (DWORD)TRUST_E_NOSIGNATURE, 0},
        {"TRUST_E_NO_SIGNER_CERT", pki.tsa, pki.tsa_now, (DWORD)TRUST_E_NO_SIGNER_CERT, 0},
        {"CERT_E_EXPIRED", pki.tsa, pki.tsa_now, (DWORD)CERT_E_EXPIRED, 0},
        {"CERT_E_UNTRUSTEDROOT", pki.tsa, pki.tsa_now, (DWORD)CERT_E_UNTRUSTEDROOT, 0},
        {"CERT_E_CHAINING", pki.tsa, pki.tsa_now, (DWORD)CERT_E_CHAINING, 0},
        {"CERT_E_WRONG_USAGE", pki.tsa, pki.tsa_now, (DWORD)CERT_E_WRONG_USAGE, 0},
        {"CERT_E_REVOKED", pki.tsa, pki.tsa_now, (DWORD)CERT_E_REVOKED, 0},
        {"NTE_BAD_SIGNATURE", pki.tsa, pki.tsa_now, (DWORD)NTE_BAD_SIGNATURE, 0},
        {"CRYPT_E_HASH_VALUE", pki.tsa, pki.tsa_now, (DWORD)CRYPT_E_HASH_VALUE, 0},
        {"1", pki.tsa, pki.tsa_now, 1, 0},
        {"0xFFFFFFFF", pki.tsa, pki.tsa_now, 0xFFFFFFFFu, 0},
    };
    for (const auto &c : cases) {
        SignerRecord counter(c.certificate, c.chain, c.error);
        EXPECT_EQ(authenticode_counter_signer_counts(&counter.signer), c.counts) << c.name;
    }
    // Every chain error bit of the time-stamping certificate's real chain.
    ASSERT_NE(pki.tsa_now, nullptr);
    CERT_CHAIN_CONTEXT copy = *pki.tsa_now;
    SignerRecord counter(pki.tsa, &copy, 0);
    for (int bit = 0; bit < 32; bit++) {
        copy.TrustStatus.dwErrorStatus = 1u << bit;
        EXPECT_EQ(authenticode_counter_signer_counts(&counter.signer), 0) << bit;
    }
    EXPECT_EQ(authenticode_counter_signer_counts(nullptr), 0);
}

TEST_F(AuthenticodeRecords, ACounterSignerRecordIsReadOnlyAsFarAsItReaches) {
    // Too short for a chain context: its chain is built here, for the
    // time-stamping usage; the member itself is never read (here it holds a
    // chain with an error). The certificate comes in a store with the
    // intermediates that came with it, as the provider's certificates do.
    PCCERT_CONTEXT tsa_as_carried = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(intermediates, pki.tsa, CERT_STORE_ADD_USE_EXISTING, &tsa_as_carried));
    SignerRecord counter(tsa_as_carried, pki.tsa_expired, 0);
    counter.signer.cbStruct = offsetof(CRYPT_PROVIDER_SGNR, pChainContext);
    EXPECT_EQ(authenticode_counter_signer_counts(&counter.signer), 1);
    SignerRecord alone(pki.tsa, pki.tsa_expired, 0);
    alone.signer.cbStruct = offsetof(CRYPT_PROVIDER_SGNR, pChainContext);
    EXPECT_EQ(authenticode_counter_signer_counts(&alone.signer), 0) << "its intermediate is nowhere";
    CertFreeCertificateContext(tsa_as_carried);
    SignerRecord wrong(pki.vendor, pki.vendor_now, 0);
    wrong.signer.cbStruct = offsetof(CRYPT_PROVIDER_SGNR, pChainContext);
    EXPECT_EQ(authenticode_counter_signer_counts(&wrong.signer), 0);
    // Too short for its certificates: nothing proves it.
    SignerRecord bare(pki.tsa, pki.tsa_now, 0);
    bare.signer.cbStruct = offsetof(CRYPT_PROVIDER_SGNR, pasCertChain);
    EXPECT_EQ(authenticode_counter_signer_counts(&bare.signer), 0);
    // A certificate record too short for its certificate.
    SignerRecord short_certificate(pki.tsa, pki.tsa_now, 0);
    short_certificate.certificate.cbStruct = offsetof(CRYPT_PROVIDER_CERT, pCert);
    EXPECT_EQ(authenticode_counter_signer_counts(&short_certificate.signer), 0);
}

TEST_F(AuthenticodeRecords, AListedTimeStampCountsWhenOneCounterSignerDoes) {
    SignerRecord good(pki.tsa, pki.tsa_now, 0);
    SignerRecord failed(pki.tsa, pki.tsa_now, (DWORD)TRUST_E_TIME_STAMP);
    SignerRecord wrong_usage(pki.vendor, pki.vendor_now, 0);
    CRYPT_PROVIDER_SGNR counters[3] = {failed.signer, wrong_usage.signer, good.signer};
    SignerRecord signer(pki.pinned, pki.pinned_now, 0);
    signer.signer.pasCounterSigners = counters;
    signer.signer.csCounterSigners = 3;
    EXPECT_EQ(authenticode_signer_timestamped(&signer.signer, nullptr), 1);
    // None of those listed counts: no time stamp, whatever the signature
    // itself holds (no message is looked at).
    signer.signer.csCounterSigners = 2;
    EXPECT_EQ(authenticode_signer_timestamped(&signer.signer, nullptr), 0);
    // None listed and no signer information: nothing to verify.
    signer.signer.csCounterSigners = 0;
    EXPECT_EQ(authenticode_signer_timestamped(&signer.signer, nullptr), 0);
    // A record too short to list counter-signers is not read past its end.
    signer.signer.csCounterSigners = 3;
    signer.signer.cbStruct = offsetof(CRYPT_PROVIDER_SGNR, csCounterSigners);
    EXPECT_EQ(authenticode_signer_timestamped(&signer.signer, nullptr), 0);
    EXPECT_EQ(authenticode_signer_timestamped(nullptr, nullptr), 0);
}

}  // namespace
