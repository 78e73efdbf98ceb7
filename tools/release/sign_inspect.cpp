// What a Windows executable offers for signing, read from its headers.
#include <string.h>

#include "common/text.h"
#include "tools/release/sign.h"

namespace {

uint32_t read32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

}  // namespace

int sign_pe_inspect(const uint8_t *head, size_t n, uint64_t file_size, char *problem, size_t cap) {
    if (n < 64 || head[0] != 'M' || head[1] != 'Z') {
        format_narrow(problem, cap, "it is not a Windows executable (no MZ header)");
        return -1;
    }
    uint32_t at = read32(head + 0x3c);
    if (at > n || n - at < 24 + 112 || memcmp(head + at, "PE\0\0", 4) != 0) {
        format_narrow(problem, cap, "it is not a Windows executable (no PE header in its first %zu bytes)", n);
        return -1;
    }
    unsigned machine = head[at + 4] | head[at + 5] << 8;
    unsigned optional_size = head[at + 20] | head[at + 21] << 8;
    unsigned magic = head[at + 24] | head[at + 25] << 8;
    if (machine != 0x8664 || magic != 0x20b) {
        format_narrow(problem, cap,
                      "it is not a 64-bit (x64) Windows executable (machine 0x%04x, optional header 0x%03x)",
                      machine, magic);
        return -1;
    }
    // The certificate table: data directory 4 of the PE32+ optional header,
    // where the signature's place is recorded.
    const uint8_t *optional = head + at + 24;
    uint32_t directories = read32(optional + 108);
    if (directories < 5 || optional_size < 112 + 5 * 8) {
        format_narrow(problem, cap, "its optional header has no certificate table entry (%u data directories)",
                      (unsigned)directories);
        return -1;
    }
    if ((size_t)at + 24 + 112 + 5 * 8 > n) {
        format_narrow(problem, cap, "its headers end before the certificate table entry");
        return -1;
    }
    uint32_t table_offset = read32(optional + 112 + 4 * 8);
    uint32_t table_size = read32(optional + 112 + 4 * 8 + 4);
    if (table_size != 0) {
        if ((uint64_t)table_offset + table_size > file_size) {
            format_narrow(problem, cap, "its certificate table lies outside the file");
        } else {
            format_narrow(problem, cap,
                          "it is signed already; sign the unsigned build (osslsigncode "
                          "remove-signature gives it back)");
        }
        return -1;
    }
    return 0;
}
