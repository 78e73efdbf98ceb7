/* A PKCS #11 module that passes every call to the real module named by
   VQ_P11_PROBE_MODULE, for the token test:
   - VQ_P11_PROBE_LOG=FILE: each C_GenerateKeyPair appends both templates to
     FILE, one line per attribute, "public|private NAME=VALUE" (CK_BBOOL
     values as true or false, other values as their length), so that the
     test sees what the release tool asks for, not what the token defaults
     to;
   - VQ_P11_PROBE_FAIL_DESTROY=1: C_DestroyObject fails with
     CKR_DEVICE_ERROR and destroys nothing;
   - VQ_P11_PROBE_NEVER_OUT=1: C_GetAttributeValue tells CKA_ALWAYS_SENSITIVE
     and CKA_NEVER_EXTRACTABLE as true, as a token does for a key that came
     from another token without ever being in the clear (CKA_LOCAL stays as
     the token says): the only way a test token can hold a key of known
     value, which the test build of the setup trusts, in that state. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST real_list;
static CK_FUNCTION_LIST probe_list;
static void *real_module;

static const char *attribute_name(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
    case CKA_TOKEN: return "CKA_TOKEN";
    case CKA_PRIVATE: return "CKA_PRIVATE";
    case CKA_LABEL: return "CKA_LABEL";
    case CKA_KEY_TYPE: return "CKA_KEY_TYPE";
    case CKA_SENSITIVE: return "CKA_SENSITIVE";
    case CKA_EXTRACTABLE: return "CKA_EXTRACTABLE";
    case CKA_SIGN: return "CKA_SIGN";
    case CKA_VERIFY: return "CKA_VERIFY";
    case CKA_DECRYPT: return "CKA_DECRYPT";
    case CKA_DERIVE: return "CKA_DERIVE";
    case CKA_UNWRAP: return "CKA_UNWRAP";
    case CKA_EC_PARAMS: return "CKA_EC_PARAMS";
    case CKA_ID: return "CKA_ID";
    default: return NULL;
    }
}

static int is_bool(CK_ATTRIBUTE_TYPE type) {
    return type == CKA_TOKEN || type == CKA_PRIVATE || type == CKA_SENSITIVE || type == CKA_EXTRACTABLE ||
           type == CKA_SIGN || type == CKA_VERIFY || type == CKA_DECRYPT || type == CKA_DERIVE ||
           type == CKA_UNWRAP;
}

static void log_template(FILE *out, const char *half, CK_ATTRIBUTE_PTR template, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; i++) {
        const char *name = attribute_name(template[i].type);
        if (name == NULL) {
            fprintf(out, "%s 0x%lx (%lu bytes)\n", half, (unsigned long)template[i].type,
                    (unsigned long)template[i].ulValueLen);
        } else if (is_bool(template[i].type) && template[i].ulValueLen == sizeof(CK_BBOOL) &&
                   template[i].pValue != NULL) {
            fprintf(out, "%s %s=%s\n", half, name, *(CK_BBOOL *)template[i].pValue ? "true" : "false");
        } else {
            fprintf(out, "%s %s (%lu bytes)\n", half, name, (unsigned long)template[i].ulValueLen);
        }
    }
}

static CK_RV probe_generate_key_pair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                                     CK_ATTRIBUTE_PTR public_template, CK_ULONG public_count,
                                     CK_ATTRIBUTE_PTR private_template, CK_ULONG private_count,
                                     CK_OBJECT_HANDLE_PTR public_key, CK_OBJECT_HANDLE_PTR private_key) {
    const char *log = getenv("VQ_P11_PROBE_LOG");
    if (log != NULL) {
        FILE *out = fopen(log, "a");
        if (out != NULL) {
            log_template(out, "public", public_template, public_count);
            log_template(out, "private", private_template, private_count);
            fclose(out);
        }
    }
    return real_list.C_GenerateKeyPair(session, mechanism, public_template, public_count, private_template,
                                       private_count, public_key, private_key);
}

static CK_RV probe_destroy_object(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    const char *fail = getenv("VQ_P11_PROBE_FAIL_DESTROY");
    if (fail != NULL && strcmp(fail, "1") == 0) return CKR_DEVICE_ERROR;
    return real_list.C_DestroyObject(session, object);
}

static CK_RV probe_get_attribute_value(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                       CK_ATTRIBUTE_PTR template, CK_ULONG count) {
    CK_RV rv = real_list.C_GetAttributeValue(session, object, template, count);
    const char *never_out = getenv("VQ_P11_PROBE_NEVER_OUT");
    if (rv != CKR_OK || never_out == NULL || strcmp(never_out, "1") != 0) return rv;
    for (CK_ULONG i = 0; i < count; i++) {
        if ((template[i].type == CKA_ALWAYS_SENSITIVE || template[i].type == CKA_NEVER_EXTRACTABLE) &&
            template[i].pValue != NULL && template[i].ulValueLen == sizeof(CK_BBOOL)) {
            *(CK_BBOOL *)template[i].pValue = CK_TRUE;
        }
    }
    return rv;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == NULL) return CKR_ARGUMENTS_BAD;
    if (real_module == NULL) {
        const char *path = getenv("VQ_P11_PROBE_MODULE");
        if (path == NULL) return CKR_GENERAL_ERROR;
        real_module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (real_module == NULL) return CKR_GENERAL_ERROR;
        CK_C_GetFunctionList get = (CK_C_GetFunctionList)dlsym(real_module, "C_GetFunctionList");
        CK_FUNCTION_LIST_PTR real = NULL;
        if (get == NULL || get(&real) != CKR_OK || real == NULL) return CKR_GENERAL_ERROR;
        real_list = *real;
        probe_list = *real;
        probe_list.C_GenerateKeyPair = probe_generate_key_pair;
        probe_list.C_DestroyObject = probe_destroy_object;
        probe_list.C_GetAttributeValue = probe_get_attribute_value;
    }
    *list = &probe_list;
    return CKR_OK;
}
