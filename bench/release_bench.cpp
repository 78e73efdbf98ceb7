// Release verification benchmarks on a manifest of the largest signed size
// (about 1.5 MB of JSON): the whole release_verify, our json_parse, and
// RapidJSON (with UTF-8 validation) parsing the same bytes. Prints the ratio
// ours / RapidJSON at the end; the goal is within 2x.
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <sodium.h>

#include "release/json.h"
#include "release/release.h"
#include "tests/release/signing_support.h"

namespace {

const size_t kManifestSize = 1500000;  // the largest manifest an envelope can carry

// A valid manifest of exactly kManifestSize bytes: the installer, plus release
// notes with plain text, escapes, non-ASCII UTF-8 and numbers, staying below
// the reader's value limit.
std::string make_manifest() {
    std::string m =
        "{\"v\":1,\"product\":\"vornquill-ai\",\"version\":\"1.4.2\",\"channel\":\"stable\","
        "\"artifacts\":[{\"platform\":\"win32\",\"arch\":\"x64\",\"kind\":\"windows-installer\","
        "\"fileName\":\"VornquillAI-Setup-x64-1.4.2.exe\",\"size\":73400320,\"sha256\":"
        "\"00ff112233445566778899aabbccddeeff00112233445566778899aabbccddee\"},"
        "{\"platform\":\"macos\",\"arch\":\"arm64\",\"kind\":\"disk-image\",\"size\":81234567}],"
        "\"notes\":[";
    const char *text =
        "Faster start-up on machines with many fonts; the model cache is now kept "
        "between sessions.\\nFixed: a crash when the \\\"Export\\\" dialog was closed "
        "twice. Caf\xC3\xA9 menu, 20 \xE2\x82\xAC plan, \xF0\x9F\x9A\x80 launch, "
        "\\u00e9t\\u00e9 release. ";
    int id = 0;
    std::string tail = "]}";
    for (;;) {
        char head[96];
        snprintf(head, sizeof head, "%s{\"id\":%d,\"score\":%d.%02d,\"title\":\"Change %d\",\"text\":\"",
                 id == 0 ? "" : ",", id, id % 97, id % 100, id);
        std::string entry = std::string(head) + text + text + "\"}";
        if (m.size() + entry.size() + tail.size() > kManifestSize) break;
        m += entry;
        id++;
    }
    m += tail;
    // Pad the last note's text with spaces... inside the string, so the
    // document stays valid and reaches the exact size.
    size_t missing = kManifestSize - m.size();
    m.insert(m.size() - 4, std::string(missing, ' '));
    return m;
}

struct Fixture {
    std::string manifest;
    std::string envelope;
    TrustedKey key;
};

const Fixture &fixture() {
    static Fixture f = [] {
        Fixture x;
        if (sodium_init() < 0) abort();
        x.manifest = make_manifest();
        uint8_t pk[32], sk[64], sig[64];
        crypto_sign_keypair(pk, sk);
        crypto_sign_detached(sig, nullptr, (const uint8_t *)x.manifest.data(), x.manifest.size(), sk);
        memset(&x.key, 0, sizeof x.key);
        strcpy(x.key.key_id, "release-20261210-0bench00");
        memcpy(x.key.public_key, pk, 32);
        x.envelope = release_test::envelope_text(x.key.key_id, release_test::base64url(x.manifest),
                                                 release_test::base64url(sig, 64));
        return x;
    }();
    return f;
}

void BM_ReleaseVerify(benchmark::State &state) {
    const Fixture &f = fixture();
    for (auto _ : state) {
        ReleaseInfo info;
        char detail[256];
        VerifyStatus s = release_verify_with_keys(f.envelope.data(), f.envelope.size(), "1.0.0",
                                                  &f.key, 1, &info, detail, sizeof detail);
        if (s != VERIFY_OK) {
            state.SkipWithError(detail);
            break;
        }
        benchmark::DoNotOptimize(info.size);
        release_free(&info);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)f.envelope.size());
}

void BM_JsonParse(benchmark::State &state) {
    const Fixture &f = fixture();
    for (auto _ : state) {
        JsonDocument *doc;
        JsonValue *root;
        if (json_parse((const uint8_t *)f.manifest.data(), f.manifest.size(), &doc, &root) != JSON_OK) {
            state.SkipWithError("json_parse refused the manifest");
            break;
        }
        benchmark::DoNotOptimize(root);
        json_free(doc);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)f.manifest.size());
}

void BM_RapidJsonParse(benchmark::State &state) {
    const Fixture &f = fixture();
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse<rapidjson::kParseValidateEncodingFlag>(f.manifest.data(), f.manifest.size());
        if (d.HasParseError()) {
            state.SkipWithError("RapidJSON refused the manifest");
            break;
        }
        benchmark::DoNotOptimize(d.IsObject());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)f.manifest.size());
}

BENCHMARK(BM_ReleaseVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_JsonParse)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RapidJsonParse)->Unit(benchmark::kMicrosecond);

// Prints as usual and keeps each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred) {
                seconds[run.run_name.function_name] = run.real_accumulated_time / (double)run.iterations;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const Fixture &f = fixture();
    printf("manifest: %zu bytes of JSON; envelope: %zu bytes\n", f.manifest.size(), f.envelope.size());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto ours = reporter.seconds.find("BM_JsonParse");
    auto theirs = reporter.seconds.find("BM_RapidJsonParse");
    if (ours != reporter.seconds.end() && theirs != reporter.seconds.end() && theirs->second > 0) {
        double ratio = ours->second / theirs->second;
        printf("ratio json_parse / RapidJSON (kParseValidateEncodingFlag): %.2f (goal: within 2x: %s)\n",
               ratio, ratio <= 2.0 ? "met" : "NOT met");
    }
    auto verify = reporter.seconds.find("BM_ReleaseVerify");
    if (verify != reporter.seconds.end() && theirs != reporter.seconds.end() && theirs->second > 0) {
        printf("ratio release_verify / RapidJSON parse: %.2f (base64url, Ed25519 over the manifest, "
               "parse and schema)\n", verify->second / theirs->second);
    }
    return 0;
}
