// Strict JSON reader: one forward pass, all memory taken up front (document,
// value pool, string arena), recursion bounded by the depth limit.
#include "release/json.h"

#include <string.h>

#include "common/memory.h"

namespace {

struct Parser {
    const uint8_t *p;    // cursor
    const uint8_t *end;  // one past the last input byte
    JsonDocument *doc;
    int depth;
};

inline bool is_space(uint8_t c) {
    return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D;
}

inline void skip_space(Parser *ps) {
    const uint8_t *p = ps->p;
    const uint8_t *end = ps->end;
    while (p < end && is_space(*p)) p++;
    ps->p = p;
}

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

JsonStatus hand_out(Parser *ps, uint32_t type, JsonValue **out) {
    JsonDocument *doc = ps->doc;
    if (doc->values_used >= JSON_MAX_VALUES) return JSON_LIMIT;
    // The pool is zero-filled when the document is made and entries are
    // never reused, so a new entry only needs its type.
    JsonValue *v = &doc->values[doc->values_used++];
    v->type = type;
    *out = v;
    return JSON_OK;
}

inline int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at p (the caller has checked that four bytes remain).
inline int hex4(const uint8_t *p) {
    int a = hex_value(p[0]), b = hex_value(p[1]), c = hex_value(p[2]), d = hex_value(p[3]);
    if ((a | b | c | d) < 0) return -1;
    return (a << 12) | (b << 8) | (c << 4) | d;
}

// Length of a well-formed UTF-8 sequence starting at p (first byte >= 0x80)
// that lies wholly before end, or 0.
inline size_t utf8_sequence(const uint8_t *p, const uint8_t *end) {
    uint8_t c = p[0];
    size_t avail = (size_t)(end - p);
    if (c >= 0xC2 && c <= 0xDF) {
        if (avail < 2 || (p[1] & 0xC0) != 0x80) return 0;
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (avail < 3) return 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
        if (p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80) return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (avail < 4) return 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
        if (p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return 0;
        return 4;
    }
    return 0;
}

// True when the 8 bytes in w hold a byte that ends a plain run: below 0x20,
// from 0x80 up, a quote or a backslash.
inline bool word_has_special(uint64_t w) {
    const uint64_t ones = 0x0101010101010101ull;
    const uint64_t highs = 0x8080808080808080ull;
    uint64_t q = w ^ (ones * '"');
    uint64_t b = w ^ (ones * '\\');
    uint64_t has_quote = (q - ones) & ~q;
    uint64_t has_backslash = (b - ones) & ~b;
    uint64_t has_control = w - ones * 0x20;  // borrows from bytes below 0x20
    return ((has_quote | has_backslash | has_control | w) & highs) != 0;
}

// Reads a string; the cursor is on the opening quote. Appends the decoded
// bytes to the arena and gives their start and length.
JsonStatus read_string(Parser *ps, const char **text, uint64_t *length) {
    JsonDocument *doc = ps->doc;
    char *arena = doc->arena;
    uint64_t used = doc->arena_used;
    const uint64_t capacity = doc->arena_capacity;
    const uint64_t start = used;
    const uint8_t *p = ps->p + 1;
    const uint8_t *end = ps->end;
    JsonStatus status = JSON_SYNTAX;  // an unterminated string

    for (;;) {
        // Plain bytes, eight at a time while the input lasts.
        while (end - p >= 8) {
            uint64_t w;
            memcpy(&w, p, 8);
            if (word_has_special(w)) break;
            if (capacity - used < 8) return JSON_MEMORY;
            memcpy(arena + used, p, 8);
            used += 8;
            p += 8;
        }
        if (p >= end) break;
        uint8_t c = *p;
        if (c == '"') {
            *text = arena + start;
            *length = used - start;
            doc->arena_used = used;
            ps->p = p + 1;
            return JSON_OK;
        }
        if (c < 0x20) break;  // control characters must be escaped
        if (c < 0x80 && c != '\\') {
            if (used >= capacity) return JSON_MEMORY;
            arena[used++] = (char)c;
            p++;
            continue;
        }
        if (c >= 0x80) {
            size_t n = utf8_sequence(p, end);
            if (n == 0) {
                status = JSON_UTF8;
                break;
            }
            if (capacity - used < n) return JSON_MEMORY;
            memcpy(arena + used, p, n);
            used += n;
            p += n;
            continue;
        }
        // An escape.
        p++;
        if (p >= end) break;
        uint32_t cp;
        switch (*p) {
        case '"': cp = 0x22; p++; break;
        case '/': cp = 0x2F; p++; break;
        case '\\': cp = 0x5C; p++; break;
        case 'b': cp = 0x08; p++; break;
        case 'f': cp = 0x0C; p++; break;
        case 'n': cp = 0x0A; p++; break;
        case 'r': cp = 0x0D; p++; break;
        case 't': cp = 0x09; p++; break;
        case 'u': {
            if (end - p < 5) return JSON_SYNTAX;
            int v = hex4(p + 1);
            if (v < 0) return JSON_SYNTAX;
            p += 5;
            cp = (uint32_t)v;
            if (cp >= 0xD800 && cp <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                int low = hex4(p + 2);
                if (low < 0) return JSON_SYNTAX;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + ((uint32_t)low - 0xDC00);
                    p += 6;
                }
                // Otherwise the second escape is decoded on its own next.
            }
            break;
        }
        default:
            return JSON_SYNTAX;
        }
        uint8_t out[4];
        size_t n;
        if (cp < 0x80) {
            out[0] = (uint8_t)cp;
            n = 1;
        } else if (cp < 0x800) {
            out[0] = (uint8_t)(0xC0 | (cp >> 6));
            out[1] = (uint8_t)(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            out[0] = (uint8_t)(0xE0 | (cp >> 12));
            out[1] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
            out[2] = (uint8_t)(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            out[0] = (uint8_t)(0xF0 | (cp >> 18));
            out[1] = (uint8_t)(0x80 | ((cp >> 12) & 0x3F));
            out[2] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
            out[3] = (uint8_t)(0x80 | (cp & 0x3F));
            n = 4;
        }
        if (capacity - used < n) return JSON_MEMORY;
        memcpy(arena + used, out, n);
        used += n;
    }
    return status;
}

// Reads a number; the cursor is on '-' or a digit.
JsonStatus read_number(Parser *ps, JsonValue *v) {
    const uint8_t *start = ps->p;
    const uint8_t *p = start;
    const uint8_t *end = ps->end;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        p++;
    }
    if (p >= end || !is_digit(*p)) return JSON_SYNTAX;
    const uint8_t *digits = p;
    if (*p == '0') {
        p++;
    } else {
        while (p < end && is_digit(*p)) p++;
    }
    size_t digit_count = (size_t)(p - digits);
    bool plain = true;
    if (p < end && *p == '.') {
        plain = false;
        p++;
        if (p >= end || !is_digit(*p)) return JSON_SYNTAX;
        while (p < end && is_digit(*p)) p++;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        plain = false;
        p++;
        if (p < end && (*p == '+' || *p == '-')) p++;
        if (p >= end || !is_digit(*p)) return JSON_SYNTAX;
        while (p < end && is_digit(*p)) p++;
    }
    v->text = (const char *)start;
    v->length = (uint64_t)(p - start);
    if (plain && digit_count <= 18) {
        int64_t value = 0;
        for (size_t i = 0; i < digit_count; i++) value = value * 10 + (digits[i] - '0');
        v->integer = negative ? -value : value;
        v->has_integer = 1;
    }
    ps->p = p;
    return JSON_OK;
}

JsonStatus parse_value(Parser *ps, JsonValue **out);

// Reads an array or object; the cursor is on its opening bracket.
JsonStatus read_container(Parser *ps, JsonValue *container) {
    const bool object = container->type == JSON_OBJECT;
    const uint8_t close = object ? '}' : ']';
    ps->depth++;
    if (ps->depth > JSON_MAX_DEPTH) return JSON_DEPTH;
    ps->p++;
    skip_space(ps);
    if (ps->p < ps->end && *ps->p == close) {
        ps->p++;
        ps->depth--;
        return JSON_OK;
    }
    JsonValue *last = nullptr;
    for (;;) {
        const char *name = nullptr;
        uint64_t name_length = 0;
        if (object) {
            skip_space(ps);
            if (ps->p >= ps->end || *ps->p != '"') return JSON_SYNTAX;
            JsonStatus status = read_string(ps, &name, &name_length);
            if (status != JSON_OK) return status;
            for (const JsonValue *m = container->first_child; m != nullptr; m = m->next_sibling) {
                if (m->key_length == name_length && memcmp(m->key, name, name_length) == 0) {
                    return JSON_DUPLICATE_KEY;
                }
            }
            skip_space(ps);
            if (ps->p >= ps->end || *ps->p != ':') return JSON_SYNTAX;
            ps->p++;
            if (container->child_count >= JSON_MAX_MEMBERS) return JSON_LIMIT;
        }
        JsonValue *child = nullptr;
        JsonStatus status = parse_value(ps, &child);
        if (status != JSON_OK) return status;
        child->key = name;
        child->key_length = name_length;
        if (last == nullptr) {
            container->first_child = child;
        } else {
            last->next_sibling = child;
        }
        last = child;
        container->child_count++;

        skip_space(ps);
        if (ps->p >= ps->end) return JSON_SYNTAX;
        uint8_t c = *ps->p;
        if (c == ',') {
            ps->p++;
            continue;
        }
        if (c == close) {
            ps->p++;
            ps->depth--;
            return JSON_OK;
        }
        return JSON_SYNTAX;
    }
}

JsonStatus literal(Parser *ps, const char *word, size_t n, uint32_t type, JsonValue **out) {
    if ((size_t)(ps->end - ps->p) < n || memcmp(ps->p, word, n) != 0) return JSON_SYNTAX;
    JsonStatus status = hand_out(ps, type, out);
    if (status != JSON_OK) return status;
    ps->p += n;
    return JSON_OK;
}

JsonStatus parse_value(Parser *ps, JsonValue **out) {
    skip_space(ps);
    if (ps->p >= ps->end) return JSON_SYNTAX;
    uint8_t c = *ps->p;
    JsonStatus status;
    switch (c) {
    case '"': {
        status = hand_out(ps, JSON_STRING, out);
        if (status != JSON_OK) return status;
        return read_string(ps, &(*out)->text, &(*out)->length);
    }
    case '[':
        status = hand_out(ps, JSON_ARRAY, out);
        if (status != JSON_OK) return status;
        return read_container(ps, *out);
    case '{':
        status = hand_out(ps, JSON_OBJECT, out);
        if (status != JSON_OK) return status;
        return read_container(ps, *out);
    case 't':
        return literal(ps, "true", 4, JSON_TRUE, out);
    case 'f':
        return literal(ps, "false", 5, JSON_FALSE, out);
    case 'n':
        return literal(ps, "null", 4, JSON_NULL, out);
    default:
        if (c == '-' || is_digit(c)) {
            status = hand_out(ps, JSON_NUMBER, out);
            if (status != JSON_OK) return status;
            return read_number(ps, *out);
        }
        return JSON_SYNTAX;
    }
}

}  // namespace

JsonStatus json_parse(const uint8_t *input, size_t length, JsonDocument **document,
                      JsonValue **root) {
    *document = nullptr;
    *root = nullptr;
    if (length > JSON_MAX_INPUT) return JSON_LIMIT;
    if (input == nullptr && length != 0) return JSON_SYNTAX;

    JsonDocument *doc = (JsonDocument *)heap_alloc(sizeof(JsonDocument));
    if (doc == nullptr) return JSON_MEMORY;
    memset(doc, 0, sizeof *doc);
    // Taken zero-filled rather than cleared here: a small document touches
    // only the first pages of the pool.
    doc->values = (JsonValue *)heap_alloc_zeroed(sizeof(JsonValue) * JSON_MAX_VALUES);
    doc->arena_capacity = (uint64_t)length + 4;
    doc->arena = (char *)heap_alloc((size_t)doc->arena_capacity);
    if (doc->values == nullptr || doc->arena == nullptr) {
        json_free(doc);
        return JSON_MEMORY;
    }

    static const uint8_t nothing = 0;
    Parser ps;
    ps.p = input != nullptr ? input : &nothing;
    ps.end = ps.p + length;
    ps.doc = doc;
    ps.depth = 0;

    JsonValue *value = nullptr;
    JsonStatus status = parse_value(&ps, &value);
    if (status == JSON_OK) {
        skip_space(&ps);
        if (ps.p != ps.end) status = JSON_SYNTAX;
    }
    if (status != JSON_OK) {
        json_free(doc);
        return status;
    }
    *document = doc;
    *root = value;
    return JSON_OK;
}

void json_free(JsonDocument *document) {
    if (document == nullptr) return;
    heap_free(document->values);
    heap_free(document->arena);
    heap_free(document);
}

const char *json_error_word(int status) {
    switch (status) {
    case JSON_OK: return "ok";
    case JSON_SYNTAX: return "syntax";
    case JSON_UTF8: return "utf8";
    case JSON_DEPTH: return "depth";
    case JSON_LIMIT: return "limit";
    case JSON_DUPLICATE_KEY: return "duplicate-key";
    case JSON_MEMORY: return "memory";
    default: return "unknown";
    }
}

const JsonValue *json_member(const JsonValue *value, const char *name) {
    if (value == nullptr || value->type != JSON_OBJECT || name == nullptr) return nullptr;
    size_t n = strlen(name);
    for (const JsonValue *m = value->first_child; m != nullptr; m = m->next_sibling) {
        if (m->key_length == n && memcmp(m->key, name, n) == 0) return m;
    }
    return nullptr;
}

int json_string_equals(const JsonValue *value, const char *text) {
    if (value == nullptr || value->type != JSON_STRING || text == nullptr) return 0;
    size_t n = strlen(text);
    return value->length == n && memcmp(value->text, text, n) == 0;
}

static int lower_hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int json_sha256_hex(const JsonValue *value, uint8_t digest[32], char hex[65]) {
    if (value == nullptr || value->type != JSON_STRING || value->length != 64) return 0;
    for (size_t i = 0; i < 64; i++) {
        if (lower_hex_value(value->text[i]) < 0) return 0;
    }
    for (size_t i = 0; i < 32; i++) {
        digest[i] = (uint8_t)((lower_hex_value(value->text[2 * i]) << 4) |
                              lower_hex_value(value->text[2 * i + 1]));
    }
    memcpy(hex, value->text, 64);
    hex[64] = 0;
    return 1;
}

int json_string_copy(const JsonValue *value, char *buffer, size_t capacity) {
    if (value == nullptr || value->type != JSON_STRING || buffer == nullptr) return 0;
    if (value->length >= capacity) return 0;
    if (memchr(value->text, 0, (size_t)value->length) != nullptr) return 0;
    memcpy(buffer, value->text, (size_t)value->length);
    buffer[value->length] = 0;
    return 1;
}
