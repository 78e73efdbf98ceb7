// Strict JSON reader: grammar, strings and UTF-8, numbers, limits, tree shape
// and the member helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "release/json.h"

namespace {

struct Parsed {
    JsonStatus status;
    JsonDocument *doc;
    JsonValue *root;
};

Parsed parse(const std::string &text) {
    Parsed p;
    p.status = json_parse((const uint8_t *)text.data(), text.size(), &p.doc, &p.root);
    return p;
}

JsonStatus status_of(const std::string &text) {
    Parsed p = parse(text);
    EXPECT_EQ(p.status == JSON_OK, p.doc != nullptr) << text;
    EXPECT_EQ(p.status == JSON_OK, p.root != nullptr) << text;
    json_free(p.doc);
    return p.status;
}

std::string repeat(const std::string &s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; i++) out += s;
    return out;
}

struct StatusCase {
    const char *name;
    std::string text;
    JsonStatus status;
};

TEST(ReleaseJson, GrammarTable) {
    const StatusCase cases[] = {
        {"empty object", "{}", JSON_OK},
        {"empty array", "[]", JSON_OK},
        {"object with space", "{ }", JSON_OK},
        {"array with space", "[ ]", JSON_OK},
        {"whitespace all four", " \t\r\n{ \"a\" \t:\r\n[1 , 2]\n}\r\n ", JSON_OK},
        {"trailing comma array", "[1,]", JSON_SYNTAX},
        {"trailing comma object", "{\"a\":1,}", JSON_SYNTAX},
        {"leading comma", "[,1]", JSON_SYNTAX},
        {"missing colon", "{\"a\" 1}", JSON_SYNTAX},
        {"duplicate before missing colon", "{\"a\":1,\"a\" 1}", JSON_DUPLICATE_KEY},
        {"missing comma", "[1 2]", JSON_SYNTAX},
        {"unclosed array", "[1", JSON_SYNTAX},
        {"unclosed object", "{\"a\":1", JSON_SYNTAX},
        {"unclosed after comma", "[1,", JSON_SYNTAX},
        {"object key not a string", "{a:1}", JSON_SYNTAX},
        {"object with bare value", "{1}", JSON_SYNTAX},
        {"wrong closing bracket", "[1}", JSON_SYNTAX},
        {"duplicate key", "{\"a\":1,\"a\":2}", JSON_DUPLICATE_KEY},
        {"duplicate after escape", "{\"a\":1,\"\\u0061\":2}", JSON_DUPLICATE_KEY},
        {"same name in nested object", "{\"a\":{\"a\":1}}", JSON_OK},
        {"names differ in length", "{\"a\":1,\"ab\":2,\"\":3}", JSON_OK},
        {"true alone", "true", JSON_OK},
        {"false alone", "false", JSON_OK},
        {"null alone", "null", JSON_OK},
        {"truex", "truex", JSON_SYNTAX},
        {"nul", "nul", JSON_SYNTAX},
        {"True", "True", JSON_SYNTAX},
        {"tru at end", "[tru", JSON_SYNTAX},
        {"leading zero", "01", JSON_SYNTAX},
        {"minus alone", "-", JSON_SYNTAX},
        {"point without digits", "1.", JSON_SYNTAX},
        {"exponent without digits", "1e", JSON_SYNTAX},
        {"exponent sign without digits", "1e+", JSON_SYNTAX},
        {"plus sign", "+1", JSON_SYNTAX},
        {"leading point", ".5", JSON_SYNTAX},
        {"NaN", "NaN", JSON_SYNTAX},
        {"Infinity", "Infinity", JSON_SYNTAX},
        {"minus Infinity", "-Infinity", JSON_SYNTAX},
        {"minus then point", "-.5", JSON_SYNTAX},
        {"hex number", "0x10", JSON_SYNTAX},
        {"trailing whitespace", "1 \n", JSON_OK},
        {"second value", "1 2", JSON_SYNTAX},
        {"two objects", "{}{}", JSON_SYNTAX},
        {"empty input", "", JSON_SYNTAX},
        {"only whitespace", " \t\r\n", JSON_SYNTAX},
        {"byte-order mark", "\xEF\xBB\xBF{}", JSON_SYNTAX},
        {"comment", "[1 /* x */]", JSON_SYNTAX},
        {"form feed is not whitespace", "\f1", JSON_SYNTAX},
        {"unterminated string", "\"abc", JSON_SYNTAX},
        {"tab in string", "\"a\tb\"", JSON_SYNTAX},
        {"line feed in string", "\"a\nb\"", JSON_SYNTAX},
        {"zero byte in string", std::string("\"a\0b\"", 5), JSON_SYNTAX},
        {"escaped tab", "\"\\t\"", JSON_OK},
        {"unknown escape", "\"\\x41\"", JSON_SYNTAX},
        {"escape at end", "\"\\", JSON_SYNTAX},
        {"short unicode escape", "\"\\u12\"", JSON_SYNTAX},
        {"unicode escape at end", "\"\\u12", JSON_SYNTAX},
        {"bad hex digit", "\"\\u12g4\"", JSON_SYNTAX},
        {"bad second surrogate escape", "\"\\ud83d\\u12g4\"", JSON_SYNTAX},
        {"raw two-byte UTF-8", "\"\xC3\xA9\"", JSON_OK},
        {"raw four-byte UTF-8", "\"\xF0\x9F\x98\x80\"", JSON_OK},
        {"overlong slash", "\"\xC0\xAF\"", JSON_UTF8},
        {"encoded surrogate", "\"\xED\xA0\x80\"", JSON_UTF8},
        {"above U+10FFFF", "\"\xF4\x90\x80\x80\"", JSON_UTF8},
        {"lone continuation", "\"\x80\"", JSON_UTF8},
        {"overlong three-byte", "\"\xE0\x9F\xBF\"", JSON_UTF8},
        {"overlong four-byte", "\"\xF0\x8F\xBF\xBF\"", JSON_UTF8},
        {"F5 lead byte", "\"\xF5\x80\x80\x80\"", JSON_UTF8},
        {"truncated sequence at end", "\"\xE2\x82", JSON_UTF8},
        {"truncated sequence before quote", "\"\xE2\x82\"", JSON_UTF8},
        {"highest code point", "\"\xF4\x8F\xBF\xBF\"", JSON_OK},
        {"UTF-8 bytes outside a string", "\xC3\xA9", JSON_SYNTAX},
        {"lone continuation outside a string", "[\x80]", JSON_SYNTAX},
        {"invalid UTF-8 in a member name", "{\"\xC0\xAF\":1}", JSON_UTF8},
    };
    for (const StatusCase &c : cases) {
        EXPECT_EQ(status_of(c.text), c.status) << c.name;
    }
}

TEST(ReleaseJson, FirstErrorDecides) {
    // The duplicate name is met before the invalid UTF-8 that follows it.
    EXPECT_EQ(status_of("{\"a\":1,\"a\":\"\xC0\"}"), JSON_DUPLICATE_KEY);
    // The invalid UTF-8 is met before the trailing comma.
    EXPECT_EQ(status_of("[\"\xC0\",]"), JSON_UTF8);
}

struct DecodeCase {
    std::string text;
    std::string bytes;
};

TEST(ReleaseJson, StringDecodingTable) {
    const DecodeCase cases[] = {
        {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
        {"\"\\ud83d\"", "\xED\xA0\xBD"},
        {"\"\\ud83dx\"", "\xED\xA0\xBD" "x"},
        {"\"\\ud83d\\u0041\"", "\xED\xA0\xBD" "A"},
        {"\"\\ude00\"", "\xED\xB8\x80"},
        {"\"\\ud83d\\ud83d\\ude00\"", "\xED\xA0\xBD\xF0\x9F\x98\x80"},
        {"\"\\ud83d\\n\"", "\xED\xA0\xBD\n"},
        {"\"\\u00e9\"", "\xC3\xA9"},
        {"\"\\u00E9\"", "\xC3\xA9"},
        {"\"\\u20AC\"", "\xE2\x82\xAC"},
        {"\"\\u0000\"", std::string("\0", 1)},
        {"\"\\u007f\\u0080\\u07ff\\u0800\\uffff\"", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {"\"\\udbff\\udfff\"", "\xF4\x8F\xBF\xBF"},
        {"\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"", "\"/\\\b\f\n\r\t"},
        {"\"\xC3\xA9\"", "\xC3\xA9"},
        {"\"\"", ""},
        // Long enough for the eight-byte fast path, with a special byte at
        // every offset of a word.
        {"\"abcdefghijklmnop\\\"qrstuvwxyz\xC3\xA9" "0123456789\"",
         "abcdefghijklmnop\"qrstuvwxyz\xC3\xA9" "0123456789"},
    };
    for (const DecodeCase &c : cases) {
        Parsed p = parse(c.text);
        ASSERT_EQ(p.status, JSON_OK) << c.text;
        ASSERT_EQ(p.root->type, (uint32_t)JSON_STRING);
        EXPECT_EQ(std::string(p.root->text, p.root->length), c.bytes) << c.text;
        json_free(p.doc);
    }
}

TEST(ReleaseJson, SpecialBytesAtEveryOffset) {
    // Each special byte at each position of a long string, so the word-wise
    // scan is checked against every alignment.
    const std::string specials[] = {"\t", "\x1F", "\x80", "\\", "\""};
    const JsonStatus expected[] = {JSON_SYNTAX, JSON_SYNTAX, JSON_UTF8, JSON_SYNTAX, JSON_SYNTAX};
    for (int s = 0; s < 5; s++) {
        for (size_t at = 0; at < 24; at++) {
            std::string body(24, 'a');
            body.replace(at, 1, specials[s]);
            // A lone quote ends the string early and leaves bytes behind; a
            // lone backslash escapes 'a', which is not an escape.
            EXPECT_EQ(status_of("\"" + body + "\""), expected[s]) << s << " at " << at;
        }
    }
    for (size_t at = 0; at < 24; at++) {
        std::string body(24, 'a');
        body.insert(at, "\xE2\x82\xAC");
        Parsed p = parse("\"" + body + "\"");
        ASSERT_EQ(p.status, JSON_OK) << at;
        EXPECT_EQ(std::string(p.root->text, p.root->length), body);
        json_free(p.doc);
    }
}

struct NumberCase {
    std::string text;
    bool has_integer;
    int64_t integer;
};

TEST(ReleaseJson, NumberTable) {
    const NumberCase cases[] = {
        {"0", true, 0},
        {"-0", true, 0},
        {"7", true, 7},
        {"-5", true, -5},
        {"123456789012345678", true, 123456789012345678ll},
        {"-123456789012345678", true, -123456789012345678ll},
        {"999999999999999999", true, 999999999999999999ll},
        {"1234567890123456789", false, 0},
        {"1.0", false, 0},
        {"1e0", false, 0},
        {"1E+2", false, 0},
        {"-0.5e-3", false, 0},
        {"2147483648", true, 2147483648ll},
    };
    for (const NumberCase &c : cases) {
        std::string input = " " + c.text + " ";  // number texts point into it
        Parsed p = parse(input);
        ASSERT_EQ(p.status, JSON_OK) << c.text;
        EXPECT_EQ(p.root->type, (uint32_t)JSON_NUMBER);
        EXPECT_EQ(p.root->has_integer, c.has_integer ? 1u : 0u) << c.text;
        if (c.has_integer) EXPECT_EQ(p.root->integer, c.integer) << c.text;
        // The text is the number's bytes inside the input, without spaces.
        EXPECT_EQ(std::string(p.root->text, p.root->length), c.text);
        json_free(p.doc);
    }
}

TEST(ReleaseJson, NumberTextPointsIntoInput) {
    std::string text = "[12.5]";
    Parsed p = parse(text);
    ASSERT_EQ(p.status, JSON_OK);
    EXPECT_EQ(p.root->first_child->text, text.data() + 1);
    EXPECT_EQ(p.root->first_child->length, 4u);
    json_free(p.doc);
}

TEST(ReleaseJson, TreeShape) {
    std::string text = "{\"b\":[true,false,null,\"s\"],\"a\":{},\"\\u0063\":-1}";
    Parsed p = parse(text);
    ASSERT_EQ(p.status, JSON_OK);
    const JsonValue *root = p.root;
    EXPECT_EQ(root->type, (uint32_t)JSON_OBJECT);
    EXPECT_EQ(root->key, nullptr);
    ASSERT_EQ(root->child_count, 3u);
    const JsonValue *b = root->first_child;
    EXPECT_EQ(std::string(b->key, b->key_length), "b");
    EXPECT_EQ(b->type, (uint32_t)JSON_ARRAY);
    ASSERT_EQ(b->child_count, 4u);
    const JsonValue *e = b->first_child;
    EXPECT_EQ(e->type, (uint32_t)JSON_TRUE);
    EXPECT_EQ(e->key, nullptr);
    EXPECT_EQ(e->key_length, 0u);
    e = e->next_sibling;
    EXPECT_EQ(e->type, (uint32_t)JSON_FALSE);
    e = e->next_sibling;
    EXPECT_EQ(e->type, (uint32_t)JSON_NULL);
    EXPECT_EQ(e->text, nullptr);
    e = e->next_sibling;
    EXPECT_EQ(e->type, (uint32_t)JSON_STRING);
    EXPECT_EQ(e->next_sibling, nullptr);
    const JsonValue *a = b->next_sibling;
    EXPECT_EQ(a->type, (uint32_t)JSON_OBJECT);
    EXPECT_EQ(a->first_child, nullptr);
    EXPECT_EQ(a->child_count, 0u);
    const JsonValue *c = a->next_sibling;
    EXPECT_EQ(std::string(c->key, c->key_length), "c");
    EXPECT_EQ(c->next_sibling, nullptr);
    // Values are handed out in the order they are met, containers first.
    EXPECT_EQ(p.doc->values_used, 8u);
    EXPECT_EQ(root, &p.doc->values[0]);
    EXPECT_EQ(b, &p.doc->values[1]);
    EXPECT_EQ(p.doc->arena_capacity, text.size() + 4);
    json_free(p.doc);
}

TEST(ReleaseJson, DepthLimit) {
    EXPECT_EQ(status_of(repeat("[", 16) + repeat("]", 16)), JSON_OK);
    EXPECT_EQ(status_of(repeat("[", 17) + repeat("]", 17)), JSON_DEPTH);
    EXPECT_EQ(status_of(repeat("{\"a\":", 16) + "1" + repeat("}", 16)), JSON_OK);
    EXPECT_EQ(status_of(repeat("{\"a\":", 16) + "[]" + repeat("}", 16)), JSON_DEPTH);
    // Depth is restored when a container closes: siblings do not add up.
    EXPECT_EQ(status_of("[" + repeat(repeat("[", 15) + repeat("]", 15) + ",", 3) + "1]"), JSON_OK);
    // A deep unclosed input fails on depth before it runs out.
    EXPECT_EQ(status_of(repeat("[", 100000)), JSON_DEPTH);
}

std::string object_of(size_t members) {
    std::string text = "{";
    for (size_t i = 0; i < members; i++) {
        if (i != 0) text += ",";
        text += "\"k" + std::to_string(i) + "\":0";
    }
    return text + "}";
}

std::string array_of(size_t elements) {
    std::string text = "[";
    for (size_t i = 0; i < elements; i++) text += i == 0 ? "0" : ",0";
    return text + "]";
}

TEST(ReleaseJson, MemberLimit) {
    EXPECT_EQ(status_of(object_of(1024)), JSON_OK);
    EXPECT_EQ(status_of(object_of(1025)), JSON_LIMIT);
    // The 1025th name is still tested for duplicates and a colon first.
    std::string dup = object_of(1024);
    dup.insert(dup.size() - 1, ",\"k0\":0");
    EXPECT_EQ(status_of(dup), JSON_DUPLICATE_KEY);
    std::string colon = object_of(1024);
    colon.insert(colon.size() - 1, ",\"x\" 0");
    EXPECT_EQ(status_of(colon), JSON_SYNTAX);
}

TEST(ReleaseJson, ValueLimit) {
    EXPECT_EQ(status_of(array_of(19999)), JSON_OK);
    EXPECT_EQ(status_of(array_of(20000)), JSON_LIMIT);
    // Nested values count too: 2 containers and 19998 numbers.
    EXPECT_EQ(status_of("[" + array_of(19998) + "]"), JSON_OK);
    EXPECT_EQ(status_of("[" + array_of(19998) + ",1]"), JSON_LIMIT);
    // The limit is met before a syntax error further on.
    EXPECT_EQ(status_of(array_of(20000) + "x"), JSON_LIMIT);
}

TEST(ReleaseJson, InputSizeLimit) {
    // Exactly 64 MiB is read; one byte more is refused before any parsing.
    std::string text(67108864, ' ');
    text[0] = '1';
    EXPECT_EQ(status_of(text), JSON_OK);
    text.push_back(' ');
    EXPECT_EQ(status_of(text), JSON_LIMIT);
    text[0] = 'x';  // would be syntax if it were read
    EXPECT_EQ(status_of(text), JSON_LIMIT);
}

TEST(ReleaseJson, ErrorWords) {
    const char *words[] = {"ok", "syntax", "utf8", "depth", "limit", "duplicate-key", "memory"};
    for (int i = 0; i < 7; i++) EXPECT_STREQ(json_error_word(i), words[i]);
    EXPECT_STREQ(json_error_word(7), "unknown");
    EXPECT_STREQ(json_error_word(-1), "unknown");
}

TEST(ReleaseJson, MemberAndStringHelpers) {
    std::string text = "{\"name\":\"abc\",\"Name\":\"x\",\"zero\":\"a\\u0000b\",\"num\":1,"
                       "\"nam\":\"short\"}";
    Parsed p = parse(text);
    ASSERT_EQ(p.status, JSON_OK);
    const JsonValue *name = json_member(p.root, "name");
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(json_string_equals(name, "abc"));
    EXPECT_FALSE(json_string_equals(name, "ab"));
    EXPECT_FALSE(json_string_equals(name, "abcd"));
    EXPECT_FALSE(json_string_equals(name, "ABC"));
    EXPECT_TRUE(json_string_equals(json_member(p.root, "Name"), "x"));
    EXPECT_EQ(json_member(p.root, "NAME"), nullptr);
    EXPECT_EQ(json_member(p.root, "na"), nullptr);
    EXPECT_TRUE(json_string_equals(json_member(p.root, "nam"), "short"));
    EXPECT_EQ(json_member(nullptr, "name"), nullptr);
    EXPECT_EQ(json_member(name, "name"), nullptr);  // not an object
    EXPECT_FALSE(json_string_equals(nullptr, "abc"));
    EXPECT_FALSE(json_string_equals(json_member(p.root, "num"), "1"));

    char buffer[8];
    memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(json_string_copy(name, buffer, 3));  // needs 4 with the terminator
    EXPECT_EQ(buffer[0], '#');
    EXPECT_TRUE(json_string_copy(name, buffer, 4));
    EXPECT_STREQ(buffer, "abc");
    memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(json_string_copy(json_member(p.root, "zero"), buffer, sizeof buffer));
    EXPECT_FALSE(json_string_copy(json_member(p.root, "num"), buffer, sizeof buffer));
    EXPECT_FALSE(json_string_copy(nullptr, buffer, sizeof buffer));
    EXPECT_EQ(buffer[0], '#');
    json_free(p.doc);
    json_free(nullptr);
}

}  // namespace
