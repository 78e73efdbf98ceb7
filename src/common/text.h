// Bounded text formatting, UTF-8/UTF-16 conversion and hexadecimal encoding.
// Pure functions, safe on any thread; they build natively and for Windows.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// UTF-16 code unit: wchar_t on Windows, char16_t elsewhere, so the same
// sources build for both. T16("...") writes a UTF-16 literal.
#ifdef _WIN32
typedef wchar_t wchar16;
#define T16(s) L##s
#else
typedef char16_t wchar16;
#define T16(s) u##s
#endif

#if defined(__MINGW32__) && !defined(__clang__)
// The program's own formatter follows the C99 conventions, not the old
// runtime's (clang checks plain printf formats by those conventions already).
#define VQ_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define VQ_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define VQ_PRINTF(fmt_index, first_arg)
#endif

// Formatting. UTF-16 formats: %ls inserts UTF-16 text, %hs 8-bit text (plain %s
// is UTF-16 as well). 8-bit formats: %s and %hs insert 8-bit text, %ls UTF-16
// text converted to UTF-8. Numbers: d i u x X o c with flags, width, precision
// and the h hh l ll z I64 size prefixes; f e g with precision. The result is cut
// to capacity - 1 units and always terminated (nothing is written when the
// capacity is 0). Returns the length in units, or -1 when cut or not formatted.
int format_wide(wchar16 *buffer, size_t capacity, const wchar16 *format, ...);
int format_wide_v(wchar16 *buffer, size_t capacity, const wchar16 *format, va_list args);
int format_narrow(char *buffer, size_t capacity, const char *format, ...) VQ_PRINTF(3, 4);
int format_narrow_v(char *buffer, size_t capacity, const char *format, va_list args);

// Conversions. The whole result, terminator included, must fit: otherwise the
// output is the empty text. Ill-formed input becomes U+FFFD. The last unit of
// the buffer is always set to 0; with capacity 0 nothing is written.
void utf8_to_utf16(const char *text, wchar16 *buffer, size_t capacity);
void utf16_to_utf8(const wchar16 *text, char *buffer, size_t capacity);

// 2n lower-case hex digits, high nibble first, then a zero byte. The output
// buffer holds at least 2n + 1 bytes.
void hex_encode(const uint8_t *bytes, size_t count, char *out);

// 1 for the code points that can break, hide or reorder a line of text: the
// C0 controls (CR, LF, TAB, ...), DEL, the C1 controls U+0080-U+009F, the
// separators U+2028 and U+2029, and the bidirectional format controls U+061C
// (the Arabic letter mark), U+200E, U+200F, U+202A-U+202E and U+2066-U+2069.
int text_code_point_hidden(uint32_t cp);

// Text from outside the program (the signed manifest's fields in a refusal's
// detail, the registry, the network) made safe for one log line or message:
// the code points of text_code_point_hidden, the backslash, and bytes that are
// not well-formed UTF-8 become \xNN (two lower-case hex digits) for each of
// their bytes; everything else is copied. So the result never holds a line
// break or a change of writing direction, and every backslash in it starts
// an escape. Cut to capacity - 1 bytes before a character or escape that does
// not fit whole, always terminated (nothing is written when the capacity is
// 0). Returns the length in bytes, or -1 when cut. A buffer of 4n + 1 bytes
// holds any n-byte text whole.
int text_escape_controls(const char *text, char *buffer, size_t capacity);
// The same for UTF-16 text: a character that is escaped becomes \xNN for each
// byte of its UTF-8 form (a lone surrogate: of its three-byte form), exactly
// as text_escape_controls writes the same character. Capacity and result in
// UTF-16 units; a buffer of 12n + 1 units holds any n-unit text whole.
int text16_escape_controls(const wchar16 *text, wchar16 *buffer, size_t capacity);

// Small helpers over UTF-16 text.
size_t text16_length(const wchar16 *text);
// Copies text into buffer, cut to capacity - 1 units; returns 0, or -1 when cut.
int text16_copy(wchar16 *buffer, size_t capacity, const wchar16 *text);
// Compares ASCII letters ignoring case; other units must match exactly.
int text16_equal_ascii_nocase(const wchar16 *a, const wchar16 *b);
