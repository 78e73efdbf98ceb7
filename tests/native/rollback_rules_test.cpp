// The install location's trailing separators.
#include <gtest/gtest.h>

#include "machine/rollback.h"
#include "test_text.h"

namespace {

TEST(RollbackLocationTrim, SeparatorsGoButADriveRootKeepsOne) {
    struct Case {
        const wchar16 *given;
        const wchar16 *trimmed;
    };
    const Case cases[] = {
        {T16("C:\\Program Files\\Vornquill AI"), T16("C:\\Program Files\\Vornquill AI")},
        {T16("C:\\Program Files\\Vornquill AI\\"), T16("C:\\Program Files\\Vornquill AI")},
        {T16("C:\\Vornquill AI\\/\\//"), T16("C:\\Vornquill AI")},
        {T16("C:\\"), T16("C:\\")},
        {T16("C:\\\\\\"), T16("C:\\")},
        {T16("C:/"), T16("C:/")},
        {T16("C:/\\"), T16("C:/")},
        {T16("\\\\server\\share\\"), T16("\\\\server\\share")},
        {T16("ab\\"), T16("ab\\")},
        {T16("C:"), T16("C:")},
        {T16(""), T16("")},
    };
    for (const Case &c : cases) {
        wchar16 buffer[64];
        ASSERT_EQ(text16_copy(buffer, 64, c.given), 0);
        size_t length = rollback_location_trim(buffer);
        EXPECT_EQ(u16(buffer), u16(c.trimmed));
        EXPECT_EQ(length, u16(c.trimmed).size());
    }
}

}  // namespace
