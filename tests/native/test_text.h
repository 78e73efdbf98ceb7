// UTF-16 text of the program as a std::u16string, for comparisons in tests
// that build both natively (char16_t) and for Windows (wchar_t).
#pragma once

#include <string>

#include "common/text.h"

inline std::u16string u16(const wchar16 *text) {
    std::u16string s;
    for (size_t i = 0; text[i] != 0; i++) s.push_back((char16_t)text[i]);
    return s;
}
