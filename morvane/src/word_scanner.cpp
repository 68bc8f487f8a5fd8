#include "morvane/src/word_scanner.hpp"

#include <bit>
#include <cstring>

#include "morvane/src/whitespace.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvane::irr {

#if defined(__SSE2__)

namespace {

// 0xFF in every lane of `v` holding ASCII white space (U+0009..U+000D, U+0020), 0 elsewhere.
[[gnu::always_inline]] inline __m128i ascii_space_lanes(__m128i v) {
    // x - lo <= span (unsigned) <=> lo <= x <= lo + span
    const __m128i t = _mm_sub_epi8(v, _mm_set1_epi8(0x09));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(4)), t);
    return _mm_or_si128(control, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x20)));
}

}  // namespace

[[gnu::always_inline]] inline bool WordScanner::scan_block(const unsigned char* block,
                                                           std::size_t offset, std::uint64_t valid,
                                                           RawBuffer<WordSpan>& out) {
    std::uint64_t space = 0, high = 0;
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
        space |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(ascii_space_lanes(v)))}
                 << (16 * k);
        high |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(v))} << (16 * k);
    }
    if ((high & valid) != 0) return false;
    const std::uint64_t word = ~space & valid;
    const std::uint64_t before = (word << 1) | (in_word_ ? 1 : 0);
    std::uint64_t starts = word & ~before;
    std::uint64_t ends = ~word & before;
    const bool carried = in_word_;
    in_word_ = (word >> 63) != 0;
    WordSpan* const first = out.room_for(kBlockSpans);
    WordSpan* w = first;
    const auto base = static_cast<std::uint32_t>(offset);
    // Starts and ends alternate in position order. A word carried in from the previous block
    // ends at this block's first end, if it has one.
    if (carried && ends != 0) {
        const auto end = base + static_cast<std::uint32_t>(std::countr_zero(ends));
        ends &= ends - 1;
        *w++ = WordSpan{word_start_, end - word_start_};
    }
    while (starts != 0) {
        const auto start = base + static_cast<std::uint32_t>(std::countr_zero(starts));
        starts &= starts - 1;
        ++count_;
        if (ends == 0) {
            word_start_ = start;  // runs into the next block
            break;
        }
        const auto end = base + static_cast<std::uint32_t>(std::countr_zero(ends));
        ends &= ends - 1;
        *w++ = WordSpan{start, end - start};
    }
    out.set_size(out.size() + static_cast<std::size_t>(w - first));
    return true;
}

#else

// No block scan without SSE2: the code point scan does all the work.
bool WordScanner::scan_block(const unsigned char*, std::size_t, std::uint64_t,
                             RawBuffer<WordSpan>&) {
    return false;
}

#endif

void WordScanner::scan_code_points(std::string_view text, bool whole) {
    if (bad_ || over()) return;
    // The rest starts between code points, so its first error is the text's, and its words are
    // the text's words that start in it. A sequence cut off by the end of what has arrived is
    // judged again, whole, once more bytes are in.
    std::string_view rest = text.substr(scanned_);
    if (std::optional<Utf8Error> bad = validate_utf8(rest)) {
        rest = rest.substr(0, bad->valid_up_to);
        if (whole || bad->error_len != 0)
            bad_ = Utf8Error{scanned_ + bad->valid_up_to, bad->error_len};
    }
    count_ += count_word_starts(rest, in_word_);
    scanned_ += rest.size();
}

void WordScanner::advance(std::string_view text, RawBuffer<WordSpan>& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    while (ascii_ && !over() && text.size() - scanned_ >= 64) {
        if (!scan_block(p + scanned_, scanned_, ~std::uint64_t{0}, out)) {
            ascii_ = false;
            break;
        }
        scanned_ += 64;
    }
    if (!ascii_) scan_code_points(text, false);
}

std::optional<Utf8Error> WordScanner::finish(std::string_view text, RawBuffer<WordSpan>& out) {
    advance(text, out);
    if (over()) return std::nullopt;
    if (ascii_) {
        const std::size_t rest = text.size() - scanned_;
        // The last, partial (maybe empty) block, padded with spaces: a word running to the end
        // of the text ends in it.
        unsigned char tail[64];
        std::memset(tail, ' ', sizeof tail);
        if (rest > 0) std::memcpy(tail, text.data() + scanned_, rest);
        if (scan_block(tail, scanned_, (std::uint64_t{1} << rest) - 1, out)) return std::nullopt;
        ascii_ = false;
    }
    scan_code_points(text, true);
    if (over() || bad_) return bad_;
    // The spans of a text past ASCII come from one more split of the whole of it.
    out.clear();
    (void)split_whitespace_spans(text, max_words_, out);
    return std::nullopt;
}

}  // namespace morvane::irr
