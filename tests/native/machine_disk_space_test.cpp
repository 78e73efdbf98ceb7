// Whether the download fits: size plus 256 MiB, and the message's MB figures.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "machine/installed.h"
#include "tests/native/test_text.h"

namespace {

const uint64_t MiB = 1048576;

TEST(DiskSpace, SizePlusMarginWithUnknownFreeSpaceGoingAhead) {
    struct Case {
        uint64_t size;
        int known;
        uint64_t free_bytes;
        int enough;
        const char16_t *message;
    };
    const Case cases[] = {
        {100 * MiB, 1, 300 * MiB, 0,
         u"Setup needs 356 MB of free space on the drive that holds C:\\ProgramData, and 300 MB are free."},
        {100 * MiB, 1, 356 * MiB, 1, u""},    // exactly enough
        // One byte too little: the free figure is rounded down, never shown
        // equal to the need.
        {100 * MiB, 1, 356 * MiB - 1, 0,
         u"Setup needs 356 MB of free space on the drive that holds C:\\ProgramData, and 355 MB are free."},
        // The need a byte above a whole MiB, the free space a byte below it.
        {100 * MiB + 1, 1, 356 * MiB, 0,
         u"Setup needs 357 MB of free space on the drive that holds C:\\ProgramData, and 356 MB are free."},
        {100 * MiB, 0, 0, 1, u""},            // the query failed: go ahead
        {100 * MiB, 0, 5, 1, u""},            // whatever a failed query left there
        // A full disk answers 0, which is known and far too little.
        {100 * MiB, 1, 0, 0,
         u"Setup needs 356 MB of free space on the drive that holds C:\\ProgramData, and 0 MB are free."},
        {1, 1, 1, 0,
         u"Setup needs 257 MB of free space on the drive that holds C:\\ProgramData, and 0 MB are free."},
        {2147483648ull, 1, 2 * 1024 * MiB, 0,
         u"Setup needs 2304 MB of free space on the drive that holds C:\\ProgramData, and 2048 MB are free."},
        {1536 * 1024, 1, 100 * MiB, 0,        // 257.5 MB of need: 258
         u"Setup needs 258 MB of free space on the drive that holds C:\\ProgramData, and 100 MB are free."},
        {1536 * 1024, 1, 257 * MiB + 524287, 0,  // a byte short of 257.5 MB
         u"Setup needs 258 MB of free space on the drive that holds C:\\ProgramData, and 257 MB are free."},
        {UINT64_MAX, 1, UINT64_MAX, 1, u""},  // the sum saturates instead of wrapping
        {UINT64_MAX - 5, 1, 300 * MiB, 0, nullptr},
    };
    for (const Case &c : cases) {
        wchar16 message[DISK_SPACE_MESSAGE_CAPACITY];
        message[0] = 'x';
        int enough = disk_space_check(c.size, c.known, c.free_bytes, T16("C:\\ProgramData"), message,
                                      DISK_SPACE_MESSAGE_CAPACITY);
        EXPECT_EQ(enough, c.enough) << c.size << " / " << c.free_bytes;
        if (c.message != nullptr) {
            EXPECT_EQ(u16(message), std::u16string(c.message)) << c.size << " / " << c.free_bytes;
        }
    }
    EXPECT_EQ(disk_space_needed(0), 268435456ull);
    EXPECT_EQ(disk_space_needed(UINT64_MAX - 1), UINT64_MAX);
    EXPECT_EQ(disk_space_check(100 * MiB, 1, 1, T16("C:\\"), nullptr, 0), 0);
}

// The two figures of the message, read back.
void figures_of(const std::u16string &message, uint64_t *needed, uint64_t *free_mb) {
    std::string narrow(message.begin(), message.end());
    unsigned long long a = 0, b = 0;
    size_t and_at = narrow.find(", and ");
    ASSERT_EQ(sscanf(narrow.c_str(), "Setup needs %llu MB", &a), 1) << narrow;
    ASSERT_NE(and_at, std::string::npos) << narrow;
    ASSERT_EQ(sscanf(narrow.c_str() + and_at, ", and %llu MB are free.", &b), 1) << narrow;
    *needed = a;
    *free_mb = b;
}

TEST(DiskSpace, ARefusalNeverShowsTheFreeSpaceEqualToTheNeed) {
    // Installer sizes on and around whole and half MiB, and free amounts from
    // one byte to two MiB below the need: the shown need is always above
    // the shown free space, and within a MiB of the true figures.
    const uint64_t sizes[] = {0, 1, MiB / 2, MiB / 2 + 1, MiB - 1, 100 * MiB, 100 * MiB + 1,
                              1536 * 1024, 3 * MiB - 524288};
    const uint64_t short_by[] = {1, 2, MiB / 2 - 1, MiB / 2, MiB / 2 + 1, MiB - 1, MiB, MiB + 1,
                                 2 * MiB};
    for (uint64_t size : sizes) {
        for (uint64_t shortfall : short_by) {
            uint64_t needed = disk_space_needed(size);
            uint64_t free_bytes = needed - shortfall;
            wchar16 message[DISK_SPACE_MESSAGE_CAPACITY];
            ASSERT_EQ(disk_space_check(size, 1, free_bytes, T16("C:\\ProgramData"), message,
                                       DISK_SPACE_MESSAGE_CAPACITY),
                      0);
            uint64_t shown_need = 0, shown_free = 0;
            figures_of(u16(message), &shown_need, &shown_free);
            EXPECT_GT(shown_need, shown_free) << size << " / " << free_bytes;
            EXPECT_GE(shown_need * MiB, needed) << size;
            EXPECT_LT(shown_need * MiB, needed + MiB) << size;
            EXPECT_LE(shown_free * MiB, free_bytes) << free_bytes;
            EXPECT_GT(shown_free * MiB + MiB, free_bytes) << free_bytes;
        }
    }
}

}  // namespace
