// file_sha256: exact lengths, chunk boundaries, files that are too long or
// too short, progress and stop.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "verify/verify.h"
#include "win_test_util.h"

namespace {

const uint64_t kMiB = 1048576;

// Test bytes: byte i is (i * 31 + 7) mod 256.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)((i * 31 + 7) & 0xFF);
    return s;
}

struct Calls {
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    int stop_at = 0;  // stop on this call (1-based); 0 never
};

int record(void *context, uint64_t done, uint64_t total) {
    Calls *calls = (Calls *)context;
    calls->seen.push_back({done, total});
    return calls->stop_at != 0 && (int)calls->seen.size() >= calls->stop_at ? 1 : 0;
}

class FileSha256 : public ::testing::Test {
protected:
    std::wstring folder = wintest::temp_folder(L"digest");

    HANDLE open_with(const std::string &data) {
        std::wstring path = folder + L"\\f" + std::to_wstring(counter_++);
        EXPECT_TRUE(wintest::write_file(path, data));
        return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    // 0 or -1, with the digest as hex ("untouched" when not written).
    int digest_of(const std::string &data, uint64_t length, std::string *hex, Calls *calls = nullptr) {
        HANDLE f = open_with(data);
        EXPECT_NE(f, INVALID_HANDLE_VALUE);
        uint8_t digest[32];
        memset(digest, 0xAB, sizeof digest);
        int result = file_sha256(f, length, digest, calls ? record : nullptr, calls);
        CloseHandle(f);
        uint8_t untouched[32];
        memset(untouched, 0xAB, sizeof untouched);
        if (memcmp(digest, untouched, 32) == 0) {
            *hex = "untouched";
        } else {
            char text[65];
            hex_encode(digest, 32, text);
            *hex = text;
        }
        return result;
    }

private:
    int counter_ = 0;
};

TEST_F(FileSha256, ReferenceDigestsAtExactLengths) {
    // Digests from Python's hashlib over the same bytes, and FIPS 180-2's
    // one million 'a' and empty-input vectors.
    struct Case {
        std::string data;
        const char *hex;
        std::vector<std::pair<uint64_t, uint64_t>> progress;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", {}},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
         {{1000000, 1000000}}},
        {pattern(kMiB), "06b7bbfb7824aa03382051691630eb26de85102d1b08a81e907ec0744cd8a286", {{kMiB, kMiB}}},
        {pattern(kMiB + 1), "0d09f3eabb5c78e5d435c41e3b3755f1c4d038657f739d0be0083c24e71235df",
         {{kMiB, kMiB + 1}, {kMiB + 1, kMiB + 1}}},
        {pattern(3 * kMiB + 5), "aacbf7fdf74148b96f47b5a44d8be9f8d52b59c291c5f60cfb68671b58059e56",
         {{kMiB, 3 * kMiB + 5}, {2 * kMiB, 3 * kMiB + 5}, {3 * kMiB, 3 * kMiB + 5}, {3 * kMiB + 5, 3 * kMiB + 5}}},
    };
    for (const Case &c : cases) {
        Calls calls;
        std::string hex;
        EXPECT_EQ(digest_of(c.data, c.data.size(), &hex, &calls), 0) << c.data.size();
        EXPECT_EQ(hex, c.hex) << c.data.size();
        EXPECT_EQ(calls.seen, c.progress) << c.data.size();
    }
}

TEST_F(FileSha256, FileMustEndExactlyAtTheExpectedLength) {
    struct Case {
        size_t file_size;
        uint64_t expected;
    };
    const Case cases[] = {
        {kMiB + 1, kMiB},   // one byte too many, found only by the end-of-file read
        {1, 0},             // expected empty, file is not
        {kMiB - 1, kMiB},   // short read in the only chunk
        {kMiB, kMiB + 1},   // short read in the second chunk
        {0, 1},
    };
    for (const Case &c : cases) {
        Calls calls;
        std::string hex;
        EXPECT_EQ(digest_of(pattern(c.file_size), c.expected, &hex, &calls), -1) << c.file_size;
        EXPECT_EQ(hex, "untouched") << c.file_size;
        if (c.file_size > c.expected && c.expected > 0) {
            // Every expected byte was hashed and progress reached the total.
            ASSERT_FALSE(calls.seen.empty());
            EXPECT_EQ(calls.seen.back().first, c.expected);
        }
    }
}

TEST_F(FileSha256, CallbackStopsAfterTheChunkItReports) {
    std::string data = pattern(3 * kMiB);
    for (int stop_at = 1; stop_at <= 3; stop_at += 2) {
        Calls calls;
        calls.stop_at = stop_at;
        std::string hex;
        EXPECT_EQ(digest_of(data, data.size(), &hex, &calls), -1);
        EXPECT_EQ(hex, "untouched");
        EXPECT_EQ((int)calls.seen.size(), stop_at);
    }
}

TEST_F(FileSha256, StartsAtOffsetZeroWhereverThePointerIs) {
    HANDLE f = open_with("abc");
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at;
    at.QuadPart = 2;
    ASSERT_TRUE(SetFilePointerEx(f, at, nullptr, FILE_BEGIN));
    uint8_t digest[32];
    ASSERT_EQ(file_sha256(f, 3, digest, nullptr, nullptr), 0);
    char hex[65];
    hex_encode(digest, 32, hex);
    EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // A second digest of the same handle gives the same result.
    ASSERT_EQ(file_sha256(f, 3, digest, nullptr, nullptr), 0);
    hex_encode(digest, 32, hex);
    EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    CloseHandle(f);
}

TEST_F(FileSha256, HandleWithoutReadAccessFails) {
    std::wstring path = folder + L"\\w";
    ASSERT_TRUE(wintest::write_file(path, "abc"));
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    uint8_t digest[32] = {};
    EXPECT_EQ(file_sha256(f, 3, digest, nullptr, nullptr), -1);
    CloseHandle(f);
}

}  // namespace
