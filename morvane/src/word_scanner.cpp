#include "morvane/src/word_scanner.hpp"

#include <bit>
#include <cstring>

#include "morvane/src/ascii_space.hpp"
#include "morvane/src/whitespace.hpp"

namespace morvane::irr {

#if defined(__SSE2__)

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
    if (count_ > max_words_) {
        // Past the bound only the count goes on; finish() drops the spans.
        count_ += static_cast<std::size_t>(std::popcount(starts));
        return true;
    }
    // At most 32 words start in a block, and one more may end in it.
    WordSpan* const first = out.room_for(33);
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

void WordScanner::advance(std::string_view text, RawBuffer<WordSpan>& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    while (ascii_ && text.size() - scanned_ >= 64) {
        if (!scan_block(p + scanned_, scanned_, ~std::uint64_t{0}, out)) {
            ascii_ = false;
            break;
        }
        scanned_ += 64;
    }
}

std::optional<Utf8Error> WordScanner::finish(std::string_view text, RawBuffer<WordSpan>& out) {
    advance(text, out);
    if (ascii_) {
        const std::size_t rest = text.size() - scanned_;
        // The last, partial (maybe empty) block, padded with spaces: a word running to the end
        // of the text ends in it.
        unsigned char tail[64];
        std::memset(tail, ' ', sizeof tail);
        std::memcpy(tail, text.data() + scanned_, rest);
        if (scan_block(tail, scanned_, (std::uint64_t{1} << rest) - 1, out)) {
            if (count_ > max_words_) out.clear();
            return std::nullopt;
        }
        ascii_ = false;
    }
    if (std::optional<Utf8Error> bad = validate_utf8(text)) return bad;
    out.clear();
    count_ = split_whitespace_spans(text, max_words_, out);
    return std::nullopt;
}

#else

void WordScanner::advance(std::string_view, RawBuffer<WordSpan>&) {}

std::optional<Utf8Error> WordScanner::finish(std::string_view text, RawBuffer<WordSpan>& out) {
    if (std::optional<Utf8Error> bad = validate_utf8(text)) return bad;
    out.clear();
    count_ = split_whitespace_spans(text, max_words_, out);
    ascii_ = false;
    return std::nullopt;
}

#endif

}  // namespace morvane::irr
