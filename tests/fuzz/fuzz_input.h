// Reads a fuzz input as a stream of small fields for the structured targets:
// bytes, little-endian numbers and counted texts. Past the end every field
// reads as zero or empty, so any input is a complete case.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/text.h"

namespace fuzz_input {

inline void check(bool ok) {
    if (!ok) abort();
}

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t pos;
    int wide;  // 1: a text unit is two bytes (little-endian), 0: one byte

    uint8_t byte() { return pos < size ? data[pos++] : 0; }

    uint64_t number(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; i++) v |= (uint64_t)byte() << (8 * i);
        return v;
    }

    // A count (one byte, or two bytes when long, at most `most`), then that
    // many units.
    std::u16string text(bool long_count = false, size_t most = 255) {
        size_t count = long_count ? (size_t)number(2) : byte();
        if (count > most) count = most;
        std::u16string t;
        for (size_t i = 0; i < count && pos < size; i++) {
            uint16_t unit = byte();
            if (wide) unit = (uint16_t)(unit | (uint16_t)byte() << 8);
            t.push_back((char16_t)unit);
        }
        return t;
    }

    bool done() const { return pos >= size; }
};

// A terminated UTF-16 copy of the program's unit type. Texts cut at their
// first zero unit, as the program sees them.
inline std::basic_string<wchar16> program_text(const std::u16string &t) {
    std::basic_string<wchar16> s;
    for (char16_t c : t) {
        if (c == 0) break;
        s.push_back((wchar16)c);
    }
    return s;
}

inline std::u16string ascii16(const std::string &ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace fuzz_input
