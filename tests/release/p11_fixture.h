/* The opening of the test fixtures that make keys in a token through the
   PKCS #11 module itself: the module loaded, the token found by its label,
   a read-write session opened and the user logged in. */
#ifndef VQ_P11_FIXTURE_H
#define VQ_P11_FIXTURE_H

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

/* 0 with *list and *session set, or 1 with a message on standard error that
   begins with program. */
static int p11_fixture_login(const char *program, const char *module_path, const char *token,
                             const char *pin, CK_FUNCTION_LIST_PTR *list, CK_SESSION_HANDLE *session) {
    const char *what = NULL;
    CK_RV rv = 0;
    void *module = dlopen(module_path, RTLD_NOW);
    CK_C_GetFunctionList get = module == NULL ? NULL : (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList");
    CK_SLOT_ID slots[16], slot = 0;
    CK_ULONG count = 16;
    int found = 0;
    size_t n = strlen(token);
    if (module == NULL) {
        what = dlerror();
    } else if (get == NULL || get(list) != CKR_OK) {
        what = "no function list";
    } else if ((rv = (*list)->C_Initialize(NULL)) != CKR_OK) {
        what = "C_Initialize";
    } else if ((rv = (*list)->C_GetSlotList(CK_TRUE, slots, &count)) != CKR_OK) {
        what = "C_GetSlotList";
    } else {
        for (CK_ULONG i = 0; i < count; i++) {
            CK_TOKEN_INFO info;
            if ((*list)->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
            if (n <= 32 && memcmp(info.label, token, n) == 0 && (n == 32 || info.label[n] == ' ')) {
                slot = slots[i];
                found = 1;
            }
        }
        if (!found) {
            what = "no such token";
        } else if ((rv = (*list)->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL,
                                                session)) != CKR_OK) {
            what = "C_OpenSession";
        } else if ((rv = (*list)->C_Login(*session, CKU_USER, (CK_UTF8CHAR_PTR)pin, strlen(pin))) != CKR_OK) {
            what = "C_Login";
        }
    }
    if (what == NULL) return 0;
    fprintf(stderr, "%s: %s (0x%lx)\n", program, what, (unsigned long)rv);
    return 1;
}

/* The first object of the class with the label, or CK_INVALID_HANDLE when
   there is none or the search fails. */
static CK_OBJECT_HANDLE p11_fixture_find(CK_FUNCTION_LIST_PTR list, CK_SESSION_HANDLE session,
                                         CK_OBJECT_CLASS klass, const char *label) {
    CK_ATTRIBUTE query[2] = {{CKA_CLASS, &klass, sizeof klass}, {CKA_LABEL, (void *)label, strlen(label)}};
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    CK_ULONG got = 0;
    if (list->C_FindObjectsInit(session, query, 2) != CKR_OK) return CK_INVALID_HANDLE;
    if (list->C_FindObjects(session, &handle, 1, &got) != CKR_OK || got != 1) handle = CK_INVALID_HANDLE;
    list->C_FindObjectsFinal(session);
    return handle;
}

/* Applies "NAME=0|1" arguments (sensitive, extractable, sign, decrypt,
   unwrap, derive) to a key template of count attributes (capacity at most):
   an attribute the template has gets the new value, another is added, so
   that a test makes a key the way it must be refused. 0, or 1 with a message
   on an argument it does not know. */
static int p11_fixture_apply(const char *program, CK_ATTRIBUTE *template_, CK_ULONG *count, CK_ULONG capacity,
                             int argc, char **argv) {
    static CK_BBOOL values[2] = {CK_FALSE, CK_TRUE};
    static const struct {
        const char *name;
        CK_ATTRIBUTE_TYPE type;
    } names[] = {{"sensitive", CKA_SENSITIVE}, {"extractable", CKA_EXTRACTABLE}, {"sign", CKA_SIGN},
                 {"decrypt", CKA_DECRYPT},     {"unwrap", CKA_UNWRAP},           {"derive", CKA_DERIVE}};
    for (int i = 0; i < argc; i++) {
        const char *eq = strchr(argv[i], '=');
        CK_ATTRIBUTE_TYPE type = (CK_ATTRIBUTE_TYPE)-1;
        for (size_t k = 0; eq != NULL && k < sizeof names / sizeof names[0]; k++) {
            if (strlen(names[k].name) == (size_t)(eq - argv[i]) && memcmp(names[k].name, argv[i], eq - argv[i]) == 0) {
                type = names[k].type;
            }
        }
        if (type == (CK_ATTRIBUTE_TYPE)-1 || (strcmp(eq + 1, "0") != 0 && strcmp(eq + 1, "1") != 0)) {
            fprintf(stderr, "%s: unknown attribute setting %s\n", program, argv[i]);
            return 1;
        }
        CK_ULONG at = 0;
        while (at < *count && template_[at].type != type) at++;
        if (at == *count) {
            if (*count == capacity) {
                fprintf(stderr, "%s: too many attribute settings\n", program);
                return 1;
            }
            (*count)++;
        }
        template_[at].type = type;
        template_[at].pValue = &values[eq[1] == '1'];
        template_[at].ulValueLen = sizeof(CK_BBOOL);
    }
    return 0;
}

/* Logs out, closes the session and lets the module go. */
static void p11_fixture_close(CK_FUNCTION_LIST_PTR list, CK_SESSION_HANDLE session) {
    list->C_Logout(session);
    list->C_CloseSession(session);
    list->C_Finalize(NULL);
}

#endif
