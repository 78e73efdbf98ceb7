// Fuzz target: the cloud's header rules and the resumption decision.
//  - Retry-After, Content-Length and Content-Range texts against plain models
//    of their rules (leading spaces and one to seven digits; one to fifteen
//    digits and nothing else; exactly "bytes FIRST-LAST/SIZE"), with the
//    accepted values read back.
//  - A resumable download played over several attempts against a server
//    whose statuses and headers are arbitrary but whose bodies are honest
//    bytes of one file from the offset it claims: whatever the answers, the
//    part file stays a prefix of that file, never grows past the total, and
//    is the whole file when the download is complete.
// Input: a mode byte (bit 0: two bytes per text unit), the three header
// texts, the Content-Range's first byte and size, then the download: total,
// bytes held at the start and up to eight answers.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "cloud/cloud.h"
#include "tests/fuzz/fuzz_input.h"

using fuzz_input::check;

namespace {

bool digit(char16_t c) { return c >= u'0' && c <= u'9'; }

std::u16string decimal(uint64_t v) { return fuzz_input::ascii16(std::to_string(v)); }

void check_retry_after(const std::u16string &t) {
    auto text = fuzz_input::program_text(t);
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') i++;
    size_t first = i;
    while (i < text.size() && digit((char16_t)text[i])) i++;
    size_t digits = i - first;
    bool usable = digits >= 1 && digits <= 7 && (i == text.size() || text[i] == ' ');
    uint32_t seconds = 0xA5A5A5A5u;
    int got = cloud_parse_retry_after(text.c_str(), &seconds);
    check(got == (usable ? 1 : 0));
    if (!usable) {
        check(seconds == 0xA5A5A5A5u);
        return;
    }
    check(seconds <= 9999999u);
    // The value read back, with the text's leading zeros, is the digits.
    std::u16string back = decimal(seconds);
    check(back.size() <= digits);
    back.insert(0, digits - back.size(), u'0');
    check(std::equal(back.begin(), back.end(), text.begin() + (ptrdiff_t)first));
}

void check_content_length(const std::u16string &t) {
    auto text = fuzz_input::program_text(t);
    bool plain = !text.empty() && text.size() <= 15;
    for (wchar16 c : text) plain = plain && digit((char16_t)c);
    int64_t got = cloud_parse_content_length(text.c_str());
    if (!plain) {
        check(got == -1);
        return;
    }
    check(got >= 0 && got <= 999999999999999LL);
    std::u16string back = decimal((uint64_t)got);
    check(back.size() <= text.size());
    back.insert(0, text.size() - back.size(), u'0');
    check(std::equal(back.begin(), back.end(), text.begin()));
}

std::u16string canonical_range(uint64_t first, uint64_t size) {
    return u"bytes " + decimal(first) + u"-" + decimal(size - 1) + u"/" + decimal(size);
}

// Reads "bytes A-B/C" leniently (any digits, leading zeros allowed); false
// when the text has another shape or a number does not fit 64 bits.
bool read_range(const std::u16string &t, uint64_t *a, uint64_t *b, uint64_t *c) {
    size_t i = 0;
    auto number = [&](uint64_t *v, char16_t end) {
        size_t start = i;
        *v = 0;
        while (i < t.size() && digit(t[i])) {
            uint64_t d = (uint64_t)(t[i] - u'0');
            if (*v > (UINT64_MAX - d) / 10) return false;
            *v = *v * 10 + d;
            i++;
        }
        if (i == start) return false;
        if (end == 0) return i == t.size();
        if (i >= t.size() || t[i] != end) return false;
        i++;
        return true;
    };
    if (t.compare(0, 6, u"bytes ") != 0) return false;
    i = 6;
    return number(a, u'-') && number(b, u'/') && number(c, 0);
}

void check_content_range(const std::u16string &t, uint64_t first, uint64_t size) {
    auto text = fuzz_input::program_text(t);
    std::u16string plain(text.begin(), text.end());
    auto expect = [&](uint64_t f, uint64_t s) {
        return s != 0 && f < s && plain == canonical_range(f, s);
    };
    check(cloud_content_range_text_matches(text.c_str(), first, size) == (expect(first, size) ? 1 : 0));
    uint64_t a, b, c;
    if (read_range(plain, &a, &b, &c)) {
        check(cloud_content_range_text_matches(text.c_str(), a, c) == (expect(a, c) ? 1 : 0));
        // Written exactly as asked, a range of the whole tail always matches.
        if (c != 0 && a < c && b == c - 1 && plain == canonical_range(a, c)) {
            check(cloud_content_range_text_matches(text.c_str(), a, c) == 1);
        }
    }
}

// Byte i of the server's one file.
uint8_t file_byte(uint64_t i) { return (uint8_t)(i * 131u + 7u + (i >> 8)); }

bool is_file_prefix(const std::vector<uint8_t> &part) {
    for (size_t i = 0; i < part.size(); i++) {
        if (part[i] != file_byte(i)) return false;
    }
    return true;
}

// The Range headers of a resumed request name exactly the bytes held.
void check_range_headers(uint64_t held) {
    static const char validator[] =
        "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    wchar16 headers[CLOUD_RANGE_HEADERS_CAPACITY];
    int n = format_wide(headers, CLOUD_RANGE_HEADERS_CAPACITY,
                        T16("Range: bytes=%llu-\r\nIf-Range: \"%hs\"\r\n"),
                        (unsigned long long)held, validator);
    check(n > 0 && (size_t)n < CLOUD_RANGE_HEADERS_CAPACITY);
    std::u16string text(headers, headers + n);
    std::u16string expected = u"Range: bytes=" + decimal(held) + u"-\r\nIf-Range: \"" +
                              fuzz_input::ascii16(validator) + u"\"\r\n";
    check(text == expected);
}

void play_download(fuzz_input::Reader *in) {
    uint64_t total = 1 + in->number(2) % 5000;
    uint64_t start = in->number(2) % (total + 50);
    std::vector<uint8_t> part;
    for (uint64_t i = 0; i < start; i++) part.push_back(i < total ? file_byte(i) : 0xEE);
    for (int attempt = 0; attempt < 8 && !in->done(); attempt++) {
        // Before the request: a part file longer than the total is emptied;
        // one that holds exactly the total is complete.
        if (part.size() > total) part.clear();
        if (part.size() == total) break;
        uint64_t held = part.size();
        if (held > 0) check_range_headers(held);

        static const uint32_t statuses[] = {200, 206, 416, 404, 503, 204, 407, 0};
        uint8_t pick = in->byte();
        uint32_t status = statuses[pick % 8];
        if (status == 0) status = (uint32_t)in->number(2);
        // Content-Length: absent, the total give or take a little, or any text.
        std::u16string length_text;
        uint8_t length_pick = in->byte();
        int64_t delta = (int64_t)(int8_t)in->byte();
        if (length_pick % 3 == 1) length_text = decimal((uint64_t)((int64_t)total + delta % 3));
        if (length_pick % 3 == 2) length_text = in->text();
        // Content-Range: the tail asked for, another range, or any text.
        std::u16string range_text;
        uint8_t range_pick = in->byte();
        uint64_t range_first = in->number(2), range_size = in->number(2);
        if (range_pick % 3 == 0) range_text = canonical_range(held, total);
        if (range_pick % 3 == 1 && range_size != 0) range_text = canonical_range(range_first % range_size, range_size);
        if (range_pick % 3 == 2) range_text = in->text();
        uint64_t body = in->number(2) % (total + 100);
        uint64_t piece = 1 + in->byte();

        auto length16 = fuzz_input::program_text(length_text);
        auto range16 = fuzz_input::program_text(range_text);
        int64_t announced = status == 200 ? cloud_parse_content_length(length16.c_str()) : -1;
        int tail = status == 206 ? cloud_content_range_text_matches(range16.c_str(), held, total) : 0;
        DownloadPlan plan = cloud_download_plan(status, held, total, announced, tail);
        check(plan >= DOWNLOAD_PLAN_TAIL && plan <= DOWNLOAD_PLAN_STATUS);
        // An honest server's body starts where its answer says.
        uint64_t body_start = 0;
        if (status == 206) {
            uint64_t a = 0, b = 0, c = 0;
            body_start = read_range(std::u16string(range16.begin(), range16.end()), &a, &b, &c)
                             ? a : range_first;
        }

        if (plan == DOWNLOAD_PLAN_STATUS) {
            check(status != 200 && status != 206 && status != 416);
            continue;
        }
        if (plan == DOWNLOAD_PLAN_RESTART) {
            check(status == 206 || status == 416);
            part.clear();
            continue;
        }
        if (plan != DOWNLOAD_PLAN_TAIL) {
            check(status == 200);
            part.clear();
        }
        if (plan == DOWNLOAD_PLAN_OVERSIZED || plan == DOWNLOAD_PLAN_UNDERSIZED) {
            check(announced >= 0 && (uint64_t)announced != total);
            return;  // final for the run: the part file is deleted
        }
        if (plan == DOWNLOAD_PLAN_WHOLE) check(announced < 0 || (uint64_t)announced == total);
        if (plan == DOWNLOAD_PLAN_TAIL) check(status == 206 && body_start == held);
        // The body, in pieces; a piece that would cross the total ends the
        // attempt unwritten.
        uint64_t sent = 0;
        bool oversized = false;
        while (sent < body) {
            uint64_t n = piece < body - sent ? piece : body - sent;
            if (n > total - part.size()) {
                oversized = true;
                break;
            }
            for (uint64_t k = 0; k < n; k++) {
                uint64_t at = body_start + sent + k;
                part.push_back(at < total ? file_byte(at) : 0xEE);
                // Held so far the file's own bytes: each lands at its offset.
                check(part.back() == file_byte(part.size() - 1));
            }
            sent += n;
            check(part.size() <= total);
        }
        if (oversized) return;
    }
    if (part.size() <= total) check(is_file_prefix(part));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input::Reader in = {data, size, 0, 0};
    in.wide = in.byte() & 1;
    check_retry_after(in.text());
    check_content_length(in.text());
    std::u16string range = in.text();
    uint64_t first = in.number(8);
    uint64_t range_size = in.number(8);
    check_content_range(range, first, range_size);
    play_download(&in);
    return 0;
}
