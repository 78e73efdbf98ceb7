// The signer rules of the Authenticode check: the verdict table, the pinned
// thumbprints and the summary line. Pure logic; the system calls that gather
// the facts are in authenticode.cpp.
#include <string.h>

#include "common/constants.h"
#include "common/text.h"
#include "verify/verify.h"

AuthenticodeVerdict authenticode_verdict(uint32_t status, const AuthenticodeFacts *facts) {
    static const AuthenticodeFacts none = {};
    if (facts == nullptr) facts = &none;
    if (status == 0) {
        if (facts->pinned) return facts->timestamp ? AUTHENTICODE_PINNED_TRUSTED : AUTHENTICODE_PINNED_NO_TIMESTAMP;
        if (facts->self_signed || !facts->organization_match) return AUTHENTICODE_NOT_VENDOR;
        return facts->timestamp ? AUTHENTICODE_PUBLIC_VENDOR : AUTHENTICODE_TRUSTED_NO_TIMESTAMP;
    }
    if (status == AUTHENTICODE_CERT_E_UNTRUSTEDROOT) {
        // The status names one error of the chain; the pinned certificate
        // makes up for that one only, never for any other error beside it.
        if (!facts->pinned || !facts->chain_untrusted_root_only) return AUTHENTICODE_REJECTED;
        return facts->timestamp ? AUTHENTICODE_PINNED_UNTRUSTED : AUTHENTICODE_PINNED_NO_TIMESTAMP;
    }
    if (status == AUTHENTICODE_TRUST_E_NOSIGNATURE) return AUTHENTICODE_NOT_SIGNED;
    if (status == AUTHENTICODE_TRUST_E_BAD_DIGEST) return AUTHENTICODE_MODIFIED;
    return AUTHENTICODE_REJECTED;
}

int authenticode_verdict_accepted(AuthenticodeVerdict verdict) {
    return verdict == AUTHENTICODE_PINNED_TRUSTED || verdict == AUTHENTICODE_PUBLIC_VENDOR ||
           verdict == AUTHENTICODE_PINNED_UNTRUSTED;
}

const char *authenticode_verdict_text(AuthenticodeVerdict verdict) {
    switch (verdict) {
    case AUTHENTICODE_PINNED_TRUSTED: return "pinned self-signed certificate (trusted on this PC)";
    case AUTHENTICODE_PINNED_NO_TIMESTAMP: return "pinned certificate but no timestamp";
    case AUTHENTICODE_NOT_VENDOR: return "validly signed, but not by Hollbrek";
    case AUTHENTICODE_PUBLIC_VENDOR: return "publicly trusted Hollbrek certificate";
    case AUTHENTICODE_TRUSTED_NO_TIMESTAMP: return "trusted certificate but no timestamp";
    case AUTHENTICODE_PINNED_UNTRUSTED: return "pinned self-signed certificate";
    case AUTHENTICODE_REJECTED: return "signature rejected by Windows";
    case AUTHENTICODE_NOT_SIGNED: return "not signed";
    case AUTHENTICODE_MODIFIED: return "the signature does not match the file (modified)";
    }
    return "signature rejected by Windows";
}

int authenticode_thumbprint_pinned(const uint8_t thumbprint[20]) {
    // Every entry is compared, not just up to the first match.
    int pinned = 0;
    for (unsigned i = 0;; i++) {
        const uint8_t *entry = pinned_thumbprint(i);
        if (entry == nullptr) break;
        if (memcmp(entry, thumbprint, 20) == 0) pinned = 1;
    }
    return pinned;
}

void authenticode_summary(char *summary, size_t capacity, AuthenticodeVerdict verdict, uint32_t status,
                          const AuthenticodeFacts *facts) {
    if (summary == nullptr || capacity == 0) return;
    static const AuthenticodeFacts none = {};
    if (facts == nullptr) facts = &none;
    char signer[41] = "none";
    if (facts->thumbprint_known) {
        static const char digits[] = "0123456789ABCDEF";
        for (int i = 0; i < 20; i++) {
            signer[2 * i] = digits[facts->thumbprint[i] >> 4];
            signer[2 * i + 1] = digits[facts->thumbprint[i] & 15];
        }
        signer[40] = 0;
    }
    format_narrow(summary, capacity, "%s (WinVerifyTrust 0x%08lX, signer %s, timestamp %s)",
                  authenticode_verdict_text(verdict), (unsigned long)status, signer,
                  facts->timestamp ? "yes" : "no");
}
