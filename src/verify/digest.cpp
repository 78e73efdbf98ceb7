// SHA-256 of the downloaded installer through the system's cryptography
// provider, in 1 MiB chunks, with progress and stop.
#include <windows.h>
#include <bcrypt.h>

#include <string.h>

#include "common/memory.h"
#include "verify/verify.h"


int file_sha256(HANDLE file, uint64_t length, uint8_t digest[32], ProgressCallback progress,
                void *context) {
    uint8_t *buffer = (uint8_t *)heap_alloc(FILE_SHA256_CHUNK);
    if (buffer == nullptr) return -1;

    int result = -1;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    uint8_t value[32];
    uint64_t done = 0;
    DWORD got = 0;
    LARGE_INTEGER start;
    start.QuadPart = 0;

    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) goto done;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        algorithm = nullptr;
        goto done;
    }
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0) {
        hash = nullptr;
        goto done;
    }

    while (done < length) {
        uint64_t remaining = length - done;
        DWORD chunk = remaining < FILE_SHA256_CHUNK ? (DWORD)remaining : (DWORD)FILE_SHA256_CHUNK;
        got = 0;
        if (!ReadFile(file, buffer, chunk, &got, nullptr) || got != chunk) goto done;
        if (BCryptHashData(hash, buffer, chunk, 0) != 0) goto done;
        done += chunk;
        if (progress != nullptr && progress(context, done, length) != 0) goto done;
    }

    // The file must end exactly here.
    got = 0;
    if (!ReadFile(file, buffer, 1, &got, nullptr) || got != 0) goto done;

    // Finished into a local buffer so that the caller's is written only on
    // success.
    if (BCryptFinishHash(hash, value, sizeof value, 0) != 0) goto done;
    memcpy(digest, value, sizeof value);
    result = 0;

done:
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    heap_free(buffer);
    return result;
}
