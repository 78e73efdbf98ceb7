/* Makes the keys in a test token that the release tool must use or refuse,
   through the PKCS #11 module itself:
     token_fixture MODULE TOKEN PIN import LABEL KID SEED-HEX PUBLIC-HEX [NAME=0|1...]
         an Ed25519 pair from a known seed, brought into the token
         (C_CreateObject: sensitive, not extractable, sign only unless
         NAME=0|1 says otherwise for sensitive, extractable, sign, decrypt,
         unwrap or derive; "-" leaves decrypt and unwrap to the token's
         defaults), so that the token signs with a key a test build of the
         setup trusts
     token_fixture MODULE TOKEN PIN gen LABEL KID [NAME=0|1...]
         an Ed25519 pair made in the token, sensitive, not extractable and
         sign only unless NAME=0|1 says otherwise
     token_fixture MODULE TOKEN PIN p256 LABEL KID
         an ECDSA P-256 pair (not Ed25519)
     token_fixture MODULE TOKEN PIN show LABEL -
         prints the private key's attributes: "sensitive=1 extractable=0
         sign=1 key-type=0x40 id=KID" (the key the release tool made), then
         "always-sensitive=1 never-extractable=1 local=1 decrypt=0 unwrap=0
         derive=0"
   Exit 0 when made, 1 with a message otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

#include "p11_fixture.h"

static CK_FUNCTION_LIST_PTR p11;

static int fail(const char *what, CK_RV rv) {
    fprintf(stderr, "token_fixture: %s (0x%lx)\n", what, (unsigned long)rv);
    return 1;
}

static int hex32(const char *text, CK_BYTE out[32]) {
    if (strlen(text) != 64) return -1;
    for (int i = 0; i < 32; i++) {
        unsigned v;
        if (sscanf(text + 2 * i, "%2x", &v) != 1) return -1;
        out[i] = (CK_BYTE)v;
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 7) {
        fprintf(stderr, "usage: token_fixture MODULE TOKEN PIN import|gen|p256|show LABEL KID [SEED PUBLIC] [NAME=0|1...]\n");
        return 2;
    }
    const char *token = argv[2], *pin = argv[3], *command = argv[4], *label = argv[5], *kid = argv[6];
    CK_SESSION_HANDLE session;
    if (p11_fixture_login("token_fixture", argv[1], token, pin, &p11, &session) != 0) return 1;
    CK_RV rv;

    static const CK_BYTE ed25519[] = {0x13, 0x0c, 'e', 'd', 'w', 'a', 'r', 'd', 's', '2', '5', '5', '1', '9'};
    static const CK_BYTE p256[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_OBJECT_CLASS private_class = CKO_PRIVATE_KEY, public_class = CKO_PUBLIC_KEY;
    CK_KEY_TYPE edwards = CKK_EC_EDWARDS;
    CK_ULONG label_length = strlen(label), kid_length = strlen(kid);
    if (strcmp(command, "import") == 0) {
        CK_BYTE seed[32], point[34] = {0x04, 32};
        if (argc < 9 || hex32(argv[7], seed) != 0 || hex32(argv[8], point + 2) != 0) {
            return fail("import needs the seed and the public key in hex", 0);
        }
        CK_ATTRIBUTE private_key[16] = {
            {CKA_CLASS, &private_class, sizeof private_class}, {CKA_KEY_TYPE, &edwards, sizeof edwards},
            {CKA_TOKEN, &yes, sizeof yes},                     {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_SENSITIVE, &yes, sizeof yes},                 {CKA_EXTRACTABLE, &no, sizeof no},
            {CKA_SIGN, &yes, sizeof yes},                      {CKA_LABEL, (void *)label, label_length},
            {CKA_ID, (void *)kid, kid_length},                 {CKA_EC_PARAMS, (void *)ed25519, sizeof ed25519},
            {CKA_VALUE, seed, sizeof seed},                    {CKA_DERIVE, &no, sizeof no},
            {CKA_DECRYPT, &no, sizeof no},                     {CKA_UNWRAP, &no, sizeof no},
        };
        CK_ULONG count = 14;
        int defaults = argc > 9 && strcmp(argv[9], "-") == 0;
        if (defaults) count = 12;
        if (p11_fixture_apply("token_fixture", private_key, &count, 16, argc - 9 - defaults, argv + 9 + defaults) != 0) {
            return 1;
        }
        CK_ATTRIBUTE public_key[] = {
            {CKA_CLASS, &public_class, sizeof public_class}, {CKA_KEY_TYPE, &edwards, sizeof edwards},
            {CKA_TOKEN, &yes, sizeof yes},                   {CKA_VERIFY, &yes, sizeof yes},
            {CKA_LABEL, (void *)label, label_length},        {CKA_ID, (void *)kid, kid_length},
            {CKA_EC_PARAMS, (void *)ed25519, sizeof ed25519}, {CKA_EC_POINT, point, sizeof point},
        };
        CK_OBJECT_HANDLE handle;
        rv = p11->C_CreateObject(session, private_key, count, &handle);
        if (rv != CKR_OK) return fail("C_CreateObject (private)", rv);
        rv = p11->C_CreateObject(session, public_key, sizeof public_key / sizeof public_key[0], &handle);
        if (rv != CKR_OK) return fail("C_CreateObject (public)", rv);
    } else if (strcmp(command, "gen") == 0 || strcmp(command, "p256") == 0) {
        int is_p256 = strcmp(command, "p256") == 0;
        CK_MECHANISM mechanism = {is_p256 ? CKM_EC_KEY_PAIR_GEN : CKM_EC_EDWARDS_KEY_PAIR_GEN, NULL, 0};
        CK_ATTRIBUTE public_key[] = {
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_VERIFY, &yes, sizeof yes},
            {CKA_LABEL, (void *)label, label_length},
            {CKA_ID, (void *)kid, kid_length},
            {CKA_EC_PARAMS, is_p256 ? (void *)p256 : (void *)ed25519, is_p256 ? sizeof p256 : sizeof ed25519},
        };
        CK_ATTRIBUTE private_key[16] = {
            {CKA_TOKEN, &yes, sizeof yes},     {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_SENSITIVE, &yes, sizeof yes}, {CKA_EXTRACTABLE, &no, sizeof no},
            {CKA_SIGN, &yes, sizeof yes},      {CKA_DECRYPT, &no, sizeof no},
            {CKA_UNWRAP, &no, sizeof no},      {CKA_DERIVE, &no, sizeof no},
            {CKA_LABEL, (void *)label, label_length}, {CKA_ID, (void *)kid, kid_length},
        };
        CK_ULONG count = 10;
        if (p11_fixture_apply("token_fixture", private_key, &count, 16, argc - 7, argv + 7) != 0) return 1;
        CK_OBJECT_HANDLE public_handle, private_handle;
        rv = p11->C_GenerateKeyPair(session, &mechanism, public_key, sizeof public_key / sizeof public_key[0],
                                    private_key, count, &public_handle, &private_handle);
        if (rv != CKR_OK) return fail("C_GenerateKeyPair", rv);
    } else if (strcmp(command, "show") == 0) {
        CK_OBJECT_HANDLE handle = p11_fixture_find(p11, session, private_class, label);
        if (handle == CK_INVALID_HANDLE) return fail("no such private key", 0);
        CK_BBOOL sensitive = 0, extractable = 1, sign = 0, always = 0, never = 0, local = 0, decrypt = 1,
                 unwrap = 1, derive = 1;
        CK_KEY_TYPE type = 0;
        char id[80] = "";
        CK_ATTRIBUTE read[] = {{CKA_SENSITIVE, &sensitive, sizeof sensitive},
                               {CKA_EXTRACTABLE, &extractable, sizeof extractable},
                               {CKA_SIGN, &sign, sizeof sign},
                               {CKA_KEY_TYPE, &type, sizeof type},
                               {CKA_ID, id, sizeof id - 1},
                               {CKA_ALWAYS_SENSITIVE, &always, sizeof always},
                               {CKA_NEVER_EXTRACTABLE, &never, sizeof never},
                               {CKA_LOCAL, &local, sizeof local},
                               {CKA_DECRYPT, &decrypt, sizeof decrypt},
                               {CKA_UNWRAP, &unwrap, sizeof unwrap},
                               {CKA_DERIVE, &derive, sizeof derive}};
        rv = p11->C_GetAttributeValue(session, handle, read, sizeof read / sizeof read[0]);
        if (rv != CKR_OK) return fail("C_GetAttributeValue", rv);
        id[read[4].ulValueLen < sizeof id ? read[4].ulValueLen : 0] = 0;
        printf("sensitive=%d extractable=%d sign=%d key-type=0x%lx id=%s\n", sensitive, extractable, sign,
               (unsigned long)type, id);
        printf("always-sensitive=%d never-extractable=%d local=%d decrypt=%d unwrap=%d derive=%d\n", always,
               never, local, decrypt, unwrap, derive);
    } else {
        return fail("unknown command", 0);
    }
    p11_fixture_close(p11, session);
    return 0;
}
