// Bare Windows loops that the setup executable's download and digest are
// measured against, and the product's own digest on the same file. Each
// command prints one line of key=value figures (times from the performance
// counter, excluding process start) for the bench driver to read.
//
//   vq-bench download HOST PORT PATH OUT [--read N] [--warm PATH]
//       one HTTPS GET through WinHTTP (TLS 1.2/1.3, as the setup executable
//       asks), the body read in pieces of N bytes (default 65536) and each
//       piece written straight to OUT. With --warm, PATH is fetched first on
//       the same connection (as the setup executable fetches its release
//       before the download), and ms counts from the download's request on,
//       without the TLS handshake.
//   vq-bench hash-bare FILE [CHUNK]   CNG SHA-256 over ReadFile chunks (default 1 MiB)
//   vq-bench hash-product FILE        the setup executable's file_sha256
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/memory.h"
#include "common/text.h"
#include "verify/verify.h"

// The bare hash reads in the product's own chunk size unless told otherwise.
enum { BENCH_DEFAULT_READ = 65536, BENCH_DEFAULT_CHUNK = FILE_SHA256_CHUNK, BENCH_MAX_PIECE = 16777216 };

static double bench_now_ms(void) {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

// User plus kernel time of this process so far, in milliseconds.
static double bench_cpu_ms(void) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return (double)(k.QuadPart + u.QuadPart) / 10000.0;
}

static void bench_print_digest(const uint8_t digest[32]) {
    char hex[65];
    hex_encode(digest, 32, hex);
    fputs(hex, stdout);
}

static DWORD bench_piece_size(const wchar_t *text, DWORD fallback) {
    if (text == nullptr) return fallback;
    unsigned long value = wcstoul(text, nullptr, 10);
    if (value == 0 || value > BENCH_MAX_PIECE) return 0;
    return (DWORD)value;
}

// Sends a GET and reads its status; the request handle, or null.
static HINTERNET bench_get(HINTERNET connection, const wchar_t *path, DWORD *status) {
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (request == nullptr) return nullptr;
    DWORD status_size = sizeof *status;
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0) ||
        !WinHttpReceiveResponse(request, nullptr) ||
        !WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, status, &status_size,
                             WINHTTP_NO_HEADER_INDEX)) {
        DWORD error = GetLastError();
        WinHttpCloseHandle(request);
        SetLastError(error);
        return nullptr;
    }
    return request;
}

// Reads a whole body and drops it (the warm-up request). 0 on success.
static int bench_drain(HINTERNET request) {
    uint8_t scrap[4096];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request, scrap, sizeof scrap, &got)) return 1;
        if (got == 0) return 0;
    }
}

// One GET into a file. 0 on success (the whole body written), 1 otherwise.
static int bench_download(const wchar_t *host, INTERNET_PORT port, const wchar_t *path,
                          const wchar_t *out_path, DWORD piece, const wchar_t *warm_path) {
    double start = bench_now_ms();
    double setup_ms = 0.0;
    int status_code = 1;
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    HANDLE out = INVALID_HANDLE_VALUE;
    uint8_t *buffer = nullptr;
    unsigned long long total = 0;
    unsigned long long reads = 0;
    double first_byte = 0.0;
    double cpu_start = bench_cpu_ms();
    DWORD status = 0;
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;

    session = WinHttpOpen(L"vq-bench", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) {
        session = WinHttpOpen(L"vq-bench", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (session == nullptr) goto done;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                              sizeof protocols)) {
            goto done;
        }
    }
    connection = WinHttpConnect(session, host, port, 0);
    if (connection == nullptr) goto done;
    if (warm_path != nullptr) {
        HINTERNET warm = bench_get(connection, warm_path, &status);
        if (warm == nullptr) goto done;
        int drained = bench_drain(warm);
        WinHttpCloseHandle(warm);
        if (drained != 0 || status != 200) goto done;
        double now = bench_now_ms();
        setup_ms = now - start;
        start = now;
    }
    cpu_start = bench_cpu_ms();
    request = bench_get(connection, path, &status);
    if (request == nullptr || status != 200) goto done;
    first_byte = bench_now_ms() - start;
    out = CreateFileW(out_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) goto done;
    buffer = (uint8_t *)heap_alloc(piece);
    if (buffer == nullptr) goto done;
    for (;;) {
        DWORD got = 0, written = 0;
        if (!WinHttpReadData(request, buffer, piece, &got)) goto done;
        if (got == 0) break;
        reads++;
        if (!WriteFile(out, buffer, got, &written, nullptr) || written != got) goto done;
        total += got;
    }
    status_code = 0;

done:
    DWORD error = status_code != 0 ? GetLastError() : 0;
    double elapsed = bench_now_ms() - start;
    double cpu = bench_cpu_ms() - cpu_start;
    heap_free(buffer);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (request != nullptr) WinHttpCloseHandle(request);
    if (connection != nullptr) WinHttpCloseHandle(connection);
    if (session != nullptr) WinHttpCloseHandle(session);
    printf("download ok=%d status=%lu error=%lu bytes=%llu reads=%llu piece=%lu warm=%d "
           "setup_ms=%.1f first_byte_ms=%.1f ms=%.1f cpu_ms=%.1f\n",
           status_code == 0, (unsigned long)status, (unsigned long)error, total, reads,
           (unsigned long)piece, warm_path != nullptr, setup_ms, first_byte, elapsed, cpu);
    return status_code;
}

// CNG SHA-256 of a whole file in chunks. 0 on success.
static int bench_hash_bare(const wchar_t *path, DWORD chunk) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printf("hash-bare ok=0 error=%lu\n", (unsigned long)GetLastError());
        return 1;
    }
    double start = bench_now_ms();
    double cpu_start = bench_cpu_ms();
    int status_code = 1;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    uint8_t digest[32];
    unsigned long long total = 0;
    uint8_t *buffer = (uint8_t *)heap_alloc(chunk);
    if (buffer == nullptr) goto done;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        algorithm = nullptr;
        goto done;
    }
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0) {
        hash = nullptr;
        goto done;
    }
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, chunk, &got, nullptr)) goto done;
        if (got == 0) break;
        if (BCryptHashData(hash, buffer, got, 0) != 0) goto done;
        total += got;
    }
    if (BCryptFinishHash(hash, digest, sizeof digest, 0) != 0) goto done;
    status_code = 0;

done:
    double elapsed = bench_now_ms() - start;
    double cpu = bench_cpu_ms() - cpu_start;
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    heap_free(buffer);
    CloseHandle(file);
    printf("hash-bare ok=%d bytes=%llu chunk=%lu ms=%.1f cpu_ms=%.1f sha256=", status_code == 0,
           total, (unsigned long)chunk, elapsed, cpu);
    if (status_code == 0) bench_print_digest(digest);
    printf("\n");
    return status_code;
}

// The product's digest of the whole file (its size as the expected length).
static int bench_hash_product(const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        printf("hash-product ok=0 error=%lu\n", (unsigned long)GetLastError());
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        return 1;
    }
    uint8_t digest[32];
    double start = bench_now_ms();
    double cpu_start = bench_cpu_ms();
    int result = file_sha256(file, (uint64_t)size.QuadPart, digest, nullptr, nullptr);
    double elapsed = bench_now_ms() - start;
    double cpu = bench_cpu_ms() - cpu_start;
    CloseHandle(file);
    printf("hash-product ok=%d bytes=%llu ms=%.1f cpu_ms=%.1f sha256=", result == 0,
           (unsigned long long)size.QuadPart, elapsed, cpu);
    if (result == 0) bench_print_digest(digest);
    printf("\n");
    return result == 0 ? 0 : 1;
}

static int bench_usage(void) {
    fprintf(stderr,
            "usage: vq-bench download HOST PORT PATH OUT [--read N] [--warm PATH]\n"
            "       vq-bench hash-bare FILE [CHUNK]\n"
            "       vq-bench hash-product FILE\n");
    return 2;
}

int wmain(int argc, wchar_t **argv) {
    if (argc >= 6 && wcscmp(argv[1], L"download") == 0) {
        unsigned long port = wcstoul(argv[3], nullptr, 10);
        DWORD piece = BENCH_DEFAULT_READ;
        const wchar_t *warm = nullptr;
        for (int i = 6; i < argc; i += 2) {
            if (i + 1 >= argc) return bench_usage();
            if (wcscmp(argv[i], L"--read") == 0) {
                piece = bench_piece_size(argv[i + 1], 0);
            } else if (wcscmp(argv[i], L"--warm") == 0) {
                warm = argv[i + 1];
            } else {
                return bench_usage();
            }
        }
        if (port == 0 || port > 65535 || piece == 0) return bench_usage();
        return bench_download(argv[2], (INTERNET_PORT)port, argv[4], argv[5], piece, warm);
    }
    if (argc >= 3 && wcscmp(argv[1], L"hash-bare") == 0) {
        DWORD chunk = bench_piece_size(argc >= 4 ? argv[3] : nullptr, BENCH_DEFAULT_CHUNK);
        if (chunk == 0) return bench_usage();
        return bench_hash_bare(argv[2], chunk);
    }
    if (argc == 3 && wcscmp(argv[1], L"hash-product") == 0) return bench_hash_product(argv[2]);
    return bench_usage();
}
