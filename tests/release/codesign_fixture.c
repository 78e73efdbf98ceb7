/* Code-signing keys in a test token, made through the PKCS #11 module itself:
     codesign_fixture MODULE TOKEN PIN rsa LABEL PUBLIC-PEM
         an RSA-3072 pair generated inside the token (the private half
         sensitive, not extractable, sign only); its public half goes to
         PUBLIC-PEM so that the test CA can certify it
     codesign_fixture MODULE TOKEN PIN show LABEL -
         prints the private key's attributes: "key-type=0x0 bits=3072
         sensitive=1 extractable=0 sign=1 value-readable=0", the last telling
         whether the token hands out the private exponent
   Exit 0 when done, 1 with a message otherwise. */
#include <stdio.h>
#include <string.h>

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

static int make_rsa(CK_SESSION_HANDLE session, const char *label, const char *public_path) {
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ULONG bits = 3072;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    CK_ULONG n = strlen(label);
    CK_ATTRIBUTE public_template[] = {
        {CKA_TOKEN, &yes, sizeof yes},         {CKA_LABEL, (void *)label, n},
        {CKA_ID, (void *)label, n},            {CKA_VERIFY, &yes, sizeof yes},
        {CKA_ENCRYPT, &no, sizeof no},         {CKA_MODULUS_BITS, &bits, sizeof bits},
        {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
    };
    CK_ATTRIBUTE private_template[] = {
        {CKA_TOKEN, &yes, sizeof yes},       {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_LABEL, (void *)label, n},       {CKA_ID, (void *)label, n},
        {CKA_SENSITIVE, &yes, sizeof yes},   {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_SIGN, &yes, sizeof yes},        {CKA_DECRYPT, &no, sizeof no},
        {CKA_UNWRAP, &no, sizeof no},        {CKA_DERIVE, &no, sizeof no},
    };
    CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, NULL, 0};
    CK_OBJECT_HANDLE public_key, private_key;
    CK_RV rv = p11->C_GenerateKeyPair(session, &mechanism, public_template,
                                      sizeof public_template / sizeof public_template[0], private_template,
                                      sizeof private_template / sizeof private_template[0], &public_key,
                                      &private_key);
    if (rv != CKR_OK) return fail("C_GenerateKeyPair", rv);
    return write_public(session, public_key, public_path);
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
    if (argc != 7) {
        fprintf(stderr, "usage: codesign_fixture MODULE TOKEN PIN rsa|show LABEL PUBLIC-PEM|-\n");
        return 2;
    }
    const char *token = argv[2], *pin = argv[3], *command = argv[4], *label = argv[5];
    CK_SESSION_HANDLE session;
    if (p11_fixture_login("codesign_fixture", argv[1], token, pin, &p11, &session) != 0) return 1;
    int result;
    if (strcmp(command, "rsa") == 0) {
        result = make_rsa(session, label, argv[6]);
    } else if (strcmp(command, "show") == 0) {
        result = show(session, label);
    } else {
        result = fail("unknown command", 0);
    }
    p11_fixture_close(p11, session);
    return result;
}
