// Bounded formatting, conversions and hex encoding.
#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "tests/native/test_text.h"

namespace {

TEST(FormatNarrow, ConversionsMatchTheHostPrintf) {
    struct Case {
        const char *format;
        long long value;
    };
    // Integer conversions are the program's own; they must agree with the C
    // library on every flag, width and precision used in practice.
    const Case cases[] = {
        {"%d", -42}, {"%5d", 42}, {"%-5d|", 42}, {"%05d", -42}, {"%+d", 7}, {"% d", 7},
        {"%.3d", 5}, {"%x", 255}, {"%#X", 255}, {"%o", 8}, {"%#o", 8}, {"%u", 4000000000LL},
        {"%02u", 7}, {"%03u", 42}, {"%04u", 2026}, {"%d", 0}, {"%.0d|", 0},
    };
    for (const Case &c : cases) {
        char ours[64];
        char theirs[64];
        if (strchr(c.format, 'u') || strchr(c.format, 'x') || strchr(c.format, 'X') || strchr(c.format, 'o')) {
            format_narrow(ours, sizeof ours, c.format, (unsigned)c.value);
            snprintf(theirs, sizeof theirs, c.format, (unsigned)c.value);
        } else {
            format_narrow(ours, sizeof ours, c.format, (int)c.value);
            snprintf(theirs, sizeof theirs, c.format, (int)c.value);
        }
        EXPECT_STREQ(ours, theirs) << c.format;
    }
    char buffer[64];
    EXPECT_EQ(format_narrow(buffer, sizeof buffer, "%lu %llu %zu", 4294967295ul, 18446744073709551615ull, (size_t)3), 33);
    EXPECT_STREQ(buffer, "4294967295 18446744073709551615 3");
    format_narrow(buffer, sizeof buffer, "%.0f|%.1f|%s|%5s|%-3s|%%", 1536.5, 0.25, "ab", "x", "y");
    char expected[64];
    snprintf(expected, sizeof expected, "%.0f|%.1f|%s|%5s|%-3s|%%", 1536.5, 0.25, "ab", "x", "y");
    EXPECT_STREQ(buffer, expected);
}

TEST(FormatNarrow, CutsToCapacityAndReportsIt) {
    char buffer[10];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(format_narrow(buffer, sizeof buffer, "%s", "0123456789abc"), -1);
    EXPECT_STREQ(buffer, "012345678");
    EXPECT_EQ(format_narrow(buffer, sizeof buffer, "%s", "012345678"), 9);  // exactly fits
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(format_narrow(buffer, 0, "abc"), -1);
    EXPECT_EQ(buffer[0], 'x');  // capacity 0: nothing written
    EXPECT_EQ(format_narrow(buffer, 1, "abc"), -1);
    EXPECT_EQ(buffer[0], 0);
    // An incomplete or unknown conversion is a formatting failure (the spare
    // argument is never read; it keeps the formats from being taken for
    // data printed without a format).
    const char *bad[] = {"bad %", "%q"};
    for (const char *format : bad) EXPECT_EQ(format_narrow(buffer, sizeof buffer, format, 0), -1) << format;
}

TEST(FormatNarrow, WidthAndPrecisionArgumentsAreBounded) {
    // Found by fuzzing: a width or precision given as an argument was not
    // bounded like a written one (billions of padding units, and the
    // negation of INT_MIN).
    struct Case {
        const char *format;
        int star;
        int result;
        const char *text;
    };
    const Case cases[] = {
        {"%*d|", -5, 6, "1    |"},          // negative: left-justified
        {"%*d|", 3, 4, "  1|"},
        {"%.*d|", 3, 4, "001|"},
        {"%.*d|", -1, 2, "1|"},             // negative precision: as if none
        {"%*d|", 100001, -1, ""},
        {"%*d|", 2000000000, -1, ""},
        {"%*d|", INT_MIN, -1, ""},
        {"%*d|", INT_MIN + 1, -1, ""},
        {"%.*d|", 100001, -1, ""},
        {"%.*d|", INT_MAX, -1, ""},
    };
    for (const Case &c : cases) {
        char buffer[16];
        EXPECT_EQ(format_narrow(buffer, sizeof buffer, c.format, c.star, 1), c.result) << c.format << ' ' << c.star;
        if (c.result >= 0) EXPECT_STREQ(buffer, c.text) << c.format << ' ' << c.star;
        wchar16 wide[16];
        const wchar16 *wide_format = c.format[1] == '*' ? T16("%*d|") : T16("%.*d|");
        EXPECT_EQ(format_wide(wide, 16, wide_format, c.star, 1), c.result) << c.format << ' ' << c.star;
    }
    // One bound for written and argument widths, whatever the buffer.
    std::vector<char> big(100010);
    EXPECT_EQ(format_narrow(big.data(), big.size(), "%100000d", 1), 100000);
    EXPECT_EQ(format_narrow(big.data(), big.size(), "%*d", 100000, 1), 100000);
    EXPECT_EQ(format_narrow(big.data(), big.size(), "%100001d", 1), -1);
    EXPECT_EQ(format_narrow(big.data(), big.size(), "%*d", 100001, 1), -1);
    EXPECT_EQ(format_narrow(big.data(), big.size(), "%.*d", 100001, 1), -1);
}

TEST(FormatWide, LsIsUtf16AndHsIsEightBit) {
    wchar16 buffer[64];
    EXPECT_EQ(format_wide(buffer, 64, T16("%ls|%hs|%lu"), T16("wide"), "narrow", 42ul), 14);
    EXPECT_EQ(u16(buffer), u"wide|narrow|42");
    // 8-bit text is UTF-8: a two-byte sequence becomes one unit.
    format_wide(buffer, 64, T16("[%hs]"), "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(u16(buffer), u"[\u00e9t\u00e9]");
    // %s in a UTF-16 format is UTF-16 as well; %.0f for MB figures.
    format_wide(buffer, 64, T16("%s needs %.0f MB"), T16("C:"), 268435456.0 / 1048576.0);
    EXPECT_EQ(u16(buffer), u"C: needs 256 MB");
}

TEST(FormatWide, CutNeverSplitsASurrogatePairFromEightBitText) {
    wchar16 buffer[4];
    // "ab" then U+1F600 as UTF-8: only 1 unit left before the terminator.
    EXPECT_EQ(format_wide(buffer, 4, T16("ab%hs"), "\xf0\x9f\x98\x80"), -1);
    EXPECT_EQ(u16(buffer), u"ab");
}

TEST(Conversion, WholeResultOrEmpty) {
    wchar16 wide[64];
    char narrow[64];
    std::string seventy(70, 'a');
    wide[0] = 'x';
    utf8_to_utf16(seventy.c_str(), wide, 64);
    EXPECT_EQ(wide[0], 0) << "a text that does not fit becomes empty, not its first 63 units";
    EXPECT_EQ(wide[63], 0);
    utf8_to_utf16("h\xc3\xa9llo \xf0\x9f\x98\x80", wide, 64);
    EXPECT_EQ(u16(wide), u"h\u00e9llo \U0001F600");
    utf16_to_utf8(wide, narrow, 64);
    EXPECT_STREQ(narrow, "h\xc3\xa9llo \xf0\x9f\x98\x80");
    // Exactly fits with the terminator; one unit less does not.
    utf8_to_utf16("abc", wide, 4);
    EXPECT_EQ(u16(wide), u"abc");
    utf8_to_utf16("abc", wide, 3);
    EXPECT_EQ(wide[0], 0);
    utf16_to_utf8(T16("\u00e9"), narrow, 3);
    EXPECT_STREQ(narrow, "\xc3\xa9");
    utf16_to_utf8(T16("\u00e9"), narrow, 2);
    EXPECT_STREQ(narrow, "");
    // Capacity 0 writes nothing.
    narrow[0] = 'x';
    utf16_to_utf8(T16("a"), narrow, 0);
    EXPECT_EQ(narrow[0], 'x');
}

TEST(Conversion, IllFormedInputBecomesReplacementCharacters) {
    wchar16 wide[16];
    char narrow[16];
    utf8_to_utf16("a\xff" "b\xc3", wide, 16);
    EXPECT_EQ(u16(wide), u"a\uFFFDb\uFFFD");
    utf8_to_utf16("\xed\xa0\x80", wide, 16);  // an encoded surrogate
    EXPECT_EQ(wide[0], 0xFFFD);
    const wchar16 lone[] = {'x', (wchar16)0xD800, 'y', 0};
    utf16_to_utf8(lone, narrow, 16);
    EXPECT_STREQ(narrow, "x\xef\xbf\xbdy");
}

TEST(EscapeControls, EverythingThatCouldBreakOrFakeALineIsEscaped) {
    struct Case {
        const char *text;
        const char *escaped;
    } cases[] = {
        {"VornquillAI-Setup-x64-1.2.0.exe", "VornquillAI-Setup-x64-1.2.0.exe"},
        {"", ""},
        {"a\r\nRESULT code=0", "a\\x0d\\x0aRESULT code=0"},
        {"\x01\t\x1b[2J\x1f", "\\x01\\x09\\x1b[2J\\x1f"},
        {"del\x7f", "del\\x7f"},
        {"C:\\dir", "C:\\x5cdir"},               // so that "\\x0a" in the text stays visible
        {"nel\xc2\x85|\xc2\x9f|\xc2\xa0", "nel\\xc2\\x85|\\xc2\\x9f|\xc2\xa0"},  // C1 controls; U+00A0 stays
        {"ls\xe2\x80\xa8ps\xe2\x80\xa9|\xe2\x80\xa6", "ls\\xe2\\x80\\xa8ps\\xe2\\x80\\xa9|\xe2\x80\xa6"},
        {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
        {"\xef\xbf\xbd", "\xef\xbf\xbd"},       // a real U+FFFD is text
        {"bad\xff|\xc3|\xe2\x80", "bad\\xff|\\xc3|\\xe2\\x80"},  // not UTF-8
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},        // an encoded surrogate
        // Direction marks, embeddings, overrides and isolates reorder how a
        // line reads; their neighbours (joiners, U+202F, U+2065) stay.
        {"ok\xe2\x80\x8e|\xe2\x80\x8f", "ok\\xe2\\x80\\x8e|\\xe2\\x80\\x8f"},
        {"ok\xd8\x9c|", "ok\\xd8\\x9c|"},
        {"\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad\xe2\x80\xae",
         "\\xe2\\x80\\xaa\\xe2\\x80\\xab\\xe2\\x80\\xac\\xe2\\x80\\xad\\xe2\\x80\\xae"},
        {"\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9",
         "\\xe2\\x81\\xa6\\xe2\\x81\\xa7\\xe2\\x81\\xa8\\xe2\\x81\\xa9"},
        {"FAIL\xe2\x80\xaeko", "FAIL\\xe2\\x80\\xaeko"},
        {"\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", "\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
    };
    for (const Case &c : cases) {
        char out[256];
        int n = text_escape_controls(c.text, out, sizeof out);
        EXPECT_STREQ(out, c.escaped) << c.text;
        EXPECT_EQ(n, (int)strlen(c.escaped)) << c.text;
    }
    // No byte value survives as a control, whatever surrounds it; 4n + 1 bytes
    // always hold the whole result.
    for (int b = 1; b < 256; b++) {
        char text[4] = {'x', (char)b, 'y', 0};
        char out[13];
        ASSERT_GE(text_escape_controls(text, out, sizeof out), 0) << b;
        for (const char *p = out; *p != 0; p++) {
            unsigned char u = (unsigned char)*p;
            EXPECT_TRUE(u >= 0x20 && u != 0x7F) << b;
        }
    }
}

TEST(EscapeControls, CutsBeforeAWholeEscapeOrCharacter) {
    struct Case {
        const char *text;
        size_t capacity;
        const char *kept;
    } cases[] = {
        {"ab\ncd", 3, "ab"},
        {"ab\ncd", 6, "ab"},            // "\\x0a" needs four bytes and the terminator
        {"ab\ncd", 7, "ab\\x0a"},
        {"a\xc3\xa9", 2, "a"},           // the two bytes of U+00E9 stay together
        {"a\xe2\x80\xa8", 12, "a"},     // three escapes or none
        {"abc", 1, ""},
    };
    for (const Case &c : cases) {
        char out[32];
        memset(out, '#', sizeof out);
        EXPECT_EQ(text_escape_controls(c.text, out, c.capacity), -1) << c.text << " " << c.capacity;
        EXPECT_STREQ(out, c.kept) << c.text << " " << c.capacity;
    }
    char out[4];
    memset(out, '#', sizeof out);
    EXPECT_EQ(text_escape_controls("abc", out, 0), -1);
    EXPECT_EQ(out[0], '#');  // capacity 0: nothing written
    EXPECT_EQ(text_escape_controls("abc", out, sizeof out), 3);  // exactly fits
}

TEST(EscapeControls, CodePointsThatHideOrReorderALine) {
    struct Range {
        uint32_t first, last;
    } hidden[] = {{0x00, 0x1F}, {0x7F, 0x9F}, {0x061C, 0x061C}, {0x200E, 0x200F}, {0x2028, 0x2029},
                  {0x202A, 0x202E}, {0x2066, 0x2069}};
    for (uint32_t cp = 0; cp < 0x3000; cp++) {
        int expected = 0;
        for (const Range &r : hidden) expected |= cp >= r.first && cp <= r.last;
        EXPECT_EQ(text_code_point_hidden(cp), expected) << std::hex << cp;
    }
    EXPECT_EQ(text_code_point_hidden(0x1F600), 0);
}

// UTF-16 text: each escaped character is written as the escapes of its
// UTF-8 form, so a box and a log line show the same thing.
TEST(EscapeControls, Utf16TextIsEscapedAsItsUtf8Form) {
    struct Case {
        std::u16string text;
        std::u16string escaped;
    } cases[] = {
        {u"/DIR=C:\\x", u"/DIR=C:\\x5cx"},
        {u"", u""},
        {u"/bad\r\nRESULT code=0", u"/bad\\x0d\\x0aRESULT code=0"},
        {u"a\u007f\u0085\u00a0", u"a\\x7f\\xc2\\x85\u00a0"},
        {u"\u2028\u2029", u"\\xe2\\x80\\xa8\\xe2\\x80\\xa9"},
        {u"/x\u202egnp.exe", u"/x\\xe2\\x80\\xaegnp.exe"},
        {u"\u200e\u200f\u202a\u2066\u2069", u"\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xe2\\x80\\xaa\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
        {u"caf\u00e9 \u65e5 \U0001F600", u"caf\u00e9 \u65e5 \U0001F600"},
        {std::u16string(1, (char16_t)0xD800) + u"x", u"\\xed\\xa0\\x80x"},   // lone surrogates
        {u"x" + std::u16string(1, (char16_t)0xDFFF), u"x\\xed\\xbf\\xbf"},
    };
    for (const Case &c : cases) {
        std::vector<wchar16> in(c.text.begin(), c.text.end());
        in.push_back(0);
        wchar16 out[256];
        int n = text16_escape_controls(in.data(), out, 256);
        EXPECT_EQ(u16(out), c.escaped) << std::string(c.escaped.begin(), c.escaped.end());
        EXPECT_EQ(n, (int)c.escaped.size());
    }
    // Every unit below U+3000 is escaped exactly as the UTF-8 escape does it,
    // and 12n + 1 units hold the whole result.
    for (uint32_t unit = 1; unit < 0x3000; unit++) {
        if (unit >= 0xD800) break;
        wchar16 in[2] = {(wchar16)unit, 0};
        wchar16 out[13];
        char utf8[8];
        char narrow[32];
        utf16_to_utf8(in, utf8, sizeof utf8);
        ASSERT_GE(text16_escape_controls(in, out, 13), 0) << unit;
        ASSERT_GE(text_escape_controls(utf8, narrow, sizeof narrow), 0) << unit;
        wchar16 expected[32];
        utf8_to_utf16(narrow, expected, 32);
        EXPECT_EQ(u16(out), u16(expected)) << std::hex << unit;
    }
    // Cut before an escape that does not fit whole.
    wchar16 out[8];
    EXPECT_EQ(text16_escape_controls(T16("ab\u202ecd"), out, 8), -1);
    EXPECT_EQ(u16(out), u"ab");
    EXPECT_EQ(text16_escape_controls(T16("abc"), out, 0), -1);
}

TEST(HexEncode, LowerCaseHighNibbleFirst) {
    const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    char out[7];
    hex_encode(bytes, 3, out);
    EXPECT_STREQ(out, "00abff");
    hex_encode(bytes, 0, out);
    EXPECT_STREQ(out, "");
}

}  // namespace
