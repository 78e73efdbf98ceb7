// authenticode_check on copies of the demo installer signed at test time
// with the test certificates: tests/verify/run-signed.sh makes them
// (tests/verify/make-signed-fixtures.sh) into the folder that
// VQ_SIGNED_FIXTURES names, beside the table of what each must be judged. Without the variable these tests are
// skipped, and that script fails when any of them skipped or none ran.
//
// The expected texts are Windows' for a machine that trusts the test root
// but not the self-signed certificates: this build reproduces what Windows
// reports after the real trust check (see authenticode.cpp), so the pinned
// certificate ends with CERT_E_UNTRUSTEDROOT and its time stamp as a listed
// counter-signer, as on every customer's machine.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>
#include <wintrust.h>
#include <softpub.h>

#include <string>
#include <vector>

#include "common/constants.h"
#include "common/text.h"
#include "verify/verify.h"
#include "win_test_util.h"

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

// One row of tests/verify/signed-fixtures.table, the table that publish's
// installer check reads too.
struct TableRow {
    std::string file, roots, setup, verdict, status, timestamp, publish, sign_pe;
};

std::vector<TableRow> read_table(const std::wstring &path) {
    std::vector<TableRow> rows;
    std::string text = wintest::read_file(path);
    if (text == "<missing>") {
        ADD_FAILURE() << "missing table";
        return rows;
    }
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        size_t from = 0;
        for (;;) {
            size_t bar = line.find('|', from);
            fields.push_back(line.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
            if (bar == std::string::npos) break;
            from = bar + 1;
        }
        EXPECT_EQ(fields.size(), 8u) << "table row: " << line;
        if (fields.size() != 8) continue;
        rows.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6], fields[7]});
    }
    return rows;
}

TEST_F(AuthenticodeCheck, EveryFileOfTheSharedTable) {
    // Every row this machine can show: the prefix trusts the test root, so
    // the rows for a machine that does not, and the files that publish
    // refuses before their signature counts, are left to publish's test.
    std::vector<TableRow> rows = read_table(folder + L"\\signed-fixtures.table");
    int checked = 0;
    for (const TableRow &row : rows) {
        if (row.roots != "ca" || row.setup == "-") continue;
        ASSERT_TRUE(row.setup == "accepted" || row.setup == "refused") << row.file << ": " << row.setup;
        std::wstring name(row.file.begin(), row.file.end());
        Checked got = check(folder + L"\\" + name + L".exe", AUTHENTICODE_SUMMARY_CAPACITY);
        EXPECT_EQ(got.accepted, row.setup == "accepted" ? 1 : 0) << row.file << ": " << got.summary;
        EXPECT_EQ(got.summary.compare(0, row.verdict.size() + 2, row.verdict + " ("), 0)
            << row.file << ": " << row.verdict << " | " << got.summary;
        EXPECT_NE(got.summary.find("(WinVerifyTrust " + row.status + ","), std::string::npos)
            << row.file << ": " << got.summary;
        EXPECT_NE(got.summary.find(", timestamp " + row.timestamp + ")"), std::string::npos)
            << row.file << ": " << got.summary;
        if (row.verdict.find("pinned") != std::string::npos) {
            EXPECT_NE(got.summary.find(", signer " + pinned_hex() + ","), std::string::npos)
                << row.file << ": " << got.summary;
        }
        if (row.file == "unsigned") EXPECT_NE(got.summary.find(", signer none,"), std::string::npos);
        checked++;
    }
    EXPECT_GT(checked, 0) << "no row of the table was checked";
}

#if VQ_PROFILE_TEST
// What the test build hands the facts reader after the real trust check:
// the chain policy's result and the time stamp as a listed counter-signer.
struct Reported {
    uint32_t real_status = 0;
    uint32_t status = 0;
    DWORD counter_signers = 0;
    DWORD signer_type = 0;
    DWORD error = 0;
    DWORD chain_errors = 0xFFFFFFFFu;
    int timestamped = -1;
};

Reported reported(const std::wstring &path) {
    Reported r;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(f, INVALID_HANDLE_VALUE) << "missing fixture";
    if (f == INVALID_HANDLE_VALUE) return r;
    AuthenticodeTrust verification;
    authenticode_trust_open(path.c_str(), f, &verification);
    r.real_status = verification.status;
    r.status = r.real_status;
    CRYPT_PROVIDER_SGNR *signer = verification.signer;
    WindowsReport report;
    authenticode_windows_report(verification.data, &r.status, &signer, &report);
    if (signer != nullptr) {
        r.counter_signers = signer->csCounterSigners;
        if (signer->csCounterSigners > 0) {
            r.signer_type = signer->pasCounterSigners[0].dwSignerType;
            r.error = signer->pasCounterSigners[0].dwError;
            if (signer->pasCounterSigners[0].pChainContext != nullptr)
                r.chain_errors = signer->pasCounterSigners[0].pChainContext->TrustStatus.dwErrorStatus;
        }
        r.timestamped = authenticode_signer_timestamped(signer, nullptr);
    }
    authenticode_windows_report_free(&report);
    authenticode_trust_close(&verification);
    CloseHandle(f);
    return r;
}

TEST_F(AuthenticodeCheck, TheTestBuildReportsWhatWindowsReports) {
    const struct {
        const wchar_t *file;
        uint32_t status;        // the result Windows gives
        DWORD counter_signers;  // listed time stamps
        DWORD error;            // the listed one's error
        DWORD chain_errors;     // its chain's error bits
        int timestamped;        // the listed one counts (no message looked at)
    } cases[] = {
        {L"pinned-ts.exe", 0x800B0109u, 1, 0, 0, 1},
        {L"pinned-nots.exe", 0x800B0109u, 0, 0, 0xFFFFFFFFu, 0},
        {L"unpinned-ts.exe", 0x800B0109u, 1, 0, 0, 1},
        {L"vendor-ts.exe", 0, 1, 0, 0, 1},
        {L"vendor-nots.exe", 0, 0, 0, 0xFFFFFFFFu, 0},
        {L"ts-copied.exe", 0x800B0109u, 1, (DWORD)TRUST_E_TIME_STAMP, 0, 0},
        {L"ts-bad-signature.exe", 0x800B0109u, 1, (DWORD)TRUST_E_TIME_STAMP, 0, 0},
        // Its root came with the token, and this machine does not trust it.
        {L"ts-untrusted-ca.exe", 0x800B0109u, 1, 0, CERT_TRUST_IS_UNTRUSTED_ROOT, 0},
        {L"ts-no-usage.exe", 0x800B0109u, 1, 0, CERT_TRUST_IS_NOT_VALID_FOR_USAGE, 0},
        // The public shape: the authority's intermediate comes with the token.
        {L"vendor-rsa4096-ts.exe", 0, 1, 0, 0, 1},
        // Judged at the time stamp's time, the run-out leaf was valid;
        // without one it is judged now.
        {L"vendor-expired-ts.exe", 0, 1, 0, 0, 1},
        {L"vendor-expired-nots.exe", 0x800B0101u, 0, 0, 0xFFFFFFFFu, 0},
        // No intermediate, or a root of its own: the chain stops short.
        {L"vendor-noint-ts.exe", 0x800B010Au, 1, 0, 0, 1},
        {L"foreign-ts.exe", 0x800B010Au, 1, 0, 0, 1},
    };
    for (const auto &c : cases) {
        Reported r = reported(folder + L"\\" + c.file);
        std::string name = text_narrow(c.file);
        // This platform's own provider says 0 and lists nothing.
        EXPECT_EQ(r.real_status, 0u) << name;
        EXPECT_EQ(r.status, c.status) << name;
        EXPECT_EQ(r.counter_signers, c.counter_signers) << name;
        if (c.counter_signers > 0) {
            EXPECT_EQ(r.signer_type, (DWORD)SGNR_TYPE_TIMESTAMP) << name;
            EXPECT_EQ(r.error, c.error) << name;
            EXPECT_EQ(r.chain_errors & c.chain_errors, c.chain_errors) << name;
            if (c.chain_errors == 0) EXPECT_EQ(r.chain_errors, 0u) << name;
        }
        EXPECT_EQ(r.timestamped, c.timestamped) << name;
    }
}

#endif

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
