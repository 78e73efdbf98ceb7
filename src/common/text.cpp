// Bounded formatting into UTF-16 and 8-bit buffers, UTF-8/UTF-16 conversion
// and hexadecimal encoding. The formatter is the program's own so that %ls, %hs
// and the integer conversions mean the same with every C runtime; only floating
// point goes through the runtime's snprintf.
#include "common/text.h"

#include <stdio.h>
#include <string.h>

#include <type_traits>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// ---------------------------------------------------------------- output sinks

// Once cut, a sink takes nothing more: the text ends where the first unit
// that did not fit would have started.
struct WideSink {
    wchar16 *buffer;
    size_t capacity;
    size_t length;
    int cut;
};

struct NarrowSink {
    char *buffer;
    size_t capacity;
    size_t length;
    int cut;
};

void sink_unit(WideSink *s, uint32_t unit) {
    if (!s->cut && s->length + 1 < s->capacity) {
        s->buffer[s->length++] = (wchar16)unit;
    } else {
        s->cut = 1;
    }
}

void sink_unit(NarrowSink *s, uint32_t unit) {
    if (!s->cut && s->length + 1 < s->capacity) {
        s->buffer[s->length++] = (char)unit;
    } else {
        s->cut = 1;
    }
}

// Decodes one UTF-8 sequence at text[*pos] (at most `limit` bytes); ill-formed
// input yields U+FFFD for each maximal ill-formed subpart.
uint32_t utf8_next(const unsigned char *text, size_t limit, size_t *pos) {
    size_t i = *pos;
    unsigned c = text[i];
    if (c < 0x80) {
        *pos = i + 1;
        return c;
    }
    unsigned need;
    uint32_t cp;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1; cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2; cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3; cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        *pos = i + 1;
        return 0xFFFD;
    }
    i++;
    for (unsigned k = 0; k < need; k++) {
        if (i >= limit) {
            *pos = i;
            return 0xFFFD;
        }
        unsigned b = text[i];
        if (b < lo || b > hi) {
            *pos = i;
            return 0xFFFD;
        }
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        i++;
    }
    *pos = i;
    return cp;
}

// Decodes one code point from UTF-16; a lone surrogate yields U+FFFD.
uint32_t utf16_next(const wchar16 *text, size_t limit, size_t *pos) {
    size_t i = *pos;
    uint32_t u = (uint16_t)text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < limit) {
        uint32_t v = (uint16_t)text[i + 1];
        if (v >= 0xDC00 && v <= 0xDFFF) {
            *pos = i + 2;
            return 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
        }
    }
    *pos = i + 1;
    if (u >= 0xD800 && u <= 0xDFFF) return 0xFFFD;
    return u;
}

void put_code_point(WideSink *s, uint32_t cp) {
    if (cp >= 0x10000) {
        // Both halves or neither: a pair is never split by the cut.
        if (s->length + 2 < s->capacity) {
            cp -= 0x10000;
            sink_unit(s, 0xD800 + (cp >> 10));
            sink_unit(s, 0xDC00 + (cp & 0x3FF));
        } else {
            s->cut = 1;
        }
    } else {
        sink_unit(s, cp);
    }
}

void put_code_point(NarrowSink *s, uint32_t cp) {
    if (cp < 0x80) {
        sink_unit(s, cp);
    } else if (cp < 0x800) {
        sink_unit(s, 0xC0 | (cp >> 6));
        sink_unit(s, 0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        sink_unit(s, 0xE0 | (cp >> 12));
        sink_unit(s, 0x80 | ((cp >> 6) & 0x3F));
        sink_unit(s, 0x80 | (cp & 0x3F));
    } else {
        sink_unit(s, 0xF0 | (cp >> 18));
        sink_unit(s, 0x80 | ((cp >> 12) & 0x3F));
        sink_unit(s, 0x80 | ((cp >> 6) & 0x3F));
        sink_unit(s, 0x80 | (cp & 0x3F));
    }
}

// 8-bit text into a wide sink: decoded as UTF-8. Into a narrow sink: as it is.
void put_narrow_text(WideSink *s, const char *text, size_t count) {
    size_t pos = 0;
    while (pos < count) put_code_point(s, utf8_next((const unsigned char *)text, count, &pos));
}

void put_narrow_text(NarrowSink *s, const char *text, size_t count) {
    for (size_t i = 0; i < count; i++) sink_unit(s, (unsigned char)text[i]);
}

void put_wide_text(WideSink *s, const wchar16 *text, size_t count) {
    for (size_t i = 0; i < count; i++) sink_unit(s, (uint16_t)text[i]);
}

void put_wide_text(NarrowSink *s, const wchar16 *text, size_t count) {
    size_t pos = 0;
    while (pos < count) put_code_point(s, utf16_next(text, count, &pos));
}

template <typename Sink>
void put_repeat(Sink *s, uint32_t unit, long count) {
    for (long i = 0; i < count; i++) sink_unit(s, unit);
}

// ---------------------------------------------------------------- conversions

struct Spec {
    int left;       // '-'
    int plus;       // '+'
    int space;      // ' '
    int alt;        // '#'
    int zero;       // '0'
    long width;     // -1 when absent
    long precision; // -1 when absent
    int size;       // 'H' hh, 'h', 'l', 'L' ll, 'z', 'j', 't', 'D' long double
    unsigned conv;
};

template <typename Sink>
void put_integer(Sink *s, const Spec *spec, uint64_t magnitude, int negative) {
    char digits[32];
    int n = 0;
    unsigned base = 10;
    const char *set = "0123456789abcdef";
    if (spec->conv == 'x' || spec->conv == 'p') base = 16;
    if (spec->conv == 'X') { base = 16; set = "0123456789ABCDEF"; }
    if (spec->conv == 'o') base = 8;
    while (magnitude != 0) {
        digits[n++] = set[magnitude % base];
        magnitude /= base;
    }
    long precision = spec->precision < 0 ? 1 : spec->precision;
    long zeros = precision > n ? precision - n : 0;
    if (spec->conv == 'o' && spec->alt && zeros == 0 && (n == 0 || digits[n - 1] != '0')) zeros = 1;
    char prefix[3];
    int prefix_len = 0;
    if (spec->conv == 'd' || spec->conv == 'i') {
        if (negative) prefix[prefix_len++] = '-';
        else if (spec->plus) prefix[prefix_len++] = '+';
        else if (spec->space) prefix[prefix_len++] = ' ';
    }
    if ((spec->conv == 'x' || spec->conv == 'X') && spec->alt && n > 0) {
        prefix[prefix_len++] = '0';
        prefix[prefix_len++] = (char)spec->conv;
    }
    long body = prefix_len + zeros + n;
    long pad = spec->width > body ? spec->width - body : 0;
    int zero_pad = spec->zero && !spec->left && spec->precision < 0;
    if (!spec->left && !zero_pad) put_repeat(s, ' ', pad);
    for (int i = 0; i < prefix_len; i++) sink_unit(s, (unsigned char)prefix[i]);
    if (zero_pad) put_repeat(s, '0', pad);
    put_repeat(s, '0', zeros);
    while (n > 0) sink_unit(s, (unsigned char)digits[--n]);
    if (spec->left) put_repeat(s, ' ', pad);
}

template <typename Sink>
int put_float(Sink *s, const Spec *spec, double value) {
    char fmt[16];
    char out[400];
    int k = 0;
    fmt[k++] = '%';
    if (spec->left) fmt[k++] = '-';
    if (spec->plus) fmt[k++] = '+';
    if (spec->space) fmt[k++] = ' ';
    if (spec->alt) fmt[k++] = '#';
    if (spec->zero) fmt[k++] = '0';
    fmt[k++] = '*';
    fmt[k++] = '.';
    fmt[k++] = '*';
    fmt[k++] = (char)spec->conv;
    fmt[k] = 0;
    int width = spec->width < 0 ? 0 : (int)spec->width;
    int precision = spec->precision < 0 ? 6 : (int)spec->precision;
    if (width > 300 || precision > 100) return -1;
    int n = snprintf(out, sizeof out, fmt, width, precision, value);
    if (n < 0 || (size_t)n >= sizeof out) return -1;
    for (int i = 0; i < n; i++) sink_unit(s, (unsigned char)out[i]);
    return 0;
}

template <typename Sink, typename Text>
void put_padded(Sink *s, const Spec *spec, const Text *text, int wide_text) {
    size_t count = 0;
    if (text == nullptr) {
        static const char null_text[] = "(null)";
        put_padded(s, spec, null_text, 0);
        return;
    }
    while ((spec->precision < 0 || (long)count < spec->precision) && text[count] != 0) count++;
    long pad = spec->width > (long)count ? spec->width - (long)count : 0;
    if (!spec->left) put_repeat(s, ' ', pad);
    if (wide_text) put_wide_text(s, (const wchar16 *)(const void *)text, count);
    else put_narrow_text(s, (const char *)(const void *)text, count);
    if (spec->left) put_repeat(s, ' ', pad);
}

// The one formatting engine for both widths. `wide_format` decides what a plain
// %s means: UTF-16 text in UTF-16 formats, 8-bit text in 8-bit formats.
template <typename Sink, typename Unit>
int format_engine(Sink *s, const Unit *format, va_list args, int wide_format) {
    size_t i = 0;
    while (format[i] != 0) {
        uint32_t c = (uint32_t)(typename std::make_unsigned<Unit>::type)format[i];
        if (c != '%') {
            sink_unit(s, c);
            i++;
            continue;
        }
        i++;
        Spec spec;
        memset(&spec, 0, sizeof spec);
        spec.width = -1;
        spec.precision = -1;
        for (;;) {
            uint32_t f = (uint32_t)format[i];
            if (f == '-') spec.left = 1;
            else if (f == '+') spec.plus = 1;
            else if (f == ' ') spec.space = 1;
            else if (f == '#') spec.alt = 1;
            else if (f == '0') spec.zero = 1;
            else break;
            i++;
        }
        // Widths and precisions, written or given as arguments, are bounded
        // like the buffers: a larger one is a formatting failure, not a
        // padding loop of billions of units.
        if ((uint32_t)format[i] == '*') {
            int64_t w = va_arg(args, int);  // wide enough to negate INT_MIN
            if (w < 0) { spec.left = 1; w = -w; }
            if (w > 100000) return -1;
            spec.width = (long)w;
            i++;
        } else {
            while ((uint32_t)format[i] >= '0' && (uint32_t)format[i] <= '9') {
                if (spec.width < 0) spec.width = 0;
                spec.width = spec.width * 10 + ((uint32_t)format[i] - '0');
                if (spec.width > 100000) return -1;
                i++;
            }
        }
        if ((uint32_t)format[i] == '.') {
            i++;
            spec.precision = 0;
            if ((uint32_t)format[i] == '*') {
                int p = va_arg(args, int);
                if (p > 100000) return -1;
                spec.precision = p < 0 ? -1 : p;
                i++;
            } else {
                while ((uint32_t)format[i] >= '0' && (uint32_t)format[i] <= '9') {
                    spec.precision = spec.precision * 10 + ((uint32_t)format[i] - '0');
                    if (spec.precision > 100000) return -1;
                    i++;
                }
            }
        }
        uint32_t f = (uint32_t)format[i];
        if (f == 'h') {
            i++;
            spec.size = 'h';
            if ((uint32_t)format[i] == 'h') { spec.size = 'H'; i++; }
        } else if (f == 'l') {
            i++;
            spec.size = 'l';
            if ((uint32_t)format[i] == 'l') { spec.size = 'L'; i++; }
        } else if (f == 'z' || f == 'j' || f == 't') {
            spec.size = (int)f;
            i++;
        } else if (f == 'L') {
            spec.size = 'D';
            i++;
        } else if (f == 'I' && (uint32_t)format[i + 1] == '6' && (uint32_t)format[i + 2] == '4') {
            spec.size = 'L';
            i += 3;
        }
        spec.conv = (uint32_t)format[i];
        if (spec.conv == 0) return -1;
        i++;
        switch (spec.conv) {
        case '%':
            sink_unit(s, '%');
            break;
        case 'd':
        case 'i': {
            long long v;
            if (spec.size == 'L') v = va_arg(args, long long);
            else if (spec.size == 'l') v = va_arg(args, long);
            else if (spec.size == 'z' || spec.size == 't') v = (long long)va_arg(args, ptrdiff_t);
            else if (spec.size == 'j') v = (long long)va_arg(args, intmax_t);
            else v = va_arg(args, int);
            if (spec.size == 'h') v = (short)v;
            if (spec.size == 'H') v = (signed char)v;
            uint64_t m = v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v;
            put_integer(s, &spec, m, v < 0);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long v;
            if (spec.size == 'L') v = va_arg(args, unsigned long long);
            else if (spec.size == 'l') v = va_arg(args, unsigned long);
            else if (spec.size == 'z' || spec.size == 't') v = va_arg(args, size_t);
            else if (spec.size == 'j') v = (unsigned long long)va_arg(args, uintmax_t);
            else v = va_arg(args, unsigned int);
            if (spec.size == 'h') v = (unsigned short)v;
            if (spec.size == 'H') v = (unsigned char)v;
            put_integer(s, &spec, v, 0);
            break;
        }
        case 'p': {
            Spec p = spec;
            p.alt = 1;
            put_integer(s, &p, (uint64_t)(uintptr_t)va_arg(args, void *), 0);
            break;
        }
        case 'c': {
            uint32_t ch = (uint32_t)va_arg(args, int);
            long pad = spec.width > 1 ? spec.width - 1 : 0;
            if (!spec.left) put_repeat(s, ' ', pad);
            if (spec.size == 'l' || (wide_format && spec.size != 'h')) put_code_point(s, ch & 0xFFFF);
            else sink_unit(s, ch & 0xFF);
            if (spec.left) put_repeat(s, ' ', pad);
            break;
        }
        case 's':
        case 'S': {
            int wide_text;
            if (spec.size == 'l' || spec.size == 'L') wide_text = 1;
            else if (spec.size == 'h') wide_text = 0;
            else wide_text = (spec.conv == 'S') ? !wide_format : wide_format;
            if (wide_text) put_padded(s, &spec, va_arg(args, const wchar16 *), 1);
            else put_padded(s, &spec, va_arg(args, const char *), 0);
            break;
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G': {
            double v = spec.size == 'D' ? (double)va_arg(args, long double) : va_arg(args, double);
            if (put_float(s, &spec, v) != 0) return -1;
            break;
        }
        default:
            return -1;
        }
    }
    return 0;
}

template <typename Sink>
int finish(Sink *s, int status) {
    if (s->capacity == 0) return -1;
    s->buffer[s->length] = 0;
    if (status != 0 || s->cut) return -1;
    return (int)s->length;
}

}  // namespace



int format_wide_v(wchar16 *buffer, size_t capacity, const wchar16 *format, va_list args) {
    WideSink s = {buffer, capacity, 0, 0};
    if (buffer == nullptr || capacity == 0) return -1;
    int status = format == nullptr ? -1 : format_engine(&s, format, args, 1);
    return finish(&s, status);
}

int format_wide(wchar16 *buffer, size_t capacity, const wchar16 *format, ...) {
    va_list args;
    va_start(args, format);
    int n = format_wide_v(buffer, capacity, format, args);
    va_end(args);
    return n;
}

int format_narrow_v(char *buffer, size_t capacity, const char *format, va_list args) {
    NarrowSink s = {buffer, capacity, 0, 0};
    if (buffer == nullptr || capacity == 0) return -1;
    int status = format == nullptr ? -1 : format_engine(&s, format, args, 0);
    return finish(&s, status);
}

int format_narrow(char *buffer, size_t capacity, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = format_narrow_v(buffer, capacity, format, args);
    va_end(args);
    return n;
}

void utf8_to_utf16(const char *text, wchar16 *buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return;
    buffer[0] = 0;
    buffer[capacity - 1] = 0;
    if (text == nullptr) return;
#ifdef _WIN32
    // The system's UTF-8 code page conversion, without error flags: ill-formed
    // input becomes U+FFFD. -1 counts the terminator in.
    int needed = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (needed <= 0 || (size_t)needed > capacity) return;
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, (int)capacity) != needed) buffer[0] = 0;
#else
    size_t count = strlen(text);
    WideSink s = {buffer, capacity, 0, 0};
    put_narrow_text(&s, text, count);
    if (s.cut) {
        buffer[0] = 0;
        return;
    }
    buffer[s.length] = 0;
#endif
}

void utf16_to_utf8(const wchar16 *text, char *buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return;
    buffer[0] = 0;
    buffer[capacity - 1] = 0;
    if (text == nullptr) return;
#ifdef _WIN32
    int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0 || (size_t)needed > capacity) return;
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, (int)capacity, nullptr, nullptr) != needed) buffer[0] = 0;
#else
    NarrowSink s = {buffer, capacity, 0, 0};
    put_wide_text(&s, text, text16_length(text));
    if (s.cut) {
        buffer[0] = 0;
        return;
    }
    buffer[s.length] = 0;
#endif
}

void hex_encode(const uint8_t *bytes, size_t count, char *out) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < count; i++) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[2 * count] = 0;
}

size_t text16_length(const wchar16 *text) {
    size_t n = 0;
    while (text[n] != 0) n++;
    return n;
}

int text16_copy(wchar16 *buffer, size_t capacity, const wchar16 *text) {
    if (capacity == 0) return -1;
    size_t n = 0;
    while (text[n] != 0 && n + 1 < capacity) {
        buffer[n] = text[n];
        n++;
    }
    buffer[n] = 0;
    return text[n] == 0 ? 0 : -1;
}

static uint32_t ascii_lower(uint32_t u) {
    return (u >= 'A' && u <= 'Z') ? u + 32 : u;
}

int text16_equal_ascii_nocase(const wchar16 *a, const wchar16 *b) {
    size_t i = 0;
    for (;;) {
        uint32_t x = ascii_lower((uint16_t)a[i]);
        uint32_t y = ascii_lower((uint16_t)b[i]);
        if (x != y) return 0;
        if (x == 0) return 1;
        i++;
    }
}

// Whether code point cp, decoded from `count` bytes at `bytes`, is written as
// escapes: controls, DEL, the backslash (so that every escape in the result
// is one), the C1 controls, the line and paragraph separators, and bytes that
// are not well-formed UTF-8 (a decoded U+FFFD that is not the 3 bytes of a
// real one).
int text_code_point_hidden(uint32_t cp) {
    if (cp < 0x20 || cp == 0x7F) return 1;
    if (cp >= 0x80 && cp <= 0x9F) return 1;
    if (cp == 0x2028 || cp == 0x2029) return 1;
    // Marks, embeddings, overrides and isolates of the bidirectional algorithm.
    if (cp == 0x061C || cp == 0x200E || cp == 0x200F) return 1;
    if (cp >= 0x202A && cp <= 0x202E) return 1;
    if (cp >= 0x2066 && cp <= 0x2069) return 1;
    return 0;
}

static int escape_needed(uint32_t cp, const unsigned char *bytes, size_t count) {
    if (text_code_point_hidden(cp) || cp == '\\') return 1;
    if (cp == 0xFFFD) {
        return !(count == 3 && bytes[0] == 0xEF && bytes[1] == 0xBF && bytes[2] == 0xBD);
    }
    return 0;
}

int text_escape_controls(const char *text, char *buffer, size_t capacity) {
    if (capacity == 0) return -1;
    static const char digits[] = "0123456789abcdef";
    const unsigned char *in = (const unsigned char *)text;
    size_t limit = strlen(text);
    size_t pos = 0;
    size_t length = 0;
    int cut = 0;
    while (pos < limit) {
        size_t start = pos;
        uint32_t cp = utf8_next(in, limit, &pos);
        size_t count = pos - start;
        int escaped = escape_needed(cp, in + start, count);
        // A character and its escapes go in whole or not at all.
        size_t need = escaped ? 4 * count : count;
        if (length + need + 1 > capacity) {
            cut = 1;
            break;
        }
        for (size_t k = 0; k < count; k++) {
            unsigned char b = in[start + k];
            if (escaped) {
                buffer[length++] = '\\';
                buffer[length++] = 'x';
                buffer[length++] = digits[b >> 4];
                buffer[length++] = digits[b & 0x0F];
            } else {
                buffer[length++] = (char)b;
            }
        }
    }
    buffer[length] = 0;
    return cut ? -1 : (int)length;
}

int text16_escape_controls(const wchar16 *text, wchar16 *buffer, size_t capacity) {
    if (capacity == 0) return -1;
    static const char digits[] = "0123456789abcdef";
    size_t limit = text16_length(text);
    size_t pos = 0;
    size_t length = 0;
    int cut = 0;
    while (pos < limit) {
        size_t start = pos;
        uint32_t unit = (uint16_t)text[pos];
        uint32_t cp = unit;
        // A surrogate pair is one character; a lone surrogate stands for itself.
        if (unit >= 0xD800 && unit <= 0xDBFF && pos + 1 < limit && (uint16_t)text[pos + 1] >= 0xDC00 &&
            (uint16_t)text[pos + 1] <= 0xDFFF) {
            cp = 0x10000 + ((unit - 0xD800) << 10) + ((uint16_t)text[pos + 1] - 0xDC00);
            pos += 2;
        } else {
            pos += 1;
        }
        int lone = cp >= 0xD800 && cp <= 0xDFFF;
        int escaped = lone || text_code_point_hidden(cp) || cp == '\\';
        size_t count = pos - start;
        unsigned char bytes[4];
        size_t byte_count = 0;
        if (escaped) {
            // The character's UTF-8 form (every escaped one is below U+10000).
            if (cp < 0x80) {
                bytes[byte_count++] = (unsigned char)cp;
            } else if (cp < 0x800) {
                bytes[byte_count++] = (unsigned char)(0xC0 | (cp >> 6));
                bytes[byte_count++] = (unsigned char)(0x80 | (cp & 0x3F));
            } else {
                bytes[byte_count++] = (unsigned char)(0xE0 | (cp >> 12));
                bytes[byte_count++] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
                bytes[byte_count++] = (unsigned char)(0x80 | (cp & 0x3F));
            }
        }
        // A character and its escapes go in whole or not at all.
        size_t need = escaped ? 4 * byte_count : count;
        if (length + need + 1 > capacity) {
            cut = 1;
            break;
        }
        if (escaped) {
            for (size_t k = 0; k < byte_count; k++) {
                buffer[length++] = '\\';
                buffer[length++] = 'x';
                buffer[length++] = (wchar16)digits[bytes[k] >> 4];
                buffer[length++] = (wchar16)digits[bytes[k] & 0x0F];
            }
        } else {
            for (size_t k = 0; k < count; k++) buffer[length++] = text[start + k];
        }
    }
    buffer[length] = 0;
    return cut ? -1 : (int)length;
}
