// Fuzz target: the bounded formatter and the text conversions.
//  - format_narrow and format_wide with one conversion of any flags, width
//    (also given as an argument), precision, size and conversion letter,
//    between literal texts, into a buffer of any capacity: the text is always
//    terminated inside the capacity, nothing past it is written, the result
//    is the length or -1, and a cut text is a prefix of the whole one (a cut
//    never splits a surrogate pair). Where the C library means the same, the
//    whole text equals the host's snprintf; integer, float and ASCII texts
//    come out the same in UTF-16 as in 8 bits.
//  - utf8_to_utf16 and utf16_to_utf8: the whole result or the empty text,
//    well-formed output, and exact round trips of well-formed input.
//  - hex_encode reads back to its bytes.
// Input: a sequence of operations, each an operation byte and its fields.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "tests/fuzz/fuzz_input.h"

using fuzz_input::check;

namespace {

const size_t WHOLE = 4096;  // room for any text the generated formats give
const uint32_t CANARY = 0xBEEF;

// ---------------------------------------------------------------- UTF checks

// Well-formed UTF-8 as RFC 3629 defines it.
bool utf8_well_formed(const std::string &s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned c = (unsigned char)s[i];
        size_t need;
        unsigned lo = 0x80, hi = 0xBF;
        if (c < 0x80) { i++; continue; }
        if (c >= 0xC2 && c <= 0xDF) need = 1;
        else if (c == 0xE0) { need = 2; lo = 0xA0; }
        else if (c == 0xED) { need = 2; hi = 0x9F; }
        else if (c >= 0xE1 && c <= 0xEF) need = 2;
        else if (c == 0xF0) { need = 3; lo = 0x90; }
        else if (c == 0xF4) { need = 3; hi = 0x8F; }
        else if (c >= 0xF1 && c <= 0xF3) need = 3;
        else return false;
        for (size_t k = 1; k <= need; k++) {
            if (i + k >= s.size()) return false;
            unsigned b = (unsigned char)s[i + k];
            if (b < lo || b > hi) return false;
            lo = 0x80;
            hi = 0xBF;
        }
        i += need + 1;
    }
    return true;
}

bool utf16_well_formed(const std::u16string &s) {
    for (size_t i = 0; i < s.size(); i++) {
        char16_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            i++;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::u16string from_program(const wchar16 *t, size_t most) {
    std::u16string s;
    for (size_t i = 0; i < most && t[i] != 0; i++) s.push_back((char16_t)t[i]);
    return s;
}

void check_conversions(fuzz_input::Reader *in) {
    // 8-bit text (stops at a zero byte) into UTF-16 and back.
    std::u16string raw = in->text(true, 600);
    std::string narrow;
    for (char16_t u : raw) {
        if ((u & 0xFF) == 0) break;
        narrow.push_back((char)(u & 0xFF));
    }
    size_t capacity = in->byte();
    static wchar16 wide[WHOLE + 8];
    static wchar16 whole[WHOLE];
    utf8_to_utf16(narrow.c_str(), whole, WHOLE);
    std::u16string all = from_program(whole, WHOLE);
    check(utf16_well_formed(all));
    check(all.size() <= narrow.size());
    for (wchar16 &u : wide) u = (wchar16)CANARY;
    utf8_to_utf16(narrow.c_str(), wide, capacity);
    if (capacity == 0) {
        check(wide[0] == (wchar16)CANARY);
    } else {
        check(wide[capacity - 1] == 0);
        check(from_program(wide, capacity) == (all.size() + 1 <= capacity ? all : std::u16string()));
    }
    for (size_t k = capacity; k < WHOLE + 8; k++) check(wide[k] == (wchar16)CANARY);
    static char back[WHOLE * 3];
    utf16_to_utf8(whole, back, sizeof back);
    check(utf8_well_formed(back));
    if (utf8_well_formed(narrow)) {
        check(narrow == back);
    } else {
        check(narrow != back);
    }

    // UTF-16 units (stop at a zero unit) into UTF-8 and back.
    std::u16string units;
    for (char16_t u : in->text(true, 600)) {
        if (u == 0) break;
        units.push_back(u);
    }
    std::basic_string<wchar16> source(units.begin(), units.end());
    static char bytes[WHOLE * 3 + 8];
    static char all_bytes[WHOLE * 3];
    utf16_to_utf8(source.c_str(), all_bytes, sizeof all_bytes);
    std::string eight = all_bytes;
    check(utf8_well_formed(eight));
    check(eight.size() <= units.size() * 3);
    size_t byte_capacity = (size_t)in->number(2) % (WHOLE * 3);
    memset(bytes, 0x5A, sizeof bytes);
    utf16_to_utf8(source.c_str(), bytes, byte_capacity);
    if (byte_capacity == 0) {
        check(bytes[0] == 0x5A);
    } else {
        check(bytes[byte_capacity - 1] == 0);
        check(std::string(bytes) == (eight.size() + 1 <= byte_capacity ? eight : std::string()));
    }
    for (size_t k = byte_capacity; k < sizeof bytes; k++) check(bytes[k] == 0x5A);
    utf8_to_utf16(eight.c_str(), whole, WHOLE);
    if (utf16_well_formed(units)) check(from_program(whole, WHOLE) == units);
}

void check_hex(fuzz_input::Reader *in) {
    std::u16string raw = in->text();
    std::vector<uint8_t> v;
    for (char16_t u : raw) v.push_back((uint8_t)u);
    std::string out(2 * v.size() + 2, '\x5A');
    hex_encode(v.data(), v.size(), &out[0]);
    check(out[2 * v.size()] == 0 && out[2 * v.size() + 1] == '\x5A');
    for (size_t i = 0; i < v.size(); i++) {
        unsigned value = 0;
        for (size_t k = 0; k < 2; k++) {
            char c = out[2 * i + k];
            check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
            value = value * 16 + (unsigned)(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        check(value == v[i]);
    }
}

// ---------------------------------------------------------------- formatting

enum ArgType {
    ARG_NONE, ARG_INT, ARG_LONG, ARG_LLONG, ARG_PTRDIFF, ARG_INTMAX, ARG_UINT, ARG_ULONG,
    ARG_ULLONG, ARG_SIZE, ARG_UINTMAX, ARG_DOUBLE, ARG_LDOUBLE, ARG_NARROW_TEXT,
    ARG_WIDE_TEXT, ARG_POINTER
};

struct Conversion {
    std::string spec;     // from '%' to the conversion letter, ASCII
    std::string size;     // the size prefix
    unsigned conv;        // the conversion letter; 0 when the format ends early
    int stars;            // 0 to 2 int arguments before the value
    int star[2];
    ArgType type;
    bool comparable;      // the host's snprintf means the same (8-bit formats)
    bool same_in_wide;    // the UTF-16 text equals the 8-bit one
};

struct Values {
    long long integer;
    double real;
    std::string narrow;
    std::basic_string<wchar16> wide;
};

// The argument the conversion reads, as the formatter reads it.
ArgType argument_type(unsigned conv, const std::string &size, bool wide_format) {
    bool big = size == "ll" || size == "I64";
    switch (conv) {
    case 'd':
    case 'i':
        if (big) return ARG_LLONG;
        if (size == "l") return ARG_LONG;
        if (size == "z" || size == "t") return ARG_PTRDIFF;
        if (size == "j") return ARG_INTMAX;
        return ARG_INT;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (big) return ARG_ULLONG;
        if (size == "l") return ARG_ULONG;
        if (size == "z" || size == "t") return ARG_SIZE;
        if (size == "j") return ARG_UINTMAX;
        return ARG_UINT;
    case 'c':
        return ARG_INT;
    case 's':
    case 'S':
        if (size == "l" || size == "ll" || size == "I64") return ARG_WIDE_TEXT;
        if (size == "h") return ARG_NARROW_TEXT;
        return (conv == 'S') != wide_format ? ARG_WIDE_TEXT : ARG_NARROW_TEXT;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
        return size == "L" ? ARG_LDOUBLE : ARG_DOUBLE;
    case 'p':
        return ARG_POINTER;
    default:
        return ARG_NONE;
    }
}

Conversion read_conversion(fuzz_input::Reader *in) {
    Conversion c;
    c.spec = "%";
    c.stars = 0;
    uint8_t flags = in->byte();
    const char flag_chars[] = "-+ #0";
    for (int k = 0; k < 5; k++) {
        if (flags & (1 << k)) c.spec += flag_chars[k];
    }
    uint8_t width_pick = in->byte();
    long width = -1, precision = -1;
    bool star_width = false, star_precision = false;
    if (width_pick % 4 == 1) {
        width = (long)(in->number(3) % 100100);
        c.spec += std::to_string(width);
    } else if (width_pick % 4 == 2) {
        c.spec += "*";
        c.star[c.stars++] = (int32_t)in->number(4);
        star_width = true;
    } else if (width_pick % 4 == 3) {
        width = in->byte();
        c.spec += std::to_string(width);
    }
    uint8_t precision_pick = in->byte();
    if (precision_pick % 4 == 1) {
        c.spec += ".";
        precision = 0;
    } else if (precision_pick % 4 == 2) {
        precision = (long)(in->number(3) % 100100);
        if (precision_pick & 4) precision %= 200;
        c.spec += "." + std::to_string(precision);
    } else if (precision_pick % 4 == 3) {
        c.spec += ".*";
        c.star[c.stars++] = (int32_t)in->number(4);
        star_precision = true;
    }
    static const char *const sizes[] = {"", "hh", "h", "l", "ll", "z", "j", "t", "L", "I64"};
    std::string size = sizes[in->byte() % 10];
    c.spec += size;
    static const char convs[] = "diuxXocsSfFeEgGp%";
    uint8_t conv_pick = in->byte();
    unsigned conv = conv_pick < 0xF0 ? (unsigned char)convs[conv_pick % (sizeof convs - 1)]
                                     : (unsigned)in->byte();
    // Any other letter is refused by the formatter; one that would continue
    // the conversion text stands for such a letter.
    if (conv != 0 && strchr("-+ #0123456789.*hlzjtLI", (int)conv) != nullptr) conv = 'q';
    if (conv != 0) c.spec += (char)conv;
    c.size = size;
    c.conv = conv;
    c.type = argument_type(conv, size, false);

    // Where the host's printf means the same.
    int effective_width = star_width ? c.star[0] : (int)width;
    int effective_precision = star_precision ? c.star[c.stars - 1] : (int)precision;
    bool small = effective_width > -1000 && effective_width < 1000 && effective_precision < 1000;
    bool alt = flags & 8, zero = flags & 16;
    bool integer = strchr("diuxXo", (int)conv) != nullptr && conv != 0;
    bool real = strchr("fFeEgG", (int)conv) != nullptr && conv != 0;
    c.comparable = small && size != "I64";
    // The C library reads "L" with an integer conversion, and "ll" with a
    // floating one, as the other's long type; C leaves both undefined.
    if (integer) c.comparable = c.comparable && size != "L" && (!alt || strchr("xXo", (int)conv));
    else if (real) c.comparable = c.comparable && (size == "" || size == "l") && effective_precision <= 100 &&
                                  effective_width <= 300 && effective_width >= -300;
    else if (conv == 'c') c.comparable = c.comparable && size == "" && !alt && !zero && precision < 0 && !star_precision;
    else if (conv == 's') c.comparable = c.comparable && size == "" && !alt && !zero;
    else c.comparable = false;
    c.same_in_wide = integer || real || conv == '%' || (conv == 'c' && size == "");
    return c;
}

// Calls the formatter with the conversion's int arguments, then the value.
template <typename Call>
int with_arguments(const Conversion &c, ArgType type, const Values &v, Call call) {
    auto value = [&](auto... stars) -> int {
        switch (type) {
        case ARG_NONE: return call(stars...);
        case ARG_INT: return call(stars..., (int)v.integer);
        case ARG_LONG: return call(stars..., (long)v.integer);
        case ARG_LLONG: return call(stars..., (long long)v.integer);
        case ARG_PTRDIFF: return call(stars..., (ptrdiff_t)v.integer);
        case ARG_INTMAX: return call(stars..., (intmax_t)v.integer);
        case ARG_UINT: return call(stars..., (unsigned)v.integer);
        case ARG_ULONG: return call(stars..., (unsigned long)v.integer);
        case ARG_ULLONG: return call(stars..., (unsigned long long)v.integer);
        case ARG_SIZE: return call(stars..., (size_t)v.integer);
        case ARG_UINTMAX: return call(stars..., (uintmax_t)v.integer);
        case ARG_DOUBLE: return call(stars..., v.real);
        case ARG_LDOUBLE: return call(stars..., (long double)v.real);
        case ARG_NARROW_TEXT: return call(stars..., v.narrow.c_str());
        case ARG_WIDE_TEXT: return call(stars..., v.wide.c_str());
        case ARG_POINTER: return call(stars..., (void *)(uintptr_t)v.integer);
        }
        return -1;
    };
    if (c.stars == 0) return value();
    if (c.stars == 1) return value(c.star[0]);
    return value(c.star[0], c.star[1]);
}

#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
#pragma clang diagnostic ignored "-Wformat-security"

// The 8-bit formatter into a buffer of every capacity the input asks for.
void check_narrow(const std::string &format, const Conversion &c, const Values &v, size_t capacity,
                  std::string *text, int *length) {
    static char whole[WHOLE];
    int n = with_arguments(c, c.type, v, [&](auto... a) {
        return format_narrow(whole, WHOLE, format.c_str(), a...);
    });
    check(n >= -1 && n < (int)WHOLE);
    check(memchr(whole, 0, WHOLE) != nullptr);
    if (n >= 0) check(whole[n] == 0);
    static char cut[WHOLE + 16];
    memset(cut, 0x5A, sizeof cut);
    int m = with_arguments(c, c.type, v, [&](auto... a) {
        return format_narrow(cut, capacity, format.c_str(), a...);
    });
    for (size_t k = capacity; k < sizeof cut; k++) check(cut[k] == 0x5A);
    if (capacity == 0) {
        check(m == -1);
    } else if (n >= 0 && (size_t)n < capacity) {
        check(m == n && memcmp(cut, whole, (size_t)n + 1) == 0);
    } else if (n >= 0) {
        // Cut: exactly capacity - 1 bytes of the whole text, then the end.
        check(m == -1 && memcmp(cut, whole, capacity - 1) == 0 && cut[capacity - 1] == 0);
    } else {
        check(m == -1 && memchr(cut, 0, capacity) != nullptr);
    }
    *text = n >= 0 ? std::string(whole, (size_t)n) : std::string();
    *length = n;
    if (n >= 0 && c.comparable) {
        static char host[WHOLE];
        int h = with_arguments(c, c.type, v, [&](auto... a) {
            return snprintf(host, WHOLE, format.c_str(), a...);
        });
        check(h == n && memcmp(host, whole, (size_t)n) == 0);
    }
}

// The UTF-16 formatter, the same way; a cut may stop one unit early rather
// than split a surrogate pair.
void check_wide(const std::basic_string<wchar16> &format, const Conversion &c, const Values &v,
                size_t capacity, std::u16string *text, int *length) {
    static wchar16 whole[WHOLE];
    // A plain %s is UTF-16 text here.
    ArgType type = argument_type(c.conv, c.size, true);
    int n = with_arguments(c, type, v, [&](auto... a) {
        return format_wide(whole, WHOLE, format.c_str(), a...);
    });
    check(n >= -1 && n < (int)WHOLE);
    // The text may hold zero units (%c of 0): its length is the result.
    std::u16string all = n >= 0 ? std::u16string(whole, whole + n) : from_program(whole, WHOLE);
    if (n >= 0) check(whole[n] == 0);
    static wchar16 cut[WHOLE + 16];
    for (wchar16 &u : cut) u = (wchar16)CANARY;
    int m = with_arguments(c, type, v, [&](auto... a) {
        return format_wide(cut, capacity, format.c_str(), a...);
    });
    for (size_t k = capacity; k < WHOLE + 16; k++) check(cut[k] == (wchar16)CANARY);
    if (capacity == 0) {
        check(m == -1);
    } else if (n >= 0 && (size_t)n < capacity) {
        check(m == n && std::u16string(cut, cut + n) == all && cut[n] == 0);
    } else if (n >= 0) {
        // Cut after capacity - 1 units, or one earlier where a surrogate
        // pair would not fit whole.
        check(m == -1);
        size_t kept = capacity - 1;
        if (cut[kept] != 0) {
            check(capacity >= 2 && cut[capacity - 2] == 0);
            kept = capacity - 2;
            check(all[kept] >= 0xD800 && all[kept] <= 0xDBFF);
        }
        check(all.compare(0, kept, std::u16string(cut, cut + kept)) == 0);
    } else {
        check(m == -1);
        bool ended = false;
        for (size_t k = 0; k < capacity && !ended; k++) ended = cut[k] == 0;
        check(ended);
    }
    *text = all;
    *length = n;
}

#pragma clang diagnostic pop

std::string literal_narrow(const std::u16string &t) {
    std::string s;
    for (char16_t u : t) {
        char b = (char)(u & 0xFF);
        if (b == 0) continue;
        if (b == '%') s += '%';
        s += b;
    }
    return s;
}

void check_format(fuzz_input::Reader *in) {
    std::u16string before = in->text(), after = in->text();
    Conversion c = read_conversion(in);
    Values v;
    v.integer = (long long)in->number(8);
    uint64_t bits = in->number(8);
    memcpy(&v.real, &bits, sizeof v.real);
    std::u16string t = in->text();
    for (char16_t u : t) {
        if ((u & 0xFF) != 0) v.narrow.push_back((char)(u & 0xFF));
        if (u != 0) v.wide.push_back((wchar16)u);
    }
    size_t capacity = in->byte() % 2 ? in->byte() : (size_t)in->number(2) % WHOLE;

    // A format that ends inside the conversion has nothing after it.
    std::string format = literal_narrow(before) + c.spec + (c.conv != 0 ? literal_narrow(after) : "");
    std::string narrow_text;
    int narrow_length;
    check_narrow(format, c, v, capacity, &narrow_text, &narrow_length);

    // The same format in UTF-16: ASCII literal units as they are.
    std::basic_string<wchar16> wide_format;
    for (unsigned char b : format) wide_format.push_back((wchar16)b);
    std::u16string wide_text;
    int wide_length;
    check_wide(wide_format, c, v, capacity, &wide_text, &wide_length);
    bool ascii = true;
    for (unsigned char b : format) ascii = ascii && b < 0x80;
    for (unsigned char b : narrow_text) ascii = ascii && b < 0x80 && b != 0;
    if (c.conv == 'c' && ((unsigned long long)v.integer & 0xFFFF) >= 0x80) ascii = false;
    if (c.same_in_wide && ascii && narrow_length >= 0) {
        check(wide_length == narrow_length);
        check(wide_text == std::u16string(narrow_text.begin(), narrow_text.end()));
    }
    // UTF-16 literals of any units around the conversion are copied as they are.
    std::basic_string<wchar16> around = fuzz_input::program_text(before);
    std::basic_string<wchar16> escaped;
    for (wchar16 u : around) {
        if (u == '%') escaped.push_back(u);
        escaped.push_back(u);
    }
    std::u16string expected(around.begin(), around.end());
    static wchar16 out[WHOLE];
    int n = format_wide(out, WHOLE, escaped.c_str());
    if (expected.size() < WHOLE) check(n == (int)expected.size() && from_program(out, WHOLE) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input::Reader in = {data, size, 0, 0};
    in.wide = 1;
    for (int op = 0; op < 4 && !in.done(); op++) {
        uint8_t pick = in.byte();
        if (pick % 4 == 0) check_conversions(&in);
        else if (pick % 4 == 1) check_hex(&in);
        else check_format(&in);
    }
    return 0;
}
