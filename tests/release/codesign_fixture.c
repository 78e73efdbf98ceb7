/* Code-signing keys in a test token, made through the PKCS #11 module itself:
     codesign_fixture MODULE TOKEN PIN rsa LABEL PUBLIC-PEM [bits=N] [NAME=0|1...]
         an RSA-3072 (or N-bit) pair generated inside the token (the private
         half sensitive, not extractable, sign only, unless NAME=0|1 says
         otherwise for sensitive, extractable, sign, decrypt, unwrap or
         derive); its public half goes to PUBLIC-PEM so that the test CA can
         certify it
     codesign_fixture MODULE TOKEN PIN import LABEL PUBLIC-PEM [NAME=0|1...]
         an RSA-2048 key made outside (by OpenSSL) and brought into the token
         with C_CreateObject, sensitive and not extractable, the rest as the
         token defaults it unless NAME=0|1 says otherwise
     codesign_fixture MODULE TOKEN PIN show LABEL -
         prints the private key's attributes: "key-type=0x0 bits=3072
         sensitive=1 extractable=0 sign=1 value-readable=0", the last telling
         whether the token hands out the private exponent
   Exit 0 when done, 1 with a message otherwise. */
#include <stdio.h>
#include <string.h>

#include <stdlib.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <p11-kit/pkcs11.h>

#include "p11_fixture.h"

static CK_FUNCTION_LIST_PTR p11;

static int fail(const char *what, CK_RV rv) {
    fprintf(stderr, "codesign_fixture: %s (0x%lx)\n", what, (unsigned long)rv);
    return 1;
}

/* Writes the RSA public key (modulus, exponent) of a public key object as PEM. */
static int write_public(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, const char *path) {
    unsigned char modulus[512], exponent[16];
    CK_ATTRIBUTE parts[2] = {{CKA_MODULUS, modulus, sizeof modulus},
                             {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}};
    CK_RV rv = p11->C_GetAttributeValue(session, object, parts, 2);
    if (rv != CKR_OK) return fail("cannot read the public key", rv);
    BIGNUM *n = BN_bin2bn(modulus, (int)parts[0].ulValueLen, NULL);
    BIGNUM *e = BN_bin2bn(exponent, (int)parts[1].ulValueLen, NULL);
    OSSL_PARAM_BLD *build = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = NULL;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(NULL, "RSA", NULL);
    EVP_PKEY *key = NULL;
    int result = 1;
    if (n != NULL && e != NULL && build != NULL && ctx != NULL &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e) == 1 &&
        (params = OSSL_PARAM_BLD_to_param(build)) != NULL && EVP_PKEY_fromdata_init(ctx) == 1 &&
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1) {
        FILE *out = fopen(path, "w");
        if (out != NULL && PEM_write_PUBKEY(out, key) == 1) result = 0;
        if (out != NULL && fclose(out) != 0) result = 1;
    }
    if (result != 0) fail("cannot write the public key", 0);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_free(n);
    BN_free(e);
    return result;
}

static int make_rsa(CK_SESSION_HANDLE session, const char *label, const char *public_path, int argc,
                    char **argv) {
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ULONG bits = 3072;
    if (argc > 0 && strncmp(argv[0], "bits=", 5) == 0) {
        bits = strtoul(argv[0] + 5, NULL, 10);
        argc--;
        argv++;
    }
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    CK_ULONG n = strlen(label);
    CK_ATTRIBUTE public_template[] = {
        {CKA_TOKEN, &yes, sizeof yes},         {CKA_LABEL, (void *)label, n},
        {CKA_ID, (void *)label, n},            {CKA_VERIFY, &yes, sizeof yes},
        {CKA_ENCRYPT, &no, sizeof no},         {CKA_MODULUS_BITS, &bits, sizeof bits},
        {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
    };
    CK_ATTRIBUTE private_template[16] = {
        {CKA_TOKEN, &yes, sizeof yes},       {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_LABEL, (void *)label, n},       {CKA_ID, (void *)label, n},
        {CKA_SENSITIVE, &yes, sizeof yes},   {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_SIGN, &yes, sizeof yes},        {CKA_DECRYPT, &no, sizeof no},
        {CKA_UNWRAP, &no, sizeof no},        {CKA_DERIVE, &no, sizeof no},
    };
    CK_ULONG count = 10;
    if (p11_fixture_apply("codesign_fixture", private_template, &count, 16, argc, argv) != 0) return 1;
    CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, NULL, 0};
    CK_OBJECT_HANDLE public_key, private_key;
    CK_RV rv = p11->C_GenerateKeyPair(session, &mechanism, public_template,
                                      sizeof public_template / sizeof public_template[0], private_template,
                                      count, &public_key, &private_key);
    if (rv != CKR_OK) return fail("C_GenerateKeyPair", rv);
    return write_public(session, public_key, public_path);
}

/* An RSA key made by OpenSSL, brought into the token as a private key object
   (its public half written to public_path). */
static int import_rsa(CK_SESSION_HANDLE session, const char *label, const char *public_path, int argc,
                      char **argv) {
    EVP_PKEY *key = EVP_PKEY_Q_keygen(NULL, NULL, "RSA", (size_t)2048);
    if (key == NULL) return fail("OpenSSL cannot make an RSA key", 0);
    static const char *names[] = {OSSL_PKEY_PARAM_RSA_N,          OSSL_PKEY_PARAM_RSA_E,
                                  OSSL_PKEY_PARAM_RSA_D,          OSSL_PKEY_PARAM_RSA_FACTOR1,
                                  OSSL_PKEY_PARAM_RSA_FACTOR2,    OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                  OSSL_PKEY_PARAM_RSA_EXPONENT2,  OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    static const CK_ATTRIBUTE_TYPE types[] = {CKA_MODULUS,   CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT,
                                              CKA_PRIME_1,   CKA_PRIME_2,         CKA_EXPONENT_1,
                                              CKA_EXPONENT_2, CKA_COEFFICIENT};
    static CK_BYTE parts[8][512];
    CK_OBJECT_CLASS klass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ULONG n = strlen(label);
    CK_ATTRIBUTE template_[24] = {
        {CKA_CLASS, &klass, sizeof klass},   {CKA_KEY_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},       {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_LABEL, (void *)label, n},       {CKA_ID, (void *)label, n},
        {CKA_SENSITIVE, &yes, sizeof yes},   {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_SIGN, &yes, sizeof yes},
    };
    CK_ULONG count = 9;
    for (int i = 0; i < 8; i++) {
        BIGNUM *value = NULL;
        if (EVP_PKEY_get_bn_param(key, names[i], &value) != 1) return fail("cannot read the RSA key", 0);
        int length = BN_bn2bin(value, parts[i]);
        BN_free(value);
        template_[count].type = types[i];
        template_[count].pValue = parts[i];
        template_[count].ulValueLen = (CK_ULONG)length;
        count++;
    }
    int result = p11_fixture_apply("codesign_fixture", template_, &count, 24, argc, argv);
    CK_OBJECT_HANDLE handle;
    CK_RV rv = result == 0 ? p11->C_CreateObject(session, template_, count, &handle) : CKR_OK;
    if (result == 0 && rv != CKR_OK) result = fail("C_CreateObject", rv);
    FILE *out = result == 0 ? fopen(public_path, "w") : NULL;
    if (result == 0 && (out == NULL || PEM_write_PUBKEY(out, key) != 1)) result = fail("cannot write the public key", 0);
    if (out != NULL) fclose(out);
    EVP_PKEY_free(key);
    return result;
}

static int show(CK_SESSION_HANDLE session, const char *label) {
    CK_OBJECT_HANDLE key = p11_fixture_find(p11, session, CKO_PRIVATE_KEY, label);
    if (key == CK_INVALID_HANDLE) return fail("no such private key", 0);
    CK_KEY_TYPE type = 0;
    CK_BBOOL sensitive = 0, extractable = 1, sign = 0;
    CK_BYTE modulus[512];
    CK_ATTRIBUTE read[] = {
        {CKA_KEY_TYPE, &type, sizeof type},          {CKA_SENSITIVE, &sensitive, sizeof sensitive},
        {CKA_EXTRACTABLE, &extractable, sizeof extractable}, {CKA_SIGN, &sign, sizeof sign},
        {CKA_MODULUS, modulus, sizeof modulus},
    };
    CK_RV rv = p11->C_GetAttributeValue(session, key, read, sizeof read / sizeof read[0]);
    if (rv != CKR_OK) return fail("C_GetAttributeValue", rv);
    CK_BYTE value[512];
    CK_ATTRIBUTE secret = {CKA_PRIVATE_EXPONENT, value, sizeof value};
    rv = p11->C_GetAttributeValue(session, key, &secret, 1);
    int readable = rv == CKR_OK && secret.ulValueLen != CK_UNAVAILABLE_INFORMATION;
    printf("key-type=0x%lx bits=%lu sensitive=%d extractable=%d sign=%d value-readable=%d\n",
           (unsigned long)type, (unsigned long)(read[4].ulValueLen * 8), sensitive, extractable, sign,
           readable);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 7) {
        fprintf(stderr, "usage: codesign_fixture MODULE TOKEN PIN rsa|import|show LABEL PUBLIC-PEM|- [bits=N] [NAME=0|1...]\n");
        return 2;
    }
    const char *token = argv[2], *pin = argv[3], *command = argv[4], *label = argv[5];
    CK_SESSION_HANDLE session;
    if (p11_fixture_login("codesign_fixture", argv[1], token, pin, &p11, &session) != 0) return 1;
    int result;
    if (strcmp(command, "rsa") == 0) {
        result = make_rsa(session, label, argv[6], argc - 7, argv + 7);
    } else if (strcmp(command, "import") == 0) {
        result = import_rsa(session, label, argv[6], argc - 7, argv + 7);
    } else if (strcmp(command, "show") == 0) {
        result = show(session, label);
    } else {
        result = fail("unknown command", 0);
    }
    p11_fixture_close(p11, session);
    return result;
}
