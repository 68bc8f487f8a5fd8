// Throughput of finding the words of a reply payload with the reply path's word scanner (which
// validates the UTF-8 in the same pass), for a 10 MB ASCII payload (what real "!g" answers look
// like) and for a mixed Unicode one (non-breaking and ideographic spaces between the words),
// given whole and in reads of the reader's buffer size (8 KiB, so the cost of each advance() call
// shows); UTF-8 validation alone for comparison.
//
//   build/bench/bench/reply_parsing_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <string>

#include "base/utf8.hpp"
#include "morvane/src/raw_buffer.hpp"
#include "morvane/src/reply_reader.hpp"
#include "morvane/src/word_scanner.hpp"

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

const std::string& ascii_payload() {
    static const std::string payload = make_payload(false);
    return payload;
}

const std::string& unicode_payload() {
    static const std::string payload = make_payload(true);
    return payload;
}

// The scanner over `payload`, which arrives in reads of `read` bytes; the span buffer is reused
// from one iteration to the next, as the reply cache reuses it.
void scan(benchmark::State& state, const std::string& payload, std::size_t read) {
    morvane::irr::RawBuffer<morvane::irr::WordSpan> spans;
    for (auto _ : state) {
        spans.clear();
        morvane::irr::WordScanner scanner(std::size_t{1} << 20);
        for (std::size_t got = read; got < payload.size(); got += read)
            scanner.advance(std::string_view(payload).substr(0, got), spans);
        if (scanner.finish(payload, spans) || scanner.over())
            state.SkipWithError("payload is not UTF-8 or has too many words");
        benchmark::DoNotOptimize(spans.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
}

void BM_ScanAscii(benchmark::State& state) {
    scan(state, ascii_payload(), ascii_payload().size());
}

void BM_ScanAsciiInReads(benchmark::State& state) {
    scan(state, ascii_payload(), morvane::irr::kReaderCapacity);
}

void BM_ScanUnicode(benchmark::State& state) {
    scan(state, unicode_payload(), unicode_payload().size());
}

// Validation alone, the floor the ASCII scan is judged against.
void BM_ValidateAscii(benchmark::State& state) {
    const std::string& payload = ascii_payload();
    for (auto _ : state) {
        if (morvane::validate_utf8(payload)) state.SkipWithError("payload is not UTF-8");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
}

}  // namespace

BENCHMARK(BM_ScanAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAsciiInReads)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanUnicode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateAscii)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
