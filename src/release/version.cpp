// Version numbers: validity and precedence.
#include "release/version.h"

#include <string.h>

namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool is_pre_release_char(char c) {
    return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.';
}

// Compares two runs of decimal digits by value, without converting them:
// leading zeros are dropped (keeping one digit), then the longer run is the
// larger and runs of equal length compare digit by digit.
int compare_digits(const char *a, size_t na, const char *b, size_t nb) {
    while (na > 1 && *a == '0') {
        a++;
        na--;
    }
    while (nb > 1 && *b == '0') {
        b++;
        nb--;
    }
    if (na != nb) return na < nb ? -1 : 1;
    int c = memcmp(a, b, na);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

size_t digit_run(const char *p) {
    size_t n = 0;
    while (is_digit(p[n])) n++;
    return n;
}

bool numeric_identifier(const char *p, size_t n) {
    if (n == 0) return false;
    for (size_t i = 0; i < n; i++) {
        if (!is_digit(p[i])) return false;
    }
    return true;
}

// Length of the pre-release identifier at p: up to '.' or the end.
size_t identifier_length(const char *p) {
    size_t n = 0;
    while (p[n] != 0 && p[n] != '.') n++;
    return n;
}

}  // namespace

int version_valid(const char *text) {
    if (text == nullptr) return 0;
    size_t length = strnlen(text, 64);
    if (length < 1 || length > 63) return 0;
    const char *p = text;
    for (int component = 0; component < 3; component++) {
        size_t n = digit_run(p);
        if (n == 0 || n > 9) return 0;
        p += n;
        if (component < 2) {
            if (*p != '.') return 0;
            p++;
        }
    }
    if (*p == 0) return 1;
    if (*p != '-') return 0;
    p++;
    if (*p == 0) return 0;
    for (; *p != 0; p++) {
        if (!is_pre_release_char(*p)) return 0;
    }
    return 1;
}

int version_compare(const char *a, const char *b) {
    if (a == nullptr) a = "";
    if (b == nullptr) b = "";
    for (int component = 0; component < 3; component++) {
        size_t na = digit_run(a);
        size_t nb = digit_run(b);
        int c = compare_digits(a, na, b, nb);
        a += na;
        b += nb;
        if (*a == '.') a++;
        if (*b == '.') b++;
        if (c != 0) return c;
    }
    bool a_pre = *a == '-';
    bool b_pre = *b == '-';
    if (!a_pre) return b_pre ? 1 : 0;
    if (!b_pre) return -1;
    a++;
    b++;
    // Each pre-release holds at least one identifier; a '.' after an
    // identifier announces another (possibly empty) one.
    bool a_more = true;
    bool b_more = true;
    for (;;) {
        if (!a_more) return b_more ? -1 : 0;
        if (!b_more) return 1;
        size_t na = identifier_length(a);
        size_t nb = identifier_length(b);
        bool a_num = numeric_identifier(a, na);
        bool b_num = numeric_identifier(b, nb);
        int c;
        if (a_num && b_num) {
            c = compare_digits(a, na, b, nb);
        } else if (a_num != b_num) {
            c = a_num ? -1 : 1;
        } else {
            size_t n = na < nb ? na : nb;
            int m = memcmp(a, b, n);
            if (m != 0) {
                c = m < 0 ? -1 : 1;
            } else {
                c = na == nb ? 0 : (na < nb ? -1 : 1);
            }
        }
        if (c != 0) return c;
        a += na;
        b += nb;
        a_more = *a == '.';
        b_more = *b == '.';
        if (a_more) a++;
        if (b_more) b++;
    }
}
