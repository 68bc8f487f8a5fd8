// Throughput of turning a reply payload into prefixes: UTF-8 validation followed by the
// White_Space split, for a 10 MB ASCII payload (what real "!g" answers look like) and for a mixed
// Unicode one (non-breaking and ideographic spaces between the words).
//
//   build/bench/bench/reply_parsing_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <string>

#include "morvane/src/whitespace.hpp"
#include "runtime/utf8.hpp"

namespace {

constexpr std::size_t kPayloadBytes = 10 * 1000 * 1000;

std::string make_payload(bool unicode) {
    std::string out;
    out.reserve(kPayloadBytes + 64);
    for (unsigned i = 0; out.size() < kPayloadBytes; ++i) {
        out += std::to_string(10 + (i >> 16) % 200) + '.' + std::to_string((i >> 8) & 255) + '.' +
               std::to_string(i & 255) + ".0/24";
        if (!unicode) {
            out += ' ';
        } else {
            static const char* const kSeparators[] = {" ", "\xc2\xa0", "\xe3\x80\x80", "\t",
                                                      "\xe2\x80\x83"};
            out += kSeparators[i % 5];
        }
    }
    out += '\n';
    return out;
}

void run(benchmark::State& state, const std::string& payload) {
    for (auto _ : state) {
        if (morvane::validate_utf8(payload)) state.SkipWithError("payload is not UTF-8");
        auto words = morvane::irr::split_whitespace(payload);
        benchmark::DoNotOptimize(words.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
}

void BM_ValidateAndSplitAscii(benchmark::State& state) {
    static const std::string payload = make_payload(false);
    run(state, payload);
}

void BM_ValidateAndSplitUnicode(benchmark::State& state) {
    static const std::string payload = make_payload(true);
    run(state, payload);
}

// The split alone, the figure the ASCII fast path is judged by.
void BM_SplitAscii(benchmark::State& state) {
    static const std::string payload = make_payload(false);
    for (auto _ : state) {
        auto words = morvane::irr::split_whitespace(payload);
        benchmark::DoNotOptimize(words.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
}

}  // namespace

BENCHMARK(BM_SplitAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateAndSplitAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateAndSplitUnicode)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
