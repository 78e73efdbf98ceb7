// Release keys in a PKCS #11 token: the URI, the module loaded at run time,
// the log-in, key generation inside the token and signing with CKM_EDDSA.
#include "tools/release/token.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <p11-kit/pkcs11.h>
#include <sodium.h>

#include "common/text.h"

namespace {

// The two ways a token's parameters name Ed25519: the printable curve name
// and the object identifier 1.3.101.112.
const uint8_t params_name[] = {0x13, 0x0c, 'e', 'd', 'w', 'a', 'r', 'd', 's', '2', '5', '5', '1', '9'};
const uint8_t params_oid[] = {0x06, 0x03, 0x2b, 0x65, 0x70};

const char *result_name(CK_RV rv) {
    static const struct {
        CK_RV rv;
        const char *name;
    } names[] = {
        {CKR_OK, "CKR_OK"},
        {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
        {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
        {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE"},
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
        {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
        {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
        {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
        {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
        {CKR_SESSION_READ_ONLY, "CKR_SESSION_READ_ONLY"},
        {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
        {CKR_TEMPLATE_INCOMPLETE, "CKR_TEMPLATE_INCOMPLETE"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_TOKEN_WRITE_PROTECTED, "CKR_TOKEN_WRITE_PROTECTED"},
        {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
        {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
        {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
    };
    for (const auto &entry : names) {
        if (entry.rv == rv) return entry.name;
    }
    return "an unknown result";
}

// Appends "(CKR_NAME 0xNN)" style detail for a failed call.
void call_failed(char *error, size_t cap, const char *what, CK_RV rv) {
    format_narrow(error, cap, "%s (%s, 0x%lx)", what, result_name(rv), (unsigned long)rv);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes n bytes of text into out (capacity bytes). -1 on a bad
// escape, an encoded zero byte or a value that does not fit.
int percent_decode(const char *text, size_t n, char *out, size_t capacity) {
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= n) return -1;
            int high = hex_value(text[i + 1]);
            int low = hex_value(text[i + 2]);
            if (high < 0 || low < 0 || (high == 0 && low == 0)) return -1;
            c = (char)(high << 4 | low);
            i += 2;
        }
        if (k + 1 >= capacity) return -1;
        out[k++] = c;
    }
    out[k] = 0;
    return 0;
}

// A token's label: 32 bytes padded with blanks.
void label_text(const CK_UTF8CHAR label[32], char out[33]) {
    memcpy(out, label, 32);
    int n = 32;
    while (n > 0 && out[n - 1] == ' ') n--;
    out[n] = 0;
}

// Reads the PIN from the named file or the environment.
int read_pin(const TokenKeyName *name, char *pin, size_t capacity, char *error, size_t cap) {
    pin[0] = 0;
    if (name->pin_file[0] == 0) {
        const char *value = getenv(TOKEN_PIN_VARIABLE);
        if (value == nullptr || value[0] == 0) {
            format_narrow(error, cap,
                          "no PIN for token %s: give --pin-file FILE (or pin-source=file:FILE in the "
                          "URI), or set " TOKEN_PIN_VARIABLE,
                          name->token);
            return -1;
        }
        if (format_narrow(pin, capacity, "%s", value) < 0) {
            sodium_memzero(pin, capacity);
            format_narrow(error, cap, TOKEN_PIN_VARIABLE " is too long to be a PIN");
            return -1;
        }
        return 0;
    }
    int fd = open(name->pin_file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        format_narrow(error, cap, "cannot open the PIN file %s: %s", name->pin_file, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        format_narrow(error, cap, "the PIN file %s is not a regular file", name->pin_file);
        close(fd);
        return -1;
    }
    if ((st.st_mode & 077) != 0) {
        format_narrow(error, cap,
                      "the PIN file %s has mode %04o, so group or others can read or change it; make "
                      "it owner-only (chmod 600 %s)",
                      name->pin_file, (unsigned)(st.st_mode & 07777), name->pin_file);
        close(fd);
        return -1;
    }
    ssize_t n = read(fd, pin, capacity - 1);
    close(fd);
    if (n < 0) {
        sodium_memzero(pin, capacity);
        format_narrow(error, cap, "cannot read the PIN file %s", name->pin_file);
        return -1;
    }
    pin[n] = 0;
    while (n > 0 && (pin[n - 1] == '\n' || pin[n - 1] == '\r')) pin[--n] = 0;
    if (n == 0 || (size_t)n >= capacity - 1) {
        sodium_memzero(pin, capacity);
        format_narrow(error, cap, "the PIN file %s holds no PIN (one line)", name->pin_file);
        return -1;
    }
    return 0;
}

CK_FUNCTION_LIST_PTR functions_of(const TokenKey *key) { return (CK_FUNCTION_LIST_PTR)key->functions; }

// Loads the module, finds the token and logs in; rw opens a read-write
// session. The PIN it read goes to pin_out too when that is not null (the
// caller wipes it). Returns 0, or -1 with a message, nothing left open and
// pin_out wiped.
int open_session(const TokenKeyName *name, int rw, TokenKey *key, char *pin_out, size_t pin_capacity,
                 char *error, size_t cap) {
    memset(key, 0, sizeof *key);
    if (name->module_path[0] == 0) {
        format_narrow(error, cap,
                      "no PKCS #11 module for token %s: give --module FILE or module-path= in the URI",
                      name->token);
        return -1;
    }
    char pin[256];
    if (read_pin(name, pin, sizeof pin, error, cap) != 0) {
        sodium_memzero(pin, sizeof pin);
        return -1;
    }
    if (pin_out != nullptr) format_narrow(pin_out, pin_capacity, "%s", pin);
    CK_RV rv;
    CK_C_GetFunctionList get_list = nullptr;
    CK_ULONG count = 0;
    CK_SLOT_ID *slots = nullptr;
    CK_SLOT_ID slot = 0;
    int found = 0;
    char seen[512] = "";
    key->module = dlopen(name->module_path, RTLD_NOW | RTLD_LOCAL);
    if (key->module == nullptr) {
        const char *why = dlerror();
        format_narrow(error, cap, "cannot load the PKCS #11 module %s: %s", name->module_path,
                      why != nullptr ? why : "unknown reason");
        goto fail;
    }
    get_list = (CK_C_GetFunctionList)dlsym(key->module, "C_GetFunctionList");
    if (get_list == nullptr) {
        format_narrow(error, cap, "%s is not a PKCS #11 module (it has no C_GetFunctionList)",
                      name->module_path);
        goto fail;
    }
    {
        CK_FUNCTION_LIST_PTR list = nullptr;
        rv = get_list(&list);
        if (rv != CKR_OK || list == nullptr) {
            call_failed(error, cap, "the PKCS #11 module gives no function list", rv);
            goto fail;
        }
        key->functions = list;
    }
    {
        CK_C_INITIALIZE_ARGS args;
        memset(&args, 0, sizeof args);
        args.flags = CKF_OS_LOCKING_OK;
        rv = functions_of(key)->C_Initialize(&args);
        if (rv != CKR_OK) {
            call_failed(error, cap, "the PKCS #11 module cannot start", rv);
            goto fail;
        }
        key->initialized = 1;
    }
    rv = functions_of(key)->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv == CKR_OK && count > 0) {
        slots = (CK_SLOT_ID *)calloc(count, sizeof *slots);
        if (slots == nullptr) {
            format_narrow(error, cap, "out of memory");
            goto fail;
        }
        rv = functions_of(key)->C_GetSlotList(CK_TRUE, slots, &count);
    }
    if (rv != CKR_OK) {
        call_failed(error, cap, "cannot list the module's tokens", rv);
        goto fail;
    }
    for (CK_ULONG i = 0; i < count; i++) {
        CK_TOKEN_INFO info;
        if (functions_of(key)->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
        char label[33];
        label_text(info.label, label);
        if (strcmp(label, name->token) == 0) {
            slot = slots[i];
            found++;
        }
        size_t used = strlen(seen);
        format_narrow(seen + used, sizeof seen - used, "%s\"%s\"", used == 0 ? "" : ", ", label);
    }
    free(slots);
    slots = nullptr;
    if (found != 1) {
        format_narrow(error, cap,
                      found == 0 ? "no token labelled \"%s\" in %s (its tokens: %s)"
                                 : "more than one token labelled \"%s\" in %s (its tokens: %s)",
                      name->token, name->module_path, seen[0] != 0 ? seen : "none");
        goto fail;
    }
    {
        CK_SESSION_HANDLE session = 0;
        rv = functions_of(key)->C_OpenSession(slot, CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0),
                                              nullptr, nullptr, &session);
        if (rv != CKR_OK) {
            call_failed(error, cap, "cannot open a session with the token", rv);
            goto fail;
        }
        key->session = session;
    }
    rv = functions_of(key)->C_Login(key->session, CKU_USER, (CK_UTF8CHAR_PTR)pin, strlen(pin));
    sodium_memzero(pin, sizeof pin);
    if (rv == CKR_PIN_INCORRECT) {
        format_narrow(error, cap, "token \"%s\" refused the PIN: it is wrong (CKR_PIN_INCORRECT)",
                      name->token);
        goto fail;
    }
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        char what[300];
        format_narrow(what, sizeof what, "cannot log in to token \"%s\"", name->token);
        call_failed(error, cap, what, rv);
        goto fail;
    }
    return 0;
fail:
    sodium_memzero(pin, sizeof pin);
    if (pin_out != nullptr) sodium_memzero(pin_out, pin_capacity);
    free(slots);
    token_close(key);
    return -1;
}

// Reads one attribute into buffer; its length goes to length. CKR_OK or the
// token's result.
CK_RV read_attribute(TokenKey *key, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, void *buffer,
                     CK_ULONG capacity, CK_ULONG *length) {
    CK_ATTRIBUTE attribute = {type, buffer, capacity};
    CK_RV rv = functions_of(key)->C_GetAttributeValue(key->session, object, &attribute, 1);
    *length = attribute.ulValueLen;
    return rv;
}

// Objects of a class (or any class when klass is -1) with the label: their
// count (up to capacity handles kept), or -1 on error.
long find_objects(TokenKey *key, long klass, const char *label, CK_OBJECT_HANDLE *found,
                  CK_ULONG capacity) {
    CK_OBJECT_CLASS object_class = (CK_OBJECT_CLASS)klass;
    CK_ATTRIBUTE query[2] = {{CKA_LABEL, (void *)label, strlen(label)},
                             {CKA_CLASS, &object_class, sizeof object_class}};
    if (functions_of(key)->C_FindObjectsInit(key->session, query, klass < 0 ? 1 : 2) != CKR_OK) return -1;
    long total = 0;
    for (;;) {
        CK_OBJECT_HANDLE handle;
        CK_ULONG got = 0;
        if (functions_of(key)->C_FindObjects(key->session, &handle, 1, &got) != CKR_OK) {
            functions_of(key)->C_FindObjectsFinal(key->session);
            return -1;
        }
        if (got == 0) break;
        if ((CK_ULONG)total < capacity) found[total] = handle;
        total++;
    }
    functions_of(key)->C_FindObjectsFinal(key->session);
    return total;
}

// The Ed25519 public key of a public key object: CKA_EC_POINT holds it raw
// or as a DER octet string.
int read_public_point(TokenKey *key, CK_OBJECT_HANDLE object, uint8_t out[32]) {
    uint8_t point[64];
    CK_ULONG n = 0;
    if (read_attribute(key, object, CKA_EC_POINT, point, sizeof point, &n) != CKR_OK) return -1;
    if (n == 34 && point[0] == 0x04 && point[1] == 32) {
        memcpy(out, point + 2, 32);
        return 0;
    }
    if (n == 32) {
        memcpy(out, point, 32);
        return 0;
    }
    return -1;
}

int params_are_ed25519(const uint8_t *params, CK_ULONG n) {
    return (n == sizeof params_name && memcmp(params, params_name, n) == 0) ||
           (n == sizeof params_oid && memcmp(params, params_oid, n) == 0);
}

}  // namespace

int token_is_uri(const char *text) { return text != nullptr && strncmp(text, "pkcs11:", 7) == 0; }

int token_parse_name(const char *uri, const char *module, const char *pin_file, TokenKeyName *name,
                     char *error, size_t cap) {
    memset(name, 0, sizeof *name);
    if (!token_is_uri(uri)) {
        format_narrow(error, cap, "%s is not a PKCS #11 URI (pkcs11:token=...;object=...)", uri);
        return -1;
    }
    const char *p = uri + 7;
    // A pin-value anywhere is refused before anything else is read, so that
    // no later message can quote it; later messages quote attribute names,
    // never the URI.
    for (const char *at = p; *at != 0; at++) {
        int starts = at == p || at[-1] == ';' || at[-1] == '?' || at[-1] == '&';
        if (starts && strncmp(at, "pin-value", 9) == 0 && (at[9] == '=' || at[9] == 0 || at[9] == ';' || at[9] == '&')) {
            format_narrow(error, cap,
                          "PKCS #11 URI: a pin-value would put the PIN on the command line; give "
                          "--pin-file FILE or set " TOKEN_PIN_VARIABLE " instead");
            return -1;
        }
    }
    const char *query = strchr(p, '?');
    const char *path_end = query != nullptr ? query : p + strlen(p);
    // Path attributes, then query attributes: name=value separated by ';' or '&'.
    for (int part = 0; part < 2; part++) {
        const char *cursor = part == 0 ? p : (query != nullptr ? query + 1 : nullptr);
        const char *end = part == 0 ? path_end : (query != nullptr ? query + strlen(query) : nullptr);
        char separator = part == 0 ? ';' : '&';
        while (cursor != nullptr && cursor < end) {
            const char *stop = (const char *)memchr(cursor, separator, (size_t)(end - cursor));
            if (stop == nullptr) stop = end;
            const char *eq = (const char *)memchr(cursor, '=', (size_t)(stop - cursor));
            if (stop == cursor) {
                cursor = stop + 1;
                continue;
            }
            if (eq == nullptr) {
                format_narrow(error, cap, "PKCS #11 URI: an attribute of its %s is not name=value",
                              part == 0 ? "path" : "query");
                return -1;
            }
            size_t key_length = (size_t)(eq - cursor);
            char *target = nullptr;
            size_t target_capacity = TOKEN_FIELD_CAPACITY;
            int is_pin_source = 0;
            if (part == 0 && key_length == 5 && memcmp(cursor, "token", 5) == 0) {
                target = name->token;
            } else if (part == 0 && key_length == 6 && memcmp(cursor, "object", 6) == 0) {
                target = name->object;
            } else if (part == 0 && key_length == 4 && memcmp(cursor, "type", 4) == 0) {
                target = nullptr;  // which half is meant follows from the command
            } else if (part == 1 && key_length == 11 && memcmp(cursor, "module-path", 11) == 0) {
                target = name->module_path;
            } else if (part == 1 && key_length == 10 && memcmp(cursor, "pin-source", 10) == 0) {
                target = name->pin_file;
                is_pin_source = 1;
            } else if (part == 1 && key_length == 9 && memcmp(cursor, "pin-value", 9) == 0) {
                format_narrow(error, cap,
                              "PKCS #11 URI: a pin-value would put the PIN on the command line; give "
                              "--pin-file FILE or set " TOKEN_PIN_VARIABLE " instead");
                return -1;
            } else {
                char attribute[4 * 64 + 1], raw[65];
                format_narrow(raw, sizeof raw, "%.*s", (int)(key_length < 64 ? key_length : 64), cursor);
                text_escape_controls(raw, attribute, sizeof attribute);
                format_narrow(error, cap,
                              "PKCS #11 URI: the attribute \"%s\" is not supported (token, object, "
                              "type; module-path, pin-source)",
                              attribute);
                return -1;
            }
            if (target != nullptr) {
                if (target[0] != 0) {
                    format_narrow(error, cap, "PKCS #11 URI: \"%.*s\" is given twice", (int)key_length,
                                  cursor);
                    return -1;
                }
                if (percent_decode(eq + 1, (size_t)(stop - eq - 1), target, target_capacity) != 0 ||
                    target[0] == 0) {
                    format_narrow(error, cap, "PKCS #11 URI: the value of \"%.*s\" is empty, too "
                                  "long or wrongly percent-encoded", (int)key_length, cursor);
                    return -1;
                }
                if (is_pin_source && strncmp(target, "file:", 5) == 0) {
                    memmove(target, target + 5, strlen(target + 5) + 1);
                }
            }
            cursor = stop + 1;
        }
    }
    if (name->token[0] == 0 || name->object[0] == 0) {
        format_narrow(error, cap, "PKCS #11 URI: it must name the token and the object "
                      "(pkcs11:token=LABEL;object=LABEL)");
        return -1;
    }
    if (strlen(name->token) > 32) {
        format_narrow(error, cap, "PKCS #11 URI: a token label has at most 32 bytes");
        return -1;
    }
    const struct {
        const char *option, *option_name;
        char *field;
        const char *uri_name;
    } options[] = {{module, "--module", name->module_path, "module-path"},
                   {pin_file, "--pin-file", name->pin_file, "pin-source"}};
    for (const auto &o : options) {
        if (o.option == nullptr) continue;
        if (o.field[0] != 0 && strcmp(o.field, o.option) != 0) {
            format_narrow(error, cap, "%s %s and the URI's %s %s differ", o.option_name, o.option,
                          o.uri_name, o.field);
            return -1;
        }
        if (format_narrow(o.field, TOKEN_FIELD_CAPACITY, "%s", o.option) < 0) {
            format_narrow(error, cap, "%s is too long", o.option_name);
            return -1;
        }
    }
    return 0;
}

int token_generate(const TokenKeyName *name, int role, const char *date, const char *kid,
                   const char *public_path, int overwrite, KeyPair *pair, char *error, size_t cap) {
    memset(pair, 0, sizeof *pair);
    pair->role = role;
    TokenKey key;
    if (open_session(name, 1, &key, nullptr, 0, error, cap) != 0) return -1;
    CK_OBJECT_HANDLE existing[1];
    long count = find_objects(&key, -1, name->object, existing, 1);
    if (count != 0) {
        format_narrow(error, cap,
                      count < 0 ? "cannot search token \"%s\" for objects labelled \"%s\""
                                : "token \"%s\" already holds an object labelled \"%s\"; choose another "
                                  "object label (a release key in a token is never replaced)",
                      name->token, name->object);
        token_close(&key);
        return -1;
    }
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_KEY_TYPE key_type = CKK_EC_EDWARDS;
    CK_ULONG label_length = strlen(name->object);
    CK_ATTRIBUTE public_template[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_KEY_TYPE, &key_type, sizeof key_type},
        {CKA_LABEL, (void *)name->object, label_length},
        {CKA_VERIFY, &yes, sizeof yes},
        {CKA_EC_PARAMS, (void *)params_name, sizeof params_name},
    };
    CK_ATTRIBUTE private_template[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_KEY_TYPE, &key_type, sizeof key_type},
        {CKA_LABEL, (void *)name->object, label_length},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_SIGN, &yes, sizeof yes},
        {CKA_DECRYPT, &no, sizeof no},
        {CKA_UNWRAP, &no, sizeof no},
        {CKA_DERIVE, &no, sizeof no},
    };
    CK_MECHANISM mechanism = {CKM_EC_EDWARDS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE public_key = 0, private_key = 0;
    CK_RV rv = functions_of(&key)->C_GenerateKeyPair(
        key.session, &mechanism, public_template, sizeof public_template / sizeof public_template[0],
        private_template, sizeof private_template / sizeof private_template[0], &public_key,
        &private_key);
    if (rv != CKR_OK) {
        char what[300];
        format_narrow(what, sizeof what, "token \"%s\" cannot make an Ed25519 key pair", name->token);
        call_failed(error, cap, what, rv);
        token_close(&key);
        return -1;
    }
    int result = -1;
    if (read_public_point(&key, public_key, pair->public_key) != 0) {
        format_narrow(error, cap, "token \"%s\" made a key pair whose public key cannot be read",
                      name->token);
    } else {
        keyfile_name_kid(pair, date, kid);
        CK_ATTRIBUTE id = {CKA_ID, pair->kid, strlen(pair->kid)};
        rv = functions_of(&key)->C_SetAttributeValue(key.session, public_key, &id, 1);
        if (rv == CKR_OK) rv = functions_of(&key)->C_SetAttributeValue(key.session, private_key, &id, 1);
        if (rv != CKR_OK) {
            call_failed(error, cap, "the token does not keep the key id on the new key pair", rv);
        } else if (keyfile_kid_role(pair->kid) != role) {
            format_narrow(error, cap, "key id %s is not of the form %s", pair->kid,
                          keyfile_kid_form(role));
        } else {
            int written = keyfile_write_public(public_path, pair, overwrite, error, cap);
            if (written == 0) {
                result = 0;
            } else if (written == -2) {
                // The public file names this pair and is in place: the pair
                // stays in the token, so the two still belong together.
                char reason[512];
                format_narrow(reason, sizeof reason, "%s", error);
                format_narrow(error, cap,
                              "the key pair %s is in token \"%s\" and its public file %s is in place, "
                              "but: %s",
                              pair->kid, name->token, public_path, reason);
                token_close(&key);
                memset(pair, 0, sizeof *pair);
                return -1;
            }
        }
    }
    if (result != 0) {
        CK_RV destroyed_private = functions_of(&key)->C_DestroyObject(key.session, private_key);
        CK_RV destroyed_public = functions_of(&key)->C_DestroyObject(key.session, public_key);
        if (destroyed_private != CKR_OK || destroyed_public != CKR_OK) {
            size_t used = strlen(error);
            CK_RV failed = destroyed_private != CKR_OK ? destroyed_private : destroyed_public;
            format_narrow(error + used, cap - used,
                          "; and the token could not destroy the pair it made (%s, 0x%lx): remove the "
                          "objects labelled \"%s\" from token \"%s\" by hand",
                          result_name(failed), (unsigned long)failed, name->object, name->token);
        }
        memset(pair, 0, sizeof *pair);
    }
    token_close(&key);
    return result;
}

namespace {

// The one private key labelled as the name says, or -1 with a message that
// tells none from several.
int find_private_key(TokenKey *key, const TokenKeyName *name, CK_OBJECT_HANDLE *handle, char *error,
                     size_t cap) {
    CK_OBJECT_HANDLE found[2];
    long count = find_objects(key, CKO_PRIVATE_KEY, name->object, found, 2);
    if (count != 1) {
        format_narrow(error, cap,
                      count == 0 ? "token \"%s\" holds no private key labelled \"%s\""
                      : count < 0 ? "cannot search token \"%s\" for the key \"%s\""
                                  : "token \"%s\" holds more than one private key labelled \"%s\"",
                      name->token, name->object);
        return -1;
    }
    *handle = found[0];
    return 0;
}

// A signing key's private half as this tool requires it: it may sign and do
// nothing else, it is sensitive and not extractable and has been since it
// was made, so that it has never been outside a token in the clear. Every
// rule it breaks is named. A key the token did not make itself (CKA_LOCAL
// false: made in another token and brought over) is told on standard error
// and used. what names the key ("the key \"x\" in token \"y\""). Returns 0,
// or -1 with a message.
int check_key_attributes(TokenKey *key, CK_OBJECT_HANDLE object, const char *what, char *error,
                         size_t cap) {
    // want: 1 must be true, 0 must be false; optional: a token that does not
    // know the attribute for this key type means the key cannot do it.
    static const struct {
        CK_ATTRIBUTE_TYPE type;
        int want;
        int optional;
        const char *broken;
    } rules[] = {
        {CKA_SIGN, 1, 0, "it may not sign (CKA_SIGN is false)"},
        {CKA_SENSITIVE, 1, 0, "its private half is not sensitive (CKA_SENSITIVE is false)"},
        {CKA_EXTRACTABLE, 0, 0, "its private half can be extracted (CKA_EXTRACTABLE is true)"},
        {CKA_ALWAYS_SENSITIVE, 1, 0,
         "it has not been sensitive since it was made (CKA_ALWAYS_SENSITIVE is false)"},
        {CKA_NEVER_EXTRACTABLE, 1, 0, "it was extractable once (CKA_NEVER_EXTRACTABLE is false)"},
        {CKA_DECRYPT, 0, 1, "it may also decrypt (CKA_DECRYPT is true)"},
        {CKA_UNWRAP, 0, 1, "it may also unwrap keys (CKA_UNWRAP is true)"},
        {CKA_DERIVE, 0, 1, "it may also derive keys (CKA_DERIVE is true)"},
    };
    char faults[1024] = "";
    for (const auto &rule : rules) {
        CK_BBOOL value = CK_FALSE;
        CK_ULONG n = 0;
        CK_RV rv = read_attribute(key, object, rule.type, &value, sizeof value, &n);
        size_t used = strlen(faults);
        const char *separator = used == 0 ? "" : "; ";
        if (rv == CKR_ATTRIBUTE_TYPE_INVALID && rule.optional) continue;
        if (rv != CKR_OK || n != sizeof value) {
            format_narrow(faults + used, sizeof faults - used,
                          "%sthe token does not tell attribute 0x%lx (%s)", separator,
                          (unsigned long)rule.type, result_name(rv));
        } else if ((value != CK_FALSE) != (rule.want == 1)) {
            format_narrow(faults + used, sizeof faults - used, "%s%s", separator, rule.broken);
        }
    }
    CK_BBOOL local = CK_TRUE;
    CK_ULONG n = 0;
    int made_elsewhere = read_attribute(key, object, CKA_LOCAL, &local, sizeof local, &n) == CKR_OK &&
                         n == sizeof local && local == CK_FALSE;
    if (faults[0] != 0 && made_elsewhere) {
        size_t used = strlen(faults);
        format_narrow(faults + used, sizeof faults - used, "; it was not made in this token (CKA_LOCAL is false)");
    }
    if (faults[0] != 0) {
        format_narrow(error, cap,
                      "%s is not fit to sign: %s. A signing key is made inside the token, sensitive and "
                      "never extractable, and may only sign",
                      what, faults);
        return -1;
    }
    if (made_elsewhere) {
        fprintf(stderr,
                "vornquill-release: note: %s was not made in this token (CKA_LOCAL is false): it was made "
                "elsewhere and brought in, and has never been outside a token in the clear "
                "(CKA_ALWAYS_SENSITIVE and CKA_NEVER_EXTRACTABLE are true)\n",
                what);
    }
    return 0;
}

}  // namespace

int token_open(const TokenKeyName *name, TokenKey *key, char *error, size_t cap) {
    if (open_session(name, 0, key, nullptr, 0, error, cap) != 0) return -1;
    if (find_private_key(key, name, &key->private_key, error, cap) != 0) {
        token_close(key);
        return -1;
    }
    CK_KEY_TYPE type = 0;
    CK_ULONG n = 0;
    uint8_t params[64];
    CK_ULONG params_length = 0;
    CK_OBJECT_HANDLE public_objects[2];
    uint8_t id[65];
    if (read_attribute(key, key->private_key, CKA_KEY_TYPE, &type, sizeof type, &n) != CKR_OK ||
        type != CKK_EC_EDWARDS ||
        read_attribute(key, key->private_key, CKA_EC_PARAMS, params, sizeof params, &params_length) !=
            CKR_OK ||
        !params_are_ed25519(params, params_length)) {
        format_narrow(error, cap,
                      "the key \"%s\" in token \"%s\" is not an Ed25519 key (key type 0x%lx); a "
                      "release key is Ed25519 (make one with vornquill-release keygen)",
                      name->object, name->token, (unsigned long)type);
        token_close(key);
        return -1;
    }
    char what[2 * TOKEN_FIELD_CAPACITY + 32];
    format_narrow(what, sizeof what, "the key \"%s\" in token \"%s\"", name->object, name->token);
    if (check_key_attributes(key, key->private_key, what, error, cap) != 0) {
        token_close(key);
        return -1;
    }
    if (read_attribute(key, key->private_key, CKA_ID, id, sizeof id - 1, &n) != CKR_OK ||
        n >= sizeof id) {
        n = 0;
    }
    id[n] = 0;
    if (!keyfile_kid_valid((const char *)id)) {
        format_narrow(error, cap,
                      "the key \"%s\" in token \"%s\" has no release or freshness key id (CKA_ID of "
                      "the form release-YYYYMMDD-xxxxxxxx or fresh-YYYYMMDD-xxxxxxxx); make it with "
                      "vornquill-release keygen",
                      name->object, name->token);
        token_close(key);
        return -1;
    }
    format_narrow(key->kid, sizeof key->kid, "%s", (const char *)id);
    if (find_objects(key, CKO_PUBLIC_KEY, name->object, public_objects, 2) != 1 ||
        read_public_point(key, public_objects[0], key->public_key) != 0) {
        format_narrow(error, cap,
                      "token \"%s\" holds no readable Ed25519 public key labelled \"%s\" beside the "
                      "private one",
                      name->token, name->object);
        token_close(key);
        return -1;
    }
    return 0;
}

int token_sign(TokenKey *key, const uint8_t *data, size_t n, uint8_t signature[64], char *error,
               size_t cap) {
    CK_MECHANISM mechanism = {CKM_EDDSA, nullptr, 0};
    CK_RV rv = functions_of(key)->C_SignInit(key->session, &mechanism, key->private_key);
    CK_ULONG length = 64;
    if (rv == CKR_OK) {
        rv = functions_of(key)->C_Sign(key->session, (CK_BYTE_PTR)data, n, signature, &length);
    }
    if (rv != CKR_OK) {
        char what[300];
        format_narrow(what, sizeof what,
                      "the token refuses to sign with key %s%s", key->kid,
                      rv == CKR_KEY_FUNCTION_NOT_PERMITTED ? ": the key may not sign (CKA_SIGN is false)"
                                                           : "");
        call_failed(error, cap, what, rv);
        return -1;
    }
    if (length != 64 || crypto_sign_verify_detached(signature, data, n, key->public_key) != 0) {
        format_narrow(error, cap,
                      "the token's signature with key %s does not verify with its public key", key->kid);
        return -1;
    }
    return 0;
}

void token_close(TokenKey *key) {
    CK_FUNCTION_LIST_PTR list = functions_of(key);
    if (list != nullptr && key->session != 0) {
        list->C_Logout(key->session);
        list->C_CloseSession(key->session);
    }
    if (list != nullptr && key->initialized) list->C_Finalize(nullptr);
    if (key->module != nullptr) dlclose(key->module);
    memset(key, 0, sizeof *key);
}

int token_read_signing_key(const TokenKeyName *name, TokenPublicKey *out, char *pin, size_t pin_capacity,
                           char *error, size_t cap) {
    memset(out, 0, sizeof *out);
    TokenKey key;
    if (open_session(name, 0, &key, pin, pin_capacity, error, cap) != 0) return -1;
    int result = -1;
    CK_OBJECT_HANDLE found[2];
    CK_OBJECT_HANDLE public_objects[2];
    CK_KEY_TYPE type = 0;
    CK_ULONG n = 0;
    char what[2 * TOKEN_FIELD_CAPACITY + 32];
    format_narrow(what, sizeof what, "the key \"%s\" in token \"%s\"", name->object, name->token);
    if (find_private_key(&key, name, &found[0], error, cap) != 0) goto done;
    if (check_key_attributes(&key, found[0], what, error, cap) != 0) goto done;
    if (read_attribute(&key, found[0], CKA_KEY_TYPE, &type, sizeof type, &n) != CKR_OK) {
        format_narrow(error, cap, "cannot read the key type of %s", what);
        goto done;
    }
    out->key_type = type;
    if (type == CKK_RSA) {
        CK_ULONG modulus_length = 0, exponent_length = 0;
        if (read_attribute(&key, found[0], CKA_MODULUS, out->modulus, sizeof out->modulus,
                           &modulus_length) != CKR_OK ||
            read_attribute(&key, found[0], CKA_PUBLIC_EXPONENT, out->exponent, sizeof out->exponent,
                           &exponent_length) != CKR_OK ||
            modulus_length > sizeof out->modulus || exponent_length > sizeof out->exponent) {
            format_narrow(error, cap, "cannot read the public half of the RSA key \"%s\" in token \"%s\"",
                          name->object, name->token);
            goto done;
        }
        out->modulus_length = modulus_length;
        out->exponent_length = exponent_length;
    } else if (type == CKK_EC) {
        CK_ULONG point_length = 0;
        if (find_objects(&key, CKO_PUBLIC_KEY, name->object, public_objects, 2) != 1 ||
            read_attribute(&key, public_objects[0], CKA_EC_POINT, out->ec_point, sizeof out->ec_point,
                           &point_length) != CKR_OK ||
            point_length > sizeof out->ec_point) {
            format_narrow(error, cap,
                          "token \"%s\" holds no readable EC public key labelled \"%s\" beside the "
                          "private one",
                          name->token, name->object);
            goto done;
        }
        out->ec_point_length = point_length;
    } else {
        format_narrow(error, cap,
                      "the key \"%s\" in token \"%s\" is neither RSA nor EC (key type 0x%lx); a "
                      "code-signing key is one of them",
                      name->object, name->token, (unsigned long)type);
        goto done;
    }
    result = 0;
done:
    token_close(&key);
    if (result != 0 && pin != nullptr) sodium_memzero(pin, pin_capacity);
    return result;
}
