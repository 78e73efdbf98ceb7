// Whether the download fits: size plus 256 MiB, and the message's MB figures.
#include <gtest/gtest.h>

#include <stdint.h>

#include "machine/installed.h"
#include "tests/native/test_text.h"

namespace {

const uint64_t MiB = 1048576;

TEST(DiskSpace, SizePlusMarginWithUnknownFreeSpaceGoingAhead) {
    struct Case {
        uint64_t size, free_bytes;
        int enough;
        const char16_t *message;
    };
    const Case cases[] = {
        {100 * MiB, 300 * MiB, 0,
         u"Setup needs 356 MB of free space on the drive that holds C:\\ProgramData, and 300 MB are free."},
        {100 * MiB, 356 * MiB, 1, u""},       // exactly enough
        {100 * MiB, 356 * MiB - 1, 0,
         u"Setup needs 356 MB of free space on the drive that holds C:\\ProgramData, and 356 MB are free."},
        {100 * MiB, 0, 1, u""},               // unknown: go ahead
        {1, 1, 0,
         u"Setup needs 256 MB of free space on the drive that holds C:\\ProgramData, and 0 MB are free."},
        {2147483648ull, 2 * 1024 * MiB, 0,
         u"Setup needs 2304 MB of free space on the drive that holds C:\\ProgramData, and 2048 MB are free."},
        {1536 * 1024, 100 * MiB, 0,           // 257.5 MB rounds to even: 258
         u"Setup needs 258 MB of free space on the drive that holds C:\\ProgramData, and 100 MB are free."},
        {UINT64_MAX, UINT64_MAX, 1, u""},     // the sum saturates instead of wrapping
        {UINT64_MAX - 5, 300 * MiB, 0, nullptr},
    };
    for (const Case &c : cases) {
        wchar16 message[DISK_SPACE_MESSAGE_CAPACITY];
        message[0] = 'x';
        int enough = disk_space_check(c.size, c.free_bytes, T16("C:\\ProgramData"), message,
                                      DISK_SPACE_MESSAGE_CAPACITY);
        EXPECT_EQ(enough, c.enough) << c.size << " / " << c.free_bytes;
        if (c.message != nullptr) {
            EXPECT_EQ(u16(message), std::u16string(c.message)) << c.size << " / " << c.free_bytes;
        }
    }
    EXPECT_EQ(disk_space_needed(0), 268435456ull);
    EXPECT_EQ(disk_space_needed(UINT64_MAX - 1), UINT64_MAX);
    EXPECT_EQ(disk_space_check(100 * MiB, 1, T16("C:\\"), nullptr, 0), 0);
}

}  // namespace
