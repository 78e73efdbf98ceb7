// Version numbers: validity and precedence.
#include <gtest/gtest.h>

#include <string>

#include "release/version.h"

namespace {

TEST(ReleaseVersion, ValidTable) {
    const char *valid[] = {"1.2.3", "0.0.0", "01.002.0003", "999999999.0.0", "1.2.3-beta.1",
                           "1.2.3-RC1", "1.2.3-.", "1.2.3-a..b", "0.0.1-0"};
    for (const char *v : valid) EXPECT_TRUE(version_valid(v)) << v;
    const char *invalid[] = {"", "1.2", "1.2.3.4", "v1.2.3", "1.2.3+build.5", "1.2.3-",
                             "1.2.3-beta-1", "1.2.3 ", " 1.2.3", "1000000000.0.0", "1..3", "-1.2.3",
                             "1.2.3-b_1", "1.2.3-\xC3\xA9", "1.2.", ".1.2.3", "1.2.3.", "a.b.c",
                             "1.2.3-beta 1"};
    for (const char *v : invalid) EXPECT_FALSE(version_valid(v)) << v;
    EXPECT_FALSE(version_valid(nullptr));
}

TEST(ReleaseVersion, LengthLimit) {
    std::string v63 = "1.2.3-" + std::string(57, 'a');
    ASSERT_EQ(v63.size(), 63u);
    EXPECT_TRUE(version_valid(v63.c_str()));
    std::string v64 = v63 + "a";
    EXPECT_FALSE(version_valid(v64.c_str()));
    std::string longer = v63 + std::string(1000, 'a');
    EXPECT_FALSE(version_valid(longer.c_str()));
}

TEST(ReleaseVersion, PrecedenceChain) {
    // Each version orders strictly before every later one.
    const char *chain[] = {"0.0.0",          "0.9.99",          "1.0.0-rc.1",
                           "1.0.0",          "1.2.3-1",         "1.2.3-Beta",
                           "1.2.3-alpha",    "1.2.3-alpha.1",   "1.2.3-alpha.beta",
                           "1.2.3-beta",     "1.2.3-beta.2",    "1.2.3-beta.11",
                           "1.2.3-rc.1",     "1.2.3",           "1.9.0",
                           "1.10.0",         "2.0.0",           "999999999.0.0"};
    const size_t n = sizeof chain / sizeof chain[0];
    for (size_t i = 0; i < n; i++) {
        ASSERT_TRUE(version_valid(chain[i])) << chain[i];
        for (size_t j = 0; j < n; j++) {
            int expected = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(version_compare(chain[i], chain[j]), expected) << chain[i] << " vs " << chain[j];
        }
    }
}

TEST(ReleaseVersion, EqualInOrder) {
    const char *pairs[][2] = {{"01.2.3", "1.2.3"},
                              {"1.2.3-01", "1.2.3-1"},
                              {"1.02.0003-beta.007", "1.2.3-beta.7"},
                              {"0.0.0", "000.0.00"},
                              {"1.2.3-a..b", "1.2.3-a..b"}};
    for (auto &p : pairs) {
        EXPECT_EQ(version_compare(p[0], p[1]), 0) << p[0] << " vs " << p[1];
        EXPECT_EQ(version_compare(p[1], p[0]), 0) << p[1] << " vs " << p[0];
    }
}

TEST(ReleaseVersion, PreReleaseIdentifiers) {
    // Empty identifiers are not numeric: they sort after numeric ones and
    // before longer alphanumeric ones.
    EXPECT_EQ(version_compare("1.2.3-1.", "1.2.3-1.a"), -1);
    EXPECT_EQ(version_compare("1.2.3-.", "1.2.3-0"), 1);
    EXPECT_EQ(version_compare("1.2.3-a", "1.2.3-a."), -1);
    EXPECT_EQ(version_compare("1.2.3-.", "1.2.3-a"), -1);
    // Numeric identifiers compare by value, not by length of text.
    EXPECT_EQ(version_compare("1.2.3-0010", "1.2.3-9"), 1);
    EXPECT_EQ(version_compare("1.2.3-99999999999999999999", "1.2.3-100000000000000000000"), -1);
    // Byte order: digits and upper case before lower case.
    EXPECT_EQ(version_compare("1.2.3-1a", "1.2.3-Aa"), -1);
    EXPECT_EQ(version_compare("1.2.3-Z", "1.2.3-a"), -1);
}

}  // namespace
