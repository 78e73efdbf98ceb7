// Strict JSON reader (RFC 8259 grammar, strict UTF-8, no duplicate member
// names) with fixed limits. It has no state outside the document it returns,
// performs no I/O and writes no log; callers turn a failure into a message.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Kind of a value. The numbers never change.
enum JsonType {
    JSON_NULL = 0,
    JSON_FALSE = 1,
    JSON_TRUE = 2,
    JSON_NUMBER = 3,
    JSON_STRING = 4,
    JSON_ARRAY = 5,
    JSON_OBJECT = 6,
};

// Result of a parse. The numbers never change.
enum JsonStatus {
    JSON_OK = 0,            // "ok"
    JSON_SYNTAX = 1,        // "syntax"
    JSON_UTF8 = 2,          // "utf8"
    JSON_DEPTH = 3,         // "depth"
    JSON_LIMIT = 4,         // "limit"
    JSON_DUPLICATE_KEY = 5, // "duplicate-key"
    JSON_MEMORY = 6,        // "memory"
};

// Fixed limits.
#define JSON_MAX_INPUT 67108864u     // bytes; exactly 64 MiB is accepted
#define JSON_MAX_VALUES 20000u       // values in one document (the pool)
#define JSON_MAX_DEPTH 16            // nested arrays and objects
#define JSON_MAX_MEMBERS 1024u       // members of one object

// One node of the tree.
struct JsonValue {
    uint32_t type;            // a JsonType
    const char *text;         // string: decoded bytes in the arena; number: its
                              // text inside the input; otherwise null
    uint64_t length;          // byte length of text
    uint32_t has_integer;     // number: 1 when integer holds its value
    int64_t integer;          // number: the value when has_integer is 1
    JsonValue *first_child;   // array or object: first element or member
    JsonValue *next_sibling;  // next element or member of the same parent
    const char *key;          // object member: decoded name in the arena
    uint64_t key_length;      // byte length of key
    uint64_t child_count;     // array or object: elements or members
};

// Everything a parse produces; freed at once with json_free.
struct JsonDocument {
    JsonValue *values;        // the pool of JSON_MAX_VALUES entries
    uint64_t values_used;
    char *arena;              // decoded strings and member names
    uint64_t arena_used;
    uint64_t arena_capacity;  // input length + 4
};

// Parses length bytes of input. *document and *root are set to null on entry
// and, on JSON_OK only, to the new document and its root value. Number texts
// point into input, which must stay alive while they are read. Both output
// pointers must be given.
JsonStatus json_parse(const uint8_t *input, size_t length, JsonDocument **document,
                      JsonValue **root);
// Frees the pool, the arena and the document; null is ignored.
void json_free(JsonDocument *document);
// The fixed word of a status ("ok", "syntax", ...; "unknown" for other codes).
const char *json_error_word(int status);

// The first member of an object named exactly name, or null (also when value
// is null or not an object).
const JsonValue *json_member(const JsonValue *value, const char *name);
// 1 when value is a string whose bytes equal text exactly, else 0.
int json_string_equals(const JsonValue *value, const char *text);
// 1 when value is a string without zero bytes that fits buffer with its
// terminator: then it is copied and terminated. Otherwise 0, buffer untouched.
int json_string_copy(const JsonValue *value, char *buffer, size_t capacity);
// 1 when value is a string of exactly 64 lower-case hex digits (a SHA-256
// digest as the release data writes it): then hex gets the text with its
// terminator and digest the 32 bytes. Otherwise 0, both untouched.
int json_sha256_hex(const JsonValue *value, uint8_t digest[32], char hex[65]);
