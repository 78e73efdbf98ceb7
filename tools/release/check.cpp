// vornquill-release check: asks a cloud the questions the setup program asks
// (HTTPS only, TLS 1.2 or newer, GET only, the setup's User-Agent, no
// HTTPS-to-HTTP redirect) and judges the answers with the setup's own rules:
// the release verification, the Content-Length and Content-Range rules and
// the size limits. One line per check: "ok", "warn" or "FAIL", the reason
// and, when something must change, what.
#include "tools/release/check.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sodium.h>

#include "cloud/cloud.h"
#include "common/constants.h"
#include "common/memory.h"
#include "common/text.h"
#include "release/freshness.h"
#include "release/manifest.h"
#include "release/release.h"
#include "tools/release/keyfile.h"
#include "tools/release/statement.h"

namespace {

enum {
    CHECK_HEAD_SAMPLE = 65536,     // leading bytes of the installer kept for comparisons
    CHECK_RESUME_OFFSET = 4096,    // first byte of the resumption asked for (smaller files: half)
    CHECK_MAX_REDIRECTS = 10,
    CHECK_CERT_WARN_DAYS = 30,
    CHECK_URL_CAPACITY = 2048,
    CHECK_HEADER_CAPACITY = 256,
};

const char hosting_hint[] = "tools/cloud/README.md, \"Hosting releases\"";

int count_ok, count_warn, count_fail;

void report(const char *status, const char *name, const char *format, ...) VQ_PRINTF(3, 4);

void report(const char *status, const char *name, const char *format, ...) {
    char reason[1536];
    va_list args;
    va_start(args, format);
    if (format_narrow_v(reason, sizeof reason, format, args) < 0) {
        size_t n = strlen(reason);
        if (n >= 3) memcpy(reason + n - 3, "...", 3);
    }
    va_end(args);
    if (strcmp(status, "ok") == 0) count_ok++;
    else if (strcmp(status, "warn") == 0) count_warn++;
    else count_fail++;
    // Every reason may quote the server's own text (headers, addresses,
    // curl's error, the verification detail): escaped here, once, so that no
    // answer can end this line, start another or rewrite the terminal.
    char shown[4 * sizeof reason + 1];
    text_escape_controls(reason, shown, sizeof shown);
    printf("%-4s %s: %s\n", status, name, shown);
    fflush(stdout);
}

// What the TLS layer of the first answer showed.
struct TlsFacts {
    int known;
    char version[32];
    int has_expiry;
    int days_left;
};

// One question to the cloud and what came back.
struct Exchange {
    // the question
    char url[CHECK_URL_CAPACITY];
    const char *range;       // "Range" value, or null
    const char *if_range;    // "If-Range" value, or null
    uint64_t stop_after;     // stop reading once this many body bytes came (UINT64_MAX: all)
    uint8_t *kept;           // the first body bytes are kept here
    size_t kept_capacity;
    const uint8_t *prefix;   // hashed before the body (a resumption's held bytes), or null
    size_t prefix_length;
    // the answer
    CURLcode code;
    char curl_error[CURL_ERROR_SIZE];
    long status;
    char content_length[CHECK_HEADER_CAPACITY];  // raw values; has_* tell presence,
    char content_range[CHECK_HEADER_CAPACITY];   // too_long_* a value cut short
    char etag[CHECK_HEADER_CAPACITY];
    int has_content_length, has_content_range, has_etag;
    int too_long_content_range, too_long_etag;
    char cache_control[CHECK_HEADER_CAPACITY];   // how long caches may keep the answer
    char age[CHECK_HEADER_CAPACITY];
    char date[CHECK_HEADER_CAPACITY];            // when the origin sent it
    int has_cache_control, has_age, has_date;
    time_t received;                             // when the answer's headers came
    uint64_t body_bytes;
    size_t kept_length;
    int stopped;             // reading stopped on purpose
    crypto_hash_sha256_state hash;
    // redirects
    int https_redirects;
    char first_redirect[CHECK_URL_CAPACITY];
    int plain_redirect;      // 1: redirected to a URL that is not HTTPS
    char plain_target[CHECK_URL_CAPACITY];
};

struct Checker {
    CURL *curl;
    char base[CHECK_URL_CAPACITY];    // https://host:port
    char user_agent[160];
    const char *ca_file;
    int full;
    TlsFacts tls;
    int redirected_https;             // HTTPS redirects followed, over all questions
    char redirect_example[CHECK_URL_CAPACITY];
    int redirected_plain;
};

void copy_value(char *target, size_t capacity, int *too_long, const char *value, size_t n) {
    if (n >= capacity) {
        if (too_long != nullptr) *too_long = 1;
        n = capacity - 1;
    }
    memcpy(target, value, n);
    target[n] = 0;
}

void read_tls_facts(Checker *checker) {
    if (checker->tls.known) return;
    struct curl_tlssessioninfo *info = nullptr;
    if (curl_easy_getinfo(checker->curl, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK ||
        info == nullptr || info->backend != CURLSSLBACKEND_OPENSSL || info->internals == nullptr) {
        return;
    }
    SSL *ssl = (SSL *)info->internals;
    checker->tls.known = 1;
    format_narrow(checker->tls.version, sizeof checker->tls.version, "%s", SSL_get_version(ssl));
    X509 *certificate = SSL_get0_peer_certificate(ssl);
    int days = 0, seconds = 0;
    if (certificate != nullptr &&
        ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(certificate)) == 1) {
        checker->tls.has_expiry = 1;
        checker->tls.days_left = days;
    }
}

struct CallbackContext {
    Checker *checker;
    Exchange *exchange;
};

size_t on_header(char *data, size_t size, size_t count, void *user) {
    CallbackContext *context = (CallbackContext *)user;
    Exchange *ex = context->exchange;
    size_t n = size * count;
    read_tls_facts(context->checker);
    if (n >= 5 && memcmp(data, "HTTP/", 5) == 0) {  // a new answer begins
        ex->has_content_length = ex->has_content_range = ex->has_etag = 0;
        ex->too_long_content_range = ex->too_long_etag = 0;
        ex->has_cache_control = ex->has_age = ex->has_date = 0;
        ex->received = time(nullptr);
        return n;
    }
    const char *colon = (const char *)memchr(data, ':', n);
    if (colon == nullptr) return n;
    size_t name_length = (size_t)(colon - data);
    const char *value = colon + 1;
    size_t value_length = n - name_length - 1;
    while (value_length > 0 && (*value == ' ' || *value == '\t')) {
        value++;
        value_length--;
    }
    while (value_length > 0 && (value[value_length - 1] == '\r' || value[value_length - 1] == '\n' ||
                                value[value_length - 1] == ' ' || value[value_length - 1] == '\t')) {
        value_length--;
    }
    if (name_length == 14 && strncasecmp(data, "Content-Length", 14) == 0) {
        ex->has_content_length = 1;
        copy_value(ex->content_length, sizeof ex->content_length, nullptr, value, value_length);
    } else if (name_length == 13 && strncasecmp(data, "Content-Range", 13) == 0) {
        ex->has_content_range = 1;
        copy_value(ex->content_range, sizeof ex->content_range, &ex->too_long_content_range, value,
                   value_length);
    } else if (name_length == 4 && strncasecmp(data, "ETag", 4) == 0) {
        ex->has_etag = 1;
        copy_value(ex->etag, sizeof ex->etag, &ex->too_long_etag, value, value_length);
    } else if (name_length == 13 && strncasecmp(data, "Cache-Control", 13) == 0) {
        ex->has_cache_control = 1;
        copy_value(ex->cache_control, sizeof ex->cache_control, nullptr, value, value_length);
    } else if (name_length == 3 && strncasecmp(data, "Age", 3) == 0) {
        ex->has_age = 1;
        copy_value(ex->age, sizeof ex->age, nullptr, value, value_length);
    } else if (name_length == 4 && strncasecmp(data, "Date", 4) == 0) {
        ex->has_date = 1;
        copy_value(ex->date, sizeof ex->date, nullptr, value, value_length);
    }
    return n;
}

size_t on_body(char *data, size_t size, size_t count, void *user) {
    Exchange *ex = ((CallbackContext *)user)->exchange;
    size_t n = size * count;
    if (ex->kept != nullptr && ex->kept_length < ex->kept_capacity) {
        size_t room = ex->kept_capacity - ex->kept_length;
        size_t take = n < room ? n : room;
        memcpy(ex->kept + ex->kept_length, data, take);
        ex->kept_length += take;
    }
    crypto_hash_sha256_update(&ex->hash, (const unsigned char *)data, n);
    ex->body_bytes += n;
    if (ex->body_bytes >= ex->stop_after) {
        ex->stopped = 1;
        return 0;  // ends the transfer
    }
    return n;
}

int starts_with_nocase(const char *text, const char *prefix) {
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

// Asks one question, following redirects as the setup does: HTTPS to HTTPS
// is followed, anything else is not.
void ask(Checker *checker, Exchange *ex) {
    CURL *curl = checker->curl;
    char url[CHECK_URL_CAPACITY];
    format_narrow(url, sizeof url, "%s", ex->url);
    for (int hop = 0;; hop++) {
        ex->code = CURLE_OK;
        ex->curl_error[0] = 0;
        ex->status = 0;
        ex->body_bytes = 0;
        ex->kept_length = 0;
        ex->stopped = 0;
        ex->has_content_length = ex->has_content_range = ex->has_etag = 0;
        ex->has_cache_control = ex->has_age = 0;
        crypto_hash_sha256_init(&ex->hash);
        if (ex->prefix != nullptr) crypto_hash_sha256_update(&ex->hash, ex->prefix, ex->prefix_length);

        struct curl_slist *headers = nullptr;
        char line[CHECK_HEADER_CAPACITY + 16];
        headers = curl_slist_append(headers, "Accept:");  // the setup sends none
        if (ex->range != nullptr) {
            format_narrow(line, sizeof line, "Range: %s", ex->range);
            headers = curl_slist_append(headers, line);
        }
        if (ex->if_range != nullptr) {
            format_narrow(line, sizeof line, "If-Range: %s", ex->if_range);
            headers = curl_slist_append(headers, line);
        }
        CallbackContext context = {checker, ex};
        curl_easy_setopt(curl, CURLOPT_URL, url);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &context);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &context);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, ex->curl_error);
        ex->code = curl_easy_perform(curl);
        curl_slist_free_all(headers);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &ex->status);
        if (ex->stopped && ex->code == CURLE_WRITE_ERROR) ex->code = CURLE_OK;
        if (ex->curl_error[0] == 0 && ex->code != CURLE_OK) {
            format_narrow(ex->curl_error, sizeof ex->curl_error, "%s", curl_easy_strerror(ex->code));
        }
        if (ex->status < 300 || ex->status > 399) return;
        char *target = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &target);
        if (target == nullptr) return;  // a 3xx without a usable Location comes back as it is
        if (!starts_with_nocase(target, "https://")) {
            ex->plain_redirect = 1;
            format_narrow(ex->plain_target, sizeof ex->plain_target, "%s", target);
            checker->redirected_plain++;
            return;
        }
        if (hop == CHECK_MAX_REDIRECTS) return;
        if (ex->https_redirects == 0) {
            format_narrow(ex->first_redirect, sizeof ex->first_redirect, "%s", target);
        }
        if (checker->redirected_https == 0) {
            format_narrow(checker->redirect_example, sizeof checker->redirect_example, "%s -> %s", url,
                          target);
        }
        ex->https_redirects++;
        checker->redirected_https++;
        format_narrow(url, sizeof url, "%s", target);
    }
}

void exchange_init(Exchange *ex, const Checker *checker, const char *path) {
    memset(ex, 0, sizeof *ex);
    format_narrow(ex->url, sizeof ex->url, "%s%s", checker->base, path);
    ex->stop_after = UINT64_MAX;
}

// 1 when a question got an answer; otherwise reports it under name as a failure.
int answered(const Exchange *ex, const char *name, int partial_allowed) {
    if (ex->plain_redirect) {
        report("FAIL", name,
               "answered %ld with a redirect to %s, which the setup refuses to follow (it never goes "
               "from HTTPS to HTTP). Change: serve every hop over HTTPS, or serve the file at this "
               "address",
               ex->status, ex->plain_target);
        return 0;
    }
    if (ex->code == CURLE_OK || (partial_allowed && ex->code == CURLE_PARTIAL_FILE && ex->status != 0)) {
        return 1;
    }
    report("FAIL", name, "no answer: %s (curl error %d). Change: make %s reachable over HTTPS",
           ex->curl_error, (int)ex->code, ex->url);
    return 0;
}

// The Content-Length as the setup reads it: -1 when absent or not plain digits.
int64_t content_length_of(const Exchange *ex) {
    if (!ex->has_content_length) return -1;
    wchar16 text[CLOUD_CONTENT_LENGTH_CAPACITY];
    utf8_to_utf16(ex->content_length, text, CLOUD_CONTENT_LENGTH_CAPACITY);
    if (strlen(ex->content_length) >= CLOUD_CONTENT_LENGTH_CAPACITY) return -1;
    return cloud_parse_content_length(text);
}

// 1 when the Content-Range is exactly what the setup demands for first..size-1.
int content_range_matches(const Exchange *ex, uint64_t first, uint64_t size) {
    if (!ex->has_content_range || ex->too_long_content_range ||
        strlen(ex->content_range) >= CLOUD_CONTENT_RANGE_CAPACITY) {
        return 0;
    }
    wchar16 text[CLOUD_CONTENT_RANGE_CAPACITY];
    utf8_to_utf16(ex->content_range, text, CLOUD_CONTENT_RANGE_CAPACITY);
    return cloud_content_range_text_matches(text, first, size);
}

// ---- the checks ---------------------------------------------------------

void check_transport(const Checker *checker) {
    if (!checker->tls.known) {
        report("warn", "tls", "the agreed TLS version could not be read");
    } else {
        report("ok", "tls", "%s agreed (the setup accepts TLS 1.2 and 1.3 only)", checker->tls.version);
    }
    if (!checker->tls.has_expiry) {
        report("warn", "certificate", "the certificate's end of validity could not be read");
    } else if (checker->tls.days_left < CHECK_CERT_WARN_DAYS) {
        report("warn", "certificate",
               "trusted, but valid for only %d more days. Change: renew the certificate before "
               "it ends, or every setup run fails",
               checker->tls.days_left);
    } else {
        report("ok", "certificate", "trusted, valid for %d more days", checker->tls.days_left);
    }
}

void check_redirects(const Checker *checker) {
    if (checker->redirected_plain > 0) {
        report("FAIL", "redirects",
               "%d of the answers redirected to plain HTTP, which the setup never follows. Change: "
               "redirect only to HTTPS addresses",
               checker->redirected_plain);
    } else if (checker->redirected_https > 0) {
        report("ok", "redirects", "%d HTTPS redirects followed, as the setup follows them (%s)",
               checker->redirected_https, checker->redirect_example);
    } else {
        report("ok", "redirects", "none");
    }
}

// ---- how long caches may keep latest.txt ----------------------------------

enum {
    CHECK_FRESH_LIMIT_S = 300,     // longer, and a new release reaches setups too late
    CHECK_EDGE_TTL_S = 60,         // what the edge recipe keeps latest.txt for
    CHECK_STALE_SLACK_S = 16,      // an edge's whole second and its fetch in the background
};

const char edge_hint[] = "tools/cloud/README.md, \"Releases through a caching edge\"";

// Seconds written as digits (a delta-seconds value); -1 when it is not that.
long long check_seconds(const char *text, size_t length) {
    if (length >= 2 && text[0] == '"' && text[length - 1] == '"') {
        text++;
        length -= 2;
    }
    if (length == 0 || length > 9) return -1;
    long long value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Reads latest.txt's Cache-Control and Age as the caches between the cloud
// and the setup read them: how long one may keep it, and how old it is.
// Returns how long caches may keep it (0: none may; -1: not said).
long long check_freshness(const Exchange *ex) {
    long long max_age = -1, s_maxage = -1;
    int no_store = 0;
    const char *p = ex->has_cache_control ? ex->cache_control : "";
    while (*p != 0) {
        while (*p == ' ' || *p == '\t' || *p == ',') p++;
        const char *end = p;
        while (*end != 0 && *end != ',') end++;
        size_t n = (size_t)(end - p);
        while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t')) n--;
        if (n == 8 && (strncasecmp(p, "no-store", 8) == 0 || strncasecmp(p, "no-cache", 8) == 0)) {
            no_store = 1;
        } else if (n > 8 && strncasecmp(p, "max-age=", 8) == 0) {
            max_age = check_seconds(p + 8, n - 8);
        } else if (n > 9 && strncasecmp(p, "s-maxage=", 9) == 0) {
            s_maxage = check_seconds(p + 9, n - 9);
        }
        p = end;
    }
    // Shared caches (an edge, a company's proxy) take s-maxage before max-age.
    long long kept = no_store ? 0 : s_maxage >= 0 ? s_maxage : max_age;
    long long age = ex->has_age ? check_seconds(ex->age, strlen(ex->age)) : -1;
    if (age > CHECK_FRESH_LIMIT_S) {
        report("warn", "freshness",
               "latest.txt was served %lld s after a cache fetched it (Age %s): setups see a new "
               "release only that much later. Change: let the edge keep latest.txt for at most "
               "%d s (%s)",
               age, ex->age, (int)CHECK_EDGE_TTL_S, edge_hint);
    } else if (kept > CHECK_FRESH_LIMIT_S) {
        report("warn", "freshness",
               "Cache-Control \"%s\" lets caches keep latest.txt for %lld s: setups see a new "
               "release only that much later. Change: let the edge keep latest.txt for at most "
               "%d s and say so (Cache-Control \"public, max-age=%d\"); the origin sends "
               "\"no-store\" (%s)",
               ex->cache_control, kept, (int)CHECK_EDGE_TTL_S, (int)CHECK_EDGE_TTL_S, edge_hint);
    } else if (kept < 0) {
        report("warn", "freshness",
               "latest.txt comes without a usable Cache-Control%s%s%s: a cache between the cloud "
               "and the setup may keep it as long as its own rules say. Change: send Cache-Control "
               "\"no-store\" from the origin, \"public, max-age=%d\" from an edge (%s)",
               ex->has_cache_control ? " (\"" : "", ex->has_cache_control ? ex->cache_control : "",
               ex->has_cache_control ? "\")" : "", (int)CHECK_EDGE_TTL_S, edge_hint);
    } else if (kept == 0) {
        report("ok", "freshness", "Cache-Control \"%s\": no cache serves latest.txt without asking "
               "the cloud, a new release shows at once", ex->cache_control);
    } else {
        char age_text[48] = "";
        if (age >= 0) format_narrow(age_text, sizeof age_text, ", this copy %lld s old", age);
        report("ok", "freshness", "Cache-Control \"%s\": caches keep latest.txt for at most %lld s, "
               "so a new release shows within that%s", ex->cache_control, kept, age_text);
    }
    return kept;
}

// How old the copy of latest.txt is, from Age (a cache's count) or else
// from Date (the origin's clock, which an edge that passes it on keeps with
// its copy): a copy older than caches may keep it is served stale, by an
// edge whose origin fails.
void check_staleness(const Exchange *ex, long long kept) {
    long long age = -1;
    const char *source = "";
    if (ex->has_age) {
        age = check_seconds(ex->age, strlen(ex->age));
        source = "Age";
    }
    if (age < 0 && ex->has_date) {
        time_t sent = curl_getdate(ex->date, nullptr);
        if (sent != (time_t)-1) {
            age = sent < ex->received ? (long long)(ex->received - sent) : 0;
            source = "Date";
        }
    }
    long long limit = (kept > 0 ? kept : 0) + CHECK_STALE_SLACK_S;
    if (age < 0) {
        report("warn", "stale",
               "latest.txt comes without Age or a usable Date, so how old this copy is cannot be "
               "seen. Change: send Date (an edge passes the origin's on with its copy) (%s)",
               edge_hint);
    } else if (age > limit) {
        report("warn", "stale",
               "this copy of latest.txt is %lld s old (%s), past the %lld s that caches keep it: a "
               "cache in front of the origin serves its last good copy because the origin fails or "
               "cannot be reached, and a new release does not show until it answers again. Change: "
               "bring the origin back (check it with --url) (%s)",
               age, source, kept > 0 ? kept : 0, edge_hint);
    } else if (age <= kept) {
        report("ok", "stale",
               "this copy of latest.txt is %lld s old (%s), within the %lld s that caches keep it: "
               "none serves it stale now",
               age, source, kept);
    } else if (kept <= 0) {
        report("ok", "stale", "this copy of latest.txt is %lld s old (%s): fresh from the origin, "
               "not a cache's stale copy", age, source);
    } else {
        report("ok", "stale",
               "this copy of latest.txt is %lld s old (%s), past the %lld s that caches keep it by no "
               "more than the %d s a cache takes to fetch a new one in the background",
               age, source, kept, (int)CHECK_STALE_SLACK_S);
    }
}

// ---- the freshness statement ---------------------------------------------

enum {
    CHECK_FRESH_WARN_S = 3 * 86400,  // warn below this much time left (or half the window)
};

const char fresh_hint[] = "tools/cloud/README.md, \"Keeping releases fresh\"";

// Judges the statement of a verified latest.txt (manifest_sha256 the digest
// of its manifest) as a setup of the profile of the keys given would, at
// this machine's time, and reports the time left.
void check_statement(const uint8_t *body, size_t length, const uint8_t manifest_sha256[32],
                     const TrustedKey *keys, size_t count) {
    StatementInfo info;
    char detail[256];
    int64_t now = (int64_t)time(nullptr);
    StatementStatus status = statement_read((const char *)body, length, manifest_sha256, keys,
                                            count, now, &info, detail, sizeof detail);
    char issued[32], expires[32], left[48], window[48];
    fresh_time_text(info.issued, issued, sizeof issued);
    fresh_time_text(info.expires, expires, sizeof expires);
    statement_span_text(info.expires - now, left, sizeof left);
    statement_span_text(info.expires - info.issued, window, sizeof window);
    if (status == STATEMENT_MISSING) {
        report("FAIL", "statement",
               "latest.txt has no freshness statement (fresh, fresh_kid, fresh_sig): every setup "
               "refuses this release (exit code 2, reason release). Change: publish with "
               "--fresh-key, or add the statement with vornquill-release refresh (%s)",
               fresh_hint);
        return;
    }
    if (status == STATEMENT_EXPIRED) {
        char ago[48];
        statement_span_text(now - info.expires, ago, sizeof ago);
        report("FAIL", "statement",
               "stale: the statement expired at %s, %s ago (issued %s, key %s): every setup "
               "refuses this release as out of date (exit code 2, reason release). Change: run "
               "vornquill-release refresh on the publishing host and see why its timer did not; "
               "a cache that serves this copy while the origin fails stops doing so once the "
               "origin answers (%s)",
               expires, ago, issued, info.kid, fresh_hint);
        return;
    }
    if (status != STATEMENT_OK) {
        report("FAIL", "statement",
               "refused as a setup refuses it: %s: %s. Change: renew it with vornquill-release "
               "refresh and the freshness key these setups trust (%s)",
               statement_status_word(status), detail, fresh_hint);
        return;
    }
    int64_t remaining = info.expires - now;
    int64_t threshold = (info.expires - info.issued) / 2;
    if (threshold > CHECK_FRESH_WARN_S) threshold = CHECK_FRESH_WARN_S;
    if (remaining < threshold) {
        report("warn", "statement",
               "%s left: fresh until %s, then every setup refuses this release (window %s, issued "
               "%s, key %s). Change: run vornquill-release refresh on the publishing host, whose "
               "timer should have renewed it by now (%s)",
               left, expires, window, issued, info.kid, fresh_hint);
    } else {
        report("ok", "statement", "%s left: fresh until %s (window %s, issued %s, key %s)", left,
               expires, window, issued, info.kid);
    }
}

// Fetches and verifies the release envelope. 1 with *info filled when it verified.
int check_release(Checker *checker, const TrustedKey *key, const TrustedKey *fresh_keys,
                  size_t fresh_count, ReleaseInfo *info) {
    char path[256];
    utf16_to_utf8(CLOUD_RELEASE_PATH, path, sizeof path);
    Exchange *ex = (Exchange *)heap_alloc(sizeof *ex);
    uint8_t *body = (uint8_t *)heap_alloc((size_t)CLOUD_ENVELOPE_CAPACITY + 1);
    if (ex == nullptr || body == nullptr) {
        heap_free(ex);
        heap_free(body);
        report("FAIL", "release", "out of memory");
        return 0;
    }
    exchange_init(ex, checker, path);
    ex->kept = body;
    ex->kept_capacity = (size_t)CLOUD_ENVELOPE_CAPACITY + 1;
    ex->stop_after = (uint64_t)CLOUD_ENVELOPE_CAPACITY + 1;
    ask(checker, ex);
    int verified = 0;
    int64_t length = content_length_of(ex);
    if (!answered(ex, "release", 1)) {
        // reported
    } else if (ex->status == 204 || ex->status == 404) {
        report("FAIL", "release",
               "status %ld: the setup reads this as \"no release is available\" and ends with exit "
               "code 6. Change: publish latest.txt at %s",
               ex->status, path);
    } else if (ex->status != 200) {
        report("FAIL", "release", "status %ld; the setup needs 200 with the envelope. Change: serve "
               "latest.txt at %s", ex->status, path);
    } else if (length > (int64_t)CLOUD_ENVELOPE_CAPACITY || ex->body_bytes > CLOUD_ENVELOPE_CAPACITY) {
        report("FAIL", "release",
               "the envelope is larger than the setup's %d bytes. Change: publish a smaller "
               "manifest",
               (int)CLOUD_ENVELOPE_CAPACITY);
    } else if (ex->has_content_length && length < 0) {
        report("FAIL", "release",
               "Content-Length \"%s\" is not a plain decimal number. Change: send the body's "
               "length in digits, or no Content-Length",
               ex->content_length);
    } else if (length >= 0 && (uint64_t)length != ex->body_bytes) {
        report("FAIL", "release",
               "Content-Length %lld but the body has %llu bytes; the setup counts that as a "
               "failed attempt and tries again until it gives up. Change: send the envelope's "
               "true length",
               (long long)length, (unsigned long long)ex->body_bytes);
    } else if (ex->code != CURLE_OK) {
        report("FAIL", "release", "the answer ended early: %s. Change: send the whole envelope",
               ex->curl_error);
    } else {
        if (length >= 0) {
            report("ok", "release", "200 with %llu bytes, Content-Length %lld",
                   (unsigned long long)ex->body_bytes, (long long)length);
        } else {
            report("ok", "release", "200 with %llu bytes, no Content-Length (allowed)",
                   (unsigned long long)ex->body_bytes);
        }
        check_staleness(ex, check_freshness(ex));
        char detail[256];
        detail[0] = 0;
        VerifyStatus verdict = release_verify_with_keys((const char *)body, (size_t)ex->body_bytes,
                                                        version_floor(), key, 1, info, detail,
                                                        sizeof detail);
        if (verdict == VERIFY_OK) {
            report("ok", "envelope", "verified with %s: version %s, %s, %lld bytes, SHA-256 %s",
                   info->kid, info->version, info->fileName, (long long)info->size,
                   info->sha256_hex);
            verified = 1;
            check_statement(body, (size_t)ex->body_bytes, info->manifest_sha256, fresh_keys,
                            fresh_count);
        } else {
            report("FAIL", "envelope",
                   "refused by the setup's verification: %s: %s. Change: publish latest.txt as "
                   "\"vornquill-release publish\" wrote it, signed with the key given here",
                   verify_status_word(verdict), detail);
        }
    }
    heap_free(body);
    heap_free(ex);
    return verified;
}

// The installer checks. The whole-file answer's first bytes are kept to
// compare the resumed tail with; with full, whole bodies are hashed.
void check_installer(Checker *checker, const ReleaseInfo *info) {
    char path[512];
    format_narrow(path, sizeof path, "/v1/public/installer/files/%s/%s", info->version,
                  info->fileName);
    const uint64_t size = (uint64_t)info->size;
    char tag[80];
    format_narrow(tag, sizeof tag, "\"%s\"", info->sha256_hex);
    Exchange *ex = (Exchange *)heap_alloc(sizeof *ex);
    uint8_t *head = (uint8_t *)heap_alloc(CHECK_HEAD_SAMPLE);
    uint8_t *tail = (uint8_t *)heap_alloc(CHECK_HEAD_SAMPLE);
    if (ex == nullptr || head == nullptr || tail == nullptr) {
        report("FAIL", "installer", "out of memory");
        heap_free(ex);
        heap_free(head);
        heap_free(tail);
        return;
    }

    // The whole file, as a first download asks for it.
    exchange_init(ex, checker, path);
    ex->kept = head;
    ex->kept_capacity = CHECK_HEAD_SAMPLE;
    if (!checker->full) ex->stop_after = CHECK_HEAD_SAMPLE;
    ask(checker, ex);
    int whole_ok = 0;
    size_t head_length = 0;
    char server_tag[CHECK_HEADER_CAPACITY];
    server_tag[0] = 0;
    int has_tag = 0, tag_too_long = 0;
    uint8_t whole_digest[32];
    uint64_t whole_bytes = 0;
    int whole_complete = 0;
    if (answered(ex, "installer", 1)) {
        int64_t length = content_length_of(ex);
        head_length = ex->kept_length;
        has_tag = ex->has_etag;
        tag_too_long = ex->too_long_etag;
        format_narrow(server_tag, sizeof server_tag, "%s", ex->etag);
        if (ex->status == 204 || ex->status == 404) {
            report("FAIL", "installer",
                   "status %ld at %s: the setup reads this as \"no longer offered\" and ends with "
                   "exit code 6. Change: publish files/%s/%s beside latest.txt",
                   ex->status, path, info->version, info->fileName);
        } else if (ex->status != 200) {
            report("FAIL", "installer", "status %ld at %s; the setup needs 200 with the whole file",
                   ex->status, path);
        } else if (length >= 0 && (uint64_t)length != size) {
            report("FAIL", "installer",
                   "Content-Length %lld but the signed release says %llu bytes; the setup refuses "
                   "the download as the wrong size. Change: serve the file that was published "
                   "with this latest.txt",
                   (long long)length, (unsigned long long)size);
        } else if (length < 0) {
            report("warn", "installer",
                   "200 without a usable Content-Length; the setup cannot refuse a wrong size "
                   "before it has downloaded it. Change: send the file's length");
            whole_ok = 1;
        } else {
            report("ok", "installer", "200 with Content-Length %lld, the signed release's size",
                   (long long)length);
            whole_ok = 1;
        }
        if (checker->full && ex->status == 200) {
            crypto_hash_sha256_final(&ex->hash, whole_digest);
            whole_bytes = ex->body_bytes;
            whole_complete = ex->code == CURLE_OK;
        }
    }

    if (!whole_ok) {  // the other questions are about a file that was not served
        heap_free(ex);
        heap_free(head);
        heap_free(tail);
        return;
    }

    // The entity tag that If-Range is compared with.
    int tag_is_sha = has_tag && !tag_too_long && strcmp(server_tag, tag) == 0;
    if (tag_is_sha) {
        report("ok", "entity-tag", "%s, the file's quoted SHA-256", server_tag);
    } else {
        char seen[CHECK_HEADER_CAPACITY + 8];
        if (has_tag) {
            format_narrow(seen, sizeof seen, "ETag %s", server_tag);
        } else {
            format_narrow(seen, sizeof seen, "no ETag");
        }
        report("warn", "entity-tag",
               "%s is not the file's quoted SHA-256 %s: every resumption will start again from "
               "byte 0. Change: give each installer its SHA-256 as entity tag (%s)",
               seen, tag, hosting_hint);
    }

    // A resumption: Range from the middle of the kept head, If-Range with the tag.
    uint64_t first = size > 2 * (uint64_t)CHECK_RESUME_OFFSET ? (uint64_t)CHECK_RESUME_OFFSET : size / 2;
    char range[64];
    format_narrow(range, sizeof range, "bytes=%llu-", (unsigned long long)first);
    char expected_range[96];
    format_narrow(expected_range, sizeof expected_range, "bytes %llu-%llu/%llu",
                  (unsigned long long)first, (unsigned long long)(size - 1),
                  (unsigned long long)size);
    int compared = 0, agreed = 1, resumed_sha_ok = -1;
    exchange_init(ex, checker, path);
    ex->range = range;
    ex->if_range = tag;
    ex->kept = tail;
    ex->kept_capacity = CHECK_HEAD_SAMPLE;
    if (checker->full && head_length >= first) {
        ex->prefix = head;
        ex->prefix_length = (size_t)first;
    } else {
        ex->stop_after = CHECK_HEAD_SAMPLE;
    }
    ask(checker, ex);
    if (answered(ex, "resume", 1)) {
        if (ex->status == 206 && content_range_matches(ex, first, size)) {
            report("ok", "resume", "Range %s with a matching If-Range gives 206 with Content-Range \"%s\"",
                   range, expected_range);
            if (head_length > first) {
                size_t overlap = head_length - (size_t)first;
                if (overlap > ex->kept_length) overlap = ex->kept_length;
                compared = overlap > 0;
                agreed = memcmp(head + first, tail, overlap) == 0;
            }
            if (ex->prefix != nullptr && ex->code == CURLE_OK) {
                uint8_t digest[32];
                crypto_hash_sha256_final(&ex->hash, digest);
                resumed_sha_ok = first + ex->body_bytes == size && memcmp(digest, info->sha256, 32) == 0;
            }
        } else if (ex->status == 206) {
            report("FAIL", "resume",
                   "206 with Content-Range \"%s\"; the setup accepts only \"%s\" and starts again "
                   "from byte 0. Change: answer a Range request with the exact range of the file "
                   "the release names",
                   ex->has_content_range ? ex->content_range : "(none)", expected_range);
        } else if (ex->status == 200 && tag_is_sha) {
            report("FAIL", "resume",
                   "a matching If-Range %s was answered 200 with the whole file: every resumption "
                   "starts again from byte 0. Change: honour Range when If-Range equals the ETag",
                   tag);
        } else if (ex->status == 200) {
            report("warn", "resume",
                   "Range %s with If-Range %s gives 200 with the whole file, because the server's "
                   "tag differs (see entity-tag)",
                   range, tag);
        } else {
            report("FAIL", "resume",
                   "status %ld to Range %s with a matching If-Range; the setup needs 206 (or 200 "
                   "with the whole file). Change: serve byte ranges of the installer",
                   ex->status, range);
        }
    }

    // Another tag: a changed file must come whole.
    char other_tag[80];
    format_narrow(other_tag, sizeof other_tag, "\"%s\"", info->sha256_hex);
    other_tag[1] = other_tag[1] == '0' ? '1' : '0';
    exchange_init(ex, checker, path);
    ex->range = range;
    ex->if_range = other_tag;
    ex->kept = tail;
    ex->kept_capacity = CHECK_HEAD_SAMPLE;
    ex->stop_after = CHECK_HEAD_SAMPLE;
    ask(checker, ex);
    if (answered(ex, "if-range", 1)) {
        int64_t length = content_length_of(ex);
        if (ex->status == 200 && (length < 0 || (uint64_t)length == size)) {
            report("ok", "if-range", "a different If-Range gives 200 with the whole file");
            size_t n = ex->kept_length < head_length ? ex->kept_length : head_length;
            if (n > 0) {
                compared = 1;
                if (memcmp(head, tail, n) != 0) agreed = 0;
            }
        } else if (ex->status == 206) {
            report("FAIL", "if-range",
                   "a different If-Range was answered 206: a changed file would be resumed onto "
                   "the old file's bytes. Change: answer Range only when If-Range equals the "
                   "file's current ETag");
        } else {
            report("FAIL", "if-range",
                   "a different If-Range was answered %ld (Content-Length %s); the setup needs 200 "
                   "with the whole file",
                   ex->status, ex->has_content_length ? ex->content_length : "none");
        }
    }

    // A first byte past the end.
    char past[64];
    format_narrow(past, sizeof past, "bytes=%llu-", (unsigned long long)size);
    exchange_init(ex, checker, path);
    ex->range = past;
    ex->stop_after = CHECK_HEAD_SAMPLE;
    ask(checker, ex);
    if (answered(ex, "past-end", 1)) {
        if (ex->status == 416) {
            report("ok", "past-end", "Range %s gives 416", past);
        } else if (ex->status == 200) {
            report("warn", "past-end",
                   "Range %s gives 200 with the whole file; the setup copes, but 416 is the "
                   "answer it expects. Change: let the server answer unsatisfiable ranges with 416",
                   past);
        } else {
            report("FAIL", "past-end",
                   "Range %s gives %ld; the setup needs 416 to start again from byte 0. Change: "
                   "answer a range past the end with 416",
                   past, ex->status);
        }
    }

    // The content itself.
    if (checker->full) {
        if (!whole_complete || whole_bytes != size) {
            report("FAIL", "content",
                   "the whole download brought %llu of %llu bytes. Change: serve the whole file",
                   (unsigned long long)whole_bytes, (unsigned long long)size);
        } else if (memcmp(whole_digest, info->sha256, 32) != 0) {
            char hex[65];
            hex_encode(whole_digest, 32, hex);
            report("FAIL", "content",
                   "the whole body's SHA-256 is %s, the signed release says %s; the setup refuses "
                   "it. Change: serve the file that was published with this latest.txt",
                   hex, info->sha256_hex);
        } else if (resumed_sha_ok == 0 || !agreed) {
            report("FAIL", "content",
                   "the whole file is right, but a resumed download does not give the same "
                   "bytes. Change: serve ranges of the same file");
        } else {
            report("ok", "content", "the whole body's SHA-256 equals the signed release's%s",
                   resumed_sha_ok == 1 ? ", and so does a resumed download's" : "");
        }
    } else if (!agreed) {
        report("FAIL", "content",
               "the answers disagree about the file's bytes (sampled). Change: serve one file "
               "for every request of this path");
    } else if (compared) {
        report("ok", "content",
               "sampled: the answers agree on the file's first bytes (--full hashes the whole "
               "file)");
    } else {
        report("ok", "content", "not sampled: no two answers overlap (--full hashes the whole file)");
    }

    heap_free(ex);
    heap_free(head);
    heap_free(tail);
}

}  // namespace

int check_parse_url(const char *url, char *host, size_t host_capacity, uint16_t *port, char *error,
                    size_t error_capacity) {
    const char *scheme = "https://";
    if (strncasecmp(url, scheme, strlen(scheme)) != 0) {
        format_narrow(error, error_capacity,
                      "--url %s must begin with https:// (the setup speaks HTTPS only)", url);
        return -1;
    }
    const char *p = url + strlen(scheme);
    const char *host_end;
    if (*p == '[') {
        host_end = strchr(p, ']');
        if (host_end == nullptr) {
            format_narrow(error, error_capacity, "--url %s has an unclosed [", url);
            return -1;
        }
        host_end++;
    } else {
        host_end = p;
        while (*host_end != 0 && *host_end != ':' && *host_end != '/') host_end++;
    }
    size_t host_length = (size_t)(host_end - p);
    if (host_length == 0 || host_length >= host_capacity) {
        format_narrow(error, error_capacity, "--url %s has no usable host name", url);
        return -1;
    }
    for (const char *c = p; c < host_end; c++) {
        if (*c <= ' ' || *c == '@' || *c == '?' || *c == '#' || *c == '%' || (unsigned char)*c >= 0x7f) {
            format_narrow(error, error_capacity, "--url %s: the host holds '%c'", url, *c);
            return -1;
        }
    }
    memcpy(host, p, host_length);
    host[host_length] = 0;
    p = host_end;
    unsigned long value = 443;
    if (*p == ':') {
        p++;
        value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 6) {
            value = value * 10 + (unsigned long)(*p - '0');
            p++;
            digits++;
        }
        if (digits == 0 || value == 0 || value > 65535) {
            format_narrow(error, error_capacity, "--url %s: the port must be from 1 to 65535", url);
            return -1;
        }
    }
    if (*p == '/') p++;
    if (*p != 0) {
        format_narrow(error, error_capacity,
                      "--url %s: give only https://HOST[:PORT]; the setup's paths are fixed", url);
        return -1;
    }
    *port = (uint16_t)value;
    return 0;
}

int check_command(int argc, char **argv) {
    const char *names[] = {"--url", "--key", "--ca", "--full", "--fresh-key"};
    const char *values[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    for (int i = 0; i < argc; i++) {
        int k = 0;
        while (k < 5 && strcmp(argv[i], names[k]) != 0) k++;
        if (k == 5) {
            fprintf(stderr, "vornquill-release check: unknown option %s\n(see: vornquill-release help)\n",
                    argv[i]);
            return CHECK_EXIT_USAGE;
        }
        if (values[k] != nullptr) {
            fprintf(stderr, "vornquill-release check: %s is given twice\n", argv[i]);
            return CHECK_EXIT_USAGE;
        }
        if (k == 3) {
            values[k] = "";
            continue;
        }
        if (i + 1 >= argc || argv[i + 1][0] == 0) {
            fprintf(stderr, "vornquill-release check: %s needs a value\n", argv[i]);
            return CHECK_EXIT_USAGE;
        }
        values[k] = argv[++i];
    }
    if (values[0] == nullptr || values[1] == nullptr) {
        fprintf(stderr, "vornquill-release check: --url and --key are required\n"
                        "(see: vornquill-release help)\n");
        return CHECK_EXIT_USAGE;
    }
    char host[256], error[512];
    uint16_t port = 0;
    if (check_parse_url(values[0], host, sizeof host, &port, error, sizeof error) != 0) {
        fprintf(stderr, "vornquill-release check: %s\n", error);
        return CHECK_EXIT_USAGE;
    }
    KeyPair key;
    if (keyfile_read(values[1], KEY_ROLE_RELEASE, 0, &key, error, sizeof error) != 0) {
        fprintf(stderr, "vornquill-release check: %s\n", error);
        return CHECK_EXIT_USAGE;
    }
    keyfile_wipe(&key);
    if (values[2] != nullptr && access(values[2], R_OK) != 0) {
        fprintf(stderr, "vornquill-release check: cannot read the CA file %s\n", values[2]);
        return CHECK_EXIT_USAGE;
    }
    TrustedKey trusted = keyfile_trusted_key(&key);
    // The freshness keys: the one given, else those of the profile whose
    // setups trust the release key (else of this tool's profile).
    TrustedKey fresh_given;
    const TrustedKey *fresh_keys = nullptr;
    size_t fresh_count = 0;
    const char *fresh_profile = keyfile_profile_of_kid(key.kid);
    if (values[4] != nullptr) {
        KeyPair fresh;
        if (keyfile_read(values[4], KEY_ROLE_FRESHNESS, 0, &fresh, error, sizeof error) != 0) {
            fprintf(stderr, "vornquill-release check: %s\n", error);
            return CHECK_EXIT_USAGE;
        }
        keyfile_wipe(&fresh);
        fresh_given = keyfile_trusted_key(&fresh);
        fresh_keys = &fresh_given;
        fresh_count = 1;
    } else {
        fresh_keys = statement_profile_keys(fresh_profile != nullptr ? fresh_profile : build_profile(),
                                            &fresh_count);
    }

    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        fprintf(stderr, "vornquill-release check: the HTTP library cannot start\n");
        return CHECK_EXIT_FAILED;
    }
    Checker *checker = (Checker *)heap_alloc(sizeof *checker);
    CURL *curl = curl_easy_init();
    if (checker == nullptr || curl == nullptr) {
        fprintf(stderr, "vornquill-release check: out of memory\n");
        heap_free(checker);
        if (curl != nullptr) curl_easy_cleanup(curl);
        curl_global_cleanup();
        return CHECK_EXIT_FAILED;
    }
    memset(checker, 0, sizeof *checker);
    checker->curl = curl;
    checker->full = values[3] != nullptr;
    checker->ca_file = values[2];
    format_narrow(checker->base, sizeof checker->base, "https://%s:%u", host, (unsigned)port);
    char version[64];
    utf16_to_utf8(setup_version(), version, sizeof version);
    // The setup's own User-Agent.
    wchar16 agent[CLOUD_USER_AGENT_CAPACITY];
    cloud_user_agent(agent, CLOUD_USER_AGENT_CAPACITY);
    utf16_to_utf8(agent, checker->user_agent, sizeof checker->user_agent);

    curl_easy_setopt(curl, CURLOPT_USERAGENT, checker->user_agent);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1_2);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (checker->ca_file != nullptr) curl_easy_setopt(curl, CURLOPT_CAINFO, checker->ca_file);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);   // like the setup's 60 s receive time-out
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

    printf("checking %s as the setup %s would (User-Agent \"%s\")%s\n", checker->base, version,
           checker->user_agent, checker->full ? ", whole installer" : "");
    ReleaseInfo info;
    memset(&info, 0, sizeof info);
    int verified = check_release(checker, &trusted, fresh_keys, fresh_count, &info);
    if (checker->tls.known) check_transport(checker);
    if (verified) {
        check_installer(checker, &info);
    } else if (count_fail > 0) {
        printf("(the installer checks need a verified release)\n");
    }
    check_redirects(checker);
    release_free(&info);
    printf("summary: %d ok, %d warn, %d FAIL\n", count_ok, count_warn, count_fail);

    curl_easy_cleanup(curl);
    heap_free(checker);
    curl_global_cleanup();
    return count_fail > 0 ? CHECK_EXIT_FAILED : CHECK_EXIT_OK;
}
