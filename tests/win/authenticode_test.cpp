// authenticode_check on copies of the demo installer signed at test time
// with the test certificates: tests/verify/run-signed.sh signs them into the
// folder that VQ_SIGNED_FIXTURES names. Without the variable these tests are
// skipped, and that script fails when any of them skipped or none ran.
//
// The expected texts are this platform's: Wine reports status 0 for a chain
// whose root the machine does not trust (it never reports
// CERT_E_UNTRUSTEDROOT), so each case has one outcome here. On Windows
// without the test root, the vendor, unpinned and other signers would end as
// "signature rejected by Windows" instead; whether the file is accepted is
// the same on both.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "common/constants.h"
#include "common/text.h"
#include "verify/verify.h"

namespace {

std::wstring fixtures_folder() {
    wchar_t folder[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"VQ_SIGNED_FIXTURES", folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return L"";
    return folder;
}

struct Checked {
    int accepted = -1;
    std::string summary;
};

Checked check(const std::wstring &path, size_t capacity) {
    Checked c;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(f, INVALID_HANDLE_VALUE) << "missing fixture";
    if (f == INVALID_HANDLE_VALUE) return c;
    char summary[AUTHENTICODE_SUMMARY_CAPACITY];
    memset(summary, 0x5A, sizeof summary);
    summary[sizeof summary - 1] = 0;
    c.accepted = authenticode_check(path.c_str(), f, capacity ? summary : nullptr, capacity);
    c.summary = summary;
    CloseHandle(f);
    return c;
}

std::string text_narrow(const wchar_t *text) {
    std::string narrow;
    for (const wchar_t *c = text; *c; c++) narrow += (char)*c;
    return narrow;
}

std::string pinned_hex() {
    const uint8_t *t = pinned_thumbprint(0);
    std::string hex;
    for (int i = 0; i < 20; i++) {
        char two[3];
        snprintf(two, sizeof two, "%02X", t[i]);
        hex += two;
    }
    return hex;
}

class AuthenticodeCheck : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fixtures_folder();
        if (folder.empty()) GTEST_SKIP() << "VQ_SIGNED_FIXTURES not set (run by tests/verify/run-signed.sh)";
    }
    std::wstring folder;
};

TEST_F(AuthenticodeCheck, VerdictPerSigner) {
    struct Case {
        const wchar_t *file;
        int accepted;
        const char *text;                // the verdict's text on this platform
        const char *status;              // the WinVerifyTrust status in the summary, or null for any
        const char *timestamp;
    };
    const Case cases[] = {
        {L"pinned-ts.exe", 1,
         "pinned self-signed certificate (trusted on this PC)", nullptr, "yes"},
        {L"pinned-nots.exe", 0, "pinned certificate but no timestamp", nullptr, "no"},
        {L"unpinned-ts.exe", 0, "validly signed, but not by Hollbrek", nullptr,
         "yes"},
        {L"vendor-ts.exe", 1, "publicly trusted Hollbrek certificate", nullptr,
         "yes"},
        {L"vendor-nots.exe", 0, "trusted certificate but no timestamp", nullptr,
         "no"},
        {L"other-ts.exe", 0, "validly signed, but not by Hollbrek", nullptr,
         "yes"},
        {L"near1-ts.exe", 0, "validly signed, but not by Hollbrek", nullptr,
         "yes"},
        {L"near2-ts.exe", 0, "validly signed, but not by Hollbrek", nullptr,
         "yes"},
        {L"unsigned.exe", 0, "not signed", "0x800B0100", "no"},
        {L"modified.exe", 0, "the signature does not match the file (modified)", "0x80096010", nullptr},
    };
    for (const Case &c : cases) {
        Checked got = check(folder + L"\\" + c.file, AUTHENTICODE_SUMMARY_CAPACITY);
        EXPECT_EQ(got.accepted, c.accepted) << got.summary;
        std::string text = c.text;
        EXPECT_EQ(got.summary.compare(0, text.size() + 2, text + " ("), 0) << c.text << " | " << got.summary;
        if (c.status) {
            EXPECT_NE(got.summary.find(std::string("(WinVerifyTrust ") + c.status + ","), std::string::npos)
                << got.summary;
        }
        if (c.timestamp) {
            EXPECT_NE(got.summary.find(std::string(", timestamp ") + c.timestamp + ")"), std::string::npos)
                << got.summary;
        }
        if (wcsncmp(c.file, L"pinned", 6) == 0) {
            EXPECT_NE(got.summary.find(", signer " + pinned_hex() + ","), std::string::npos) << got.summary;
        }
        if (wcsncmp(c.file, L"unsigned", 8) == 0) {
            EXPECT_NE(got.summary.find(", signer none,"), std::string::npos);
        }
    }
}

TEST_F(AuthenticodeCheck, OnlyAProvenTimeStampCounts) {
    // The pinned signature is valid in every file; only the time stamp
    // differs. The trust provider lists no counter-signer here, so each time
    // stamp is verified by the check itself: every fake is no time stamp.
    struct Case {
        const wchar_t *file;
        int accepted;
        const char *text;
        const char *timestamp;
    };
    const Case cases[] = {
        {L"ts-valid.exe", 1, "pinned self-signed certificate", "yes"},
        {L"ts-copied.exe", 0, "pinned certificate but no timestamp", "no"},
        {L"ts-bad-signature.exe", 0, "pinned certificate but no timestamp", "no"},
        {L"ts-untrusted-ca.exe", 0, "pinned certificate but no timestamp", "no"},
        {L"ts-no-usage.exe", 0, "pinned certificate but no timestamp", "no"},
        {L"ts-pkcs9-copied.exe", 0, "pinned certificate but no timestamp", "no"},
    };
    for (const Case &c : cases) {
        Checked got = check(folder + L"\\" + c.file, AUTHENTICODE_SUMMARY_CAPACITY);
        std::string name = text_narrow(c.file);
        EXPECT_EQ(got.accepted, c.accepted) << name << ": " << got.summary;
        EXPECT_EQ(got.summary.compare(0, strlen(c.text), c.text), 0) << name << ": " << got.summary;
        EXPECT_NE(got.summary.find(", signer " + pinned_hex() + ","), std::string::npos) << name << ": " << got.summary;
        EXPECT_NE(got.summary.find(std::string(", timestamp ") + c.timestamp + ")"), std::string::npos)
            << name << ": " << got.summary;
    }
}

TEST_F(AuthenticodeCheck, SummaryBufferIsOptionalAndCut) {
    std::wstring path = folder + L"\\pinned-ts.exe";
    Checked none = check(path, 0);
    EXPECT_EQ(none.accepted, 1);
    EXPECT_EQ(none.summary, std::string(AUTHENTICODE_SUMMARY_CAPACITY - 1, 'Z')) << "nothing written";
    Checked cut = check(path, 9);
    EXPECT_EQ(cut.accepted, 1);
    EXPECT_EQ(cut.summary, "pinned s");
    Checked unsigned_cut = check(folder + L"\\unsigned.exe", 0);
    EXPECT_EQ(unsigned_cut.accepted, 0);
}

TEST_F(AuthenticodeCheck, RepeatedChecksGiveTheSameVerdict) {
    // The verification state of each call is released; a second call on the
    // same handle sees the same file.
    std::wstring path = folder + L"\\pinned-ts.exe";
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    char first[AUTHENTICODE_SUMMARY_CAPACITY];
    char second[AUTHENTICODE_SUMMARY_CAPACITY];
    EXPECT_EQ(authenticode_check(path.c_str(), f, first, sizeof first), 1);
    EXPECT_EQ(authenticode_check(path.c_str(), f, second, sizeof second), 1);
    EXPECT_STREQ(first, second);
    CloseHandle(f);
}

}  // namespace
