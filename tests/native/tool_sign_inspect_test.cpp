// What sign-pe accepts for signing: an unsigned 64-bit (x64) PE image, read
// from its headers; a table of headers made here, each one change away from
// a good one.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/release/sign.h"

namespace {

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = (uint8_t)(v >> (8 * i));
}

const size_t pe_at = 0x80;
const size_t optional_at = pe_at + 24;
const size_t certificate_entry = optional_at + 112 + 4 * 8;

// The headers of an unsigned x64 executable, 1024 bytes.
std::vector<uint8_t> good_headers() {
    std::vector<uint8_t> b(1024, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3c, (uint32_t)pe_at);
    memcpy(&b[pe_at], "PE\0\0", 4);
    put16(b, pe_at + 4, 0x8664);   // machine
    put16(b, pe_at + 20, 240);     // size of the optional header
    put16(b, pe_at + 22, 0x0022);  // executable image, large addresses
    put16(b, optional_at, 0x20b);  // PE32+
    put32(b, optional_at + 108, 16);
    return b;
}

TEST(SignInspect, TakesOnlyUnsignedX64Images) {
    struct Case {
        const char *name;
        void (*change)(std::vector<uint8_t> &b);
        size_t length;       // bytes given (0: all)
        uint64_t file_size;  // the whole file's size
        const char *problem; // "" when accepted
    } cases[] = {
        {"good", [](std::vector<uint8_t> &) {}, 0, 100000, ""},
        {"no MZ", [](std::vector<uint8_t> &b) { b[0] = 'X'; }, 0, 100000, "no MZ header"},
        {"shorter than a DOS header", [](std::vector<uint8_t> &) {}, 63, 63, "no MZ header"},
        {"PE header past the bytes read", [](std::vector<uint8_t> &b) { put32(b, 0x3c, 0x7fffffff); }, 0, 100000,
         "no PE header"},
        {"no PE signature", [](std::vector<uint8_t> &b) { b[pe_at] = 'N'; }, 0, 100000, "no PE header"},
        {"cut inside the optional header", [](std::vector<uint8_t> &) {}, pe_at + 100, 100000, "no PE header"},
        {"32-bit x86", [](std::vector<uint8_t> &b) { put16(b, pe_at + 4, 0x14c); put16(b, optional_at, 0x10b); }, 0,
         100000, "not a 64-bit (x64) Windows executable (machine 0x014c, optional header 0x10b)"},
        {"ARM64", [](std::vector<uint8_t> &b) { put16(b, pe_at + 4, 0xaa64); }, 0, 100000, "machine 0xaa64"},
        {"x64 with a PE32 header", [](std::vector<uint8_t> &b) { put16(b, optional_at, 0x10b); }, 0, 100000,
         "optional header 0x10b"},
        {"four data directories", [](std::vector<uint8_t> &b) { put32(b, optional_at + 108, 4); }, 0, 100000,
         "no certificate table entry (4 data directories)"},
        {"cut before the certificate entry", [](std::vector<uint8_t> &) {}, certificate_entry + 4, 100000,
         "headers end before the certificate table entry"},
        {"signed", [](std::vector<uint8_t> &b) { put32(b, certificate_entry, 90000); put32(b, certificate_entry + 4, 8000); },
         0, 100000, "it is signed already"},
        {"certificate table past the end",
         [](std::vector<uint8_t> &b) { put32(b, certificate_entry, 99000); put32(b, certificate_entry + 4, 8000); }, 0,
         100000, "certificate table lies outside the file"},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> b = good_headers();
        c.change(b);
        size_t n = c.length != 0 ? c.length : b.size();
        char problem[256] = "";
        int result = sign_pe_inspect(b.data(), n, c.file_size, problem, sizeof problem);
        if (c.problem[0] == 0) {
            EXPECT_EQ(result, 0) << c.name << ": " << problem;
        } else {
            EXPECT_EQ(result, -1) << c.name;
            EXPECT_NE(std::string(problem).find(c.problem), std::string::npos) << c.name << ": " << problem;
        }
    }
}

}  // namespace
