// Fuzz target: the strict JSON reader. Checks the tree of every accepted
// document: links, counts, the limits, and where texts point.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "release/json.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

size_t walk(const JsonDocument *doc, const JsonValue *v, const uint8_t *input, size_t length,
            int depth) {
    check(v >= doc->values && v < doc->values + doc->values_used);
    size_t count = 1;
    switch (v->type) {
    case JSON_STRING:
        check(v->text >= doc->arena && v->text + v->length <= doc->arena + doc->arena_used);
        break;
    case JSON_NUMBER:
        check((const uint8_t *)v->text >= input &&
              (const uint8_t *)v->text + v->length <= input + length && v->length > 0);
        check(v->has_integer == 0 || v->has_integer == 1);
        break;
    case JSON_ARRAY:
    case JSON_OBJECT: {
        check(depth + 2 <= JSON_MAX_DEPTH);  // root container: depth -1, level 1
        uint64_t children = 0;
        for (const JsonValue *c = v->first_child; c != nullptr; c = c->next_sibling) {
            children++;
            if (v->type == JSON_OBJECT) {
                check(c->key != nullptr);
                check(c->key >= doc->arena && c->key + c->key_length <= doc->arena + doc->arena_used);
            } else {
                check(c->key == nullptr && c->key_length == 0);
            }
            count += walk(doc, c, input, length, depth + 1);
        }
        check(children == v->child_count);
        if (v->type == JSON_OBJECT) check(children <= JSON_MAX_MEMBERS);
        break;
    }
    default:
        check(v->type <= JSON_TRUE && v->text == nullptr);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    JsonDocument *doc = nullptr;
    JsonValue *root = nullptr;
    JsonStatus status = json_parse(data, size, &doc, &root);
    check(strcmp(json_error_word(status), "unknown") != 0);
    if (status != JSON_OK) {
        check(doc == nullptr && root == nullptr);
        return 0;
    }
    check(root == &doc->values[0]);
    check(doc->arena_used <= doc->arena_capacity && doc->arena_capacity == size + 4);
    size_t count = walk(doc, root, data, size, -1);
    check(count == doc->values_used && count <= JSON_MAX_VALUES);
    char buffer[64];
    json_string_copy(json_member(root, "version"), buffer, sizeof buffer);
    json_free(doc);
    return 0;
}
