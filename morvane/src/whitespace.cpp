#include "morvane/src/whitespace.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#if defined(__SSE2__)
#include "morvane/src/ascii_space.hpp"
#endif

namespace morvane::irr {
namespace {

enum : std::uint8_t { kWord = 0, kAsciiSpace = 1, kMaybeSpace = 2 };

// Byte classes: ASCII white space, the lead bytes of the multi-byte White_Space code points
// (C2 for U+0085/U+00A0, E1 for U+1680, E2 for U+2000..U+205F, E3 for U+3000), everything else.
constexpr std::array<std::uint8_t, 256> make_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0x09; c <= 0x0D; ++c) t[c] = kAsciiSpace;
    t[0x20] = kAsciiSpace;
    t[0xC2] = t[0xE1] = t[0xE2] = t[0xE3] = kMaybeSpace;
    return t;
}
constexpr std::array<std::uint8_t, 256> kClass = make_classes();

static_assert(std::endian::native == std::endian::little, "the word scan reads bytes LSB first");
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

// Length of the multi-byte White_Space sequence at p (whose lead has class kMaybeSpace), else 0.
std::size_t multibyte_space_len(const unsigned char* p, std::size_t avail) {
    if (avail < 2) return 0;
    const unsigned char b1 = p[1];
    if (p[0] == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    if (avail < 3) return 0;
    const unsigned char b2 = p[2];
    switch (p[0]) {
        case 0xE1:
            return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
        case 0xE2:
            if (b1 == 0x80) {
                return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3
                                                                                              : 0;
            }
            return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
        case 0xE3:
            return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

std::size_t space_len_at(const unsigned char* p, std::size_t avail) {
    switch (kClass[p[0]]) {
        case kAsciiSpace:
            return 1;
        case kMaybeSpace:
            return multibyte_space_len(p, avail);
        default:
            return 0;
    }
}

// Byte length of the UTF-8 sequence that starts with `lead` (input is well-formed).
std::size_t char_len(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

const unsigned char* bytes_of(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::size_t leading_whitespace_len(std::string_view s) {
    return s.empty() ? 0 : space_len_at(bytes_of(s), s.size());
}

std::string_view trim_whitespace(std::string_view s) {
    const unsigned char* p = bytes_of(s);
    const std::size_t n = s.size();
    std::size_t begin = 0;
    while (begin < n) {
        const std::size_t k = space_len_at(p + begin, n - begin);
        if (k == 0) break;
        begin += k;
    }
    // Walk forward character by character, remembering where the last non-space one ends: a
    // backward walk would need to find character starts in the middle of sequences.
    std::size_t end = begin;
    std::size_t i = begin;
    while (i < n) {
        const std::size_t k = space_len_at(p + i, n - i);
        if (k != 0) {
            i += k;
        } else {
            i += char_len(p[i]);
            if (i > n) i = n;
            end = i;
        }
    }
    return s.substr(begin, end - begin);
}

namespace {

// Calls on_word(start, end) for every non-empty piece between White_Space code points.
template <class OnWord>
void for_each_word(std::string_view s, OnWord&& on_word) {
    const unsigned char* p = bytes_of(s);
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (;;) {
        while (i < n) {
            const std::uint8_t c = kClass[p[i]];
            if (c == kWord) break;
            if (c == kAsciiSpace) {
                ++i;
                continue;
            }
            const std::size_t k = multibyte_space_len(p + i, n - i);
            if (k == 0) break;
            i += k;
        }
        if (i >= n) return;
        const std::size_t start = i;
        // Fast path: skip 8 bytes at a time while all are printable ASCII (0x21..0x7F), which is
        // all a prefix is made of. The lowest flagged byte is exact (borrows only run upwards).
        while (i + 8 <= n) {
            std::uint64_t x;
            std::memcpy(&x, p + i, 8);
            const std::uint64_t stop = ((x - kOnes * 0x21) & ~x & kHigh) | (x & kHigh);
            if (stop != 0) {
                i += static_cast<std::size_t>(__builtin_ctzll(stop)) / 8;
                break;
            }
            i += 8;
        }
        // Continuation bytes are all kWord, so stepping one byte over a non-space kMaybeSpace
        // lead lands inside the same word.
        while (i < n) {
            const std::uint8_t c = kClass[p[i]];
            if (c == kWord) {
                ++i;
                continue;
            }
            if (c == kAsciiSpace || multibyte_space_len(p + i, n - i) != 0) break;
            ++i;
        }
        on_word(start, i);
    }
}

#if defined(__SSE2__)

// Masks of one 64-byte block (bit i: byte i): ASCII white space, and lead bytes of multi-byte
// White_Space code points (C2, E1, E2, E3).
struct BlockMasks {
    std::uint64_t space;
    std::uint64_t maybe_space;
};

template <bool kFindLeads>
[[gnu::always_inline]] inline BlockMasks classify_block(const unsigned char* p) {
    const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2));
    const __m128i e1 = _mm_set1_epi8(static_cast<char>(0xE1));
    const __m128i two = _mm_set1_epi8(2);
    BlockMasks m{0, 0};
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i space = ascii_space_lanes(v);
        m.space |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(space)))
                   << (16 * k);
        if constexpr (kFindLeads) {
            const __m128i u = _mm_sub_epi8(v, e1);
            const __m128i lead3 = _mm_cmpeq_epi8(_mm_min_epu8(u, two), u);
            const __m128i maybe = _mm_or_si128(lead3, _mm_cmpeq_epi8(v, c2));
            m.maybe_space |=
                static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(maybe)))
                << (16 * k);
        }
    }
    return m;
}

// Calls on_block(offset, starts, ends) for each 64-byte block: bit i of `starts` marks a word
// starting at offset + i, bit i of `ends` a word ending just before offset + i. A word that runs
// to the end of `s` ends at s.size(): in a partial last block that is a bit of the block (the
// padding is white space); after a full last block it is reported by one more call,
// on_block(s.size(), 0, 1). Returns false as soon as a block holds a multi-byte White_Space lead
// byte: only ASCII white space was looked at, so the caller must use the full scan instead.
template <bool kFindLeads, class OnBlock>
bool for_each_ascii_block(std::string_view s, OnBlock&& on_block) {
    const unsigned char* p = bytes_of(s);
    const std::size_t n = s.size();
    bool in_word = false;  // the byte before the current block is part of a word
    for (std::size_t offset = 0; offset < n; offset += 64) {
        BlockMasks m;
        std::uint64_t valid = ~std::uint64_t{0};
        if (n - offset >= 64) {
            m = classify_block<kFindLeads>(p + offset);
        } else {
            // The last, partial block, padded with spaces.
            unsigned char tail[64];
            std::memset(tail, ' ', sizeof tail);
            std::memcpy(tail, p + offset, n - offset);
            m = classify_block<kFindLeads>(tail);
            valid = (std::uint64_t{1} << (n - offset)) - 1;
        }
        if ((m.maybe_space & valid) != 0) return false;
        const std::uint64_t word = ~m.space & valid;
        const std::uint64_t before = (word << 1) | (in_word ? 1 : 0);
        const std::uint64_t starts = word & ~before;
        const std::uint64_t ends = ~word & before;
        in_word = (word >> 63) != 0;
        on_block(offset, starts, ends);
    }
    if (in_word) on_block(n, 0, 1);  // a word runs to the end of a text of whole blocks
    return true;
}

// The split for texts without multi-byte White_Space leads (every registry answer): 64 bytes
// classified at a time. The word count, or nothing for the other texts.
std::optional<std::size_t> count_ascii_words(std::string_view s) {
    std::size_t count = 0;
    const bool ascii = for_each_ascii_block<true>(
        s,
        [&](std::size_t, std::uint64_t starts, std::uint64_t) { count += std::popcount(starts); });
    if (!ascii) return std::nullopt;
    return count;
}

// The second pass, for a text that count_ascii_words() accepted: it need not look for
// multi-byte White_Space leads again.
void split_ascii_words(std::string_view s, std::vector<std::string>& out) {
    std::size_t start = 0;
    (void)for_each_ascii_block<false>(
        s, [&](std::size_t offset, std::uint64_t starts, std::uint64_t ends) {
            // Starts and ends alternate in position order (a byte is either a word byte or not).
            std::uint64_t marks = starts | ends;
            while (marks != 0) {
                const int bit = std::countr_zero(marks);
                marks &= marks - 1;
                const std::size_t at = offset + static_cast<std::size_t>(bit);
                if ((starts >> bit) & 1)
                    start = at;
                else
                    out.emplace_back(s.data() + start, at - start);
            }
        });
}

#endif

}  // namespace

std::vector<std::string> split_whitespace(std::string_view s) {
    return split_whitespace(s, std::numeric_limits<std::size_t>::max()).pieces;
}

WordSplit split_whitespace(std::string_view s, std::size_t max_words) {
    // Counting first lets the list be allocated once (growing it would move every string already
    // in it, which for a multi-megabyte answer costs more than the extra scan) and lets an
    // oversized one be refused before anything is allocated.
    WordSplit words;
#if defined(__SSE2__)
    if (const std::optional<std::size_t> count = count_ascii_words(s)) {
        words.count = *count;
        if (words.count <= max_words) {
            words.pieces.reserve(words.count);
            split_ascii_words(s, words.pieces);
        }
        return words;
    }
#endif
    for_each_word(s, [&](std::size_t, std::size_t) { ++words.count; });
    if (words.count > max_words) return words;
    words.pieces.reserve(words.count);
    for_each_word(s, [&](std::size_t start, std::size_t end) {
        words.pieces.emplace_back(s.data() + start, end - start);
    });
    return words;
}

std::size_t split_whitespace_spans(std::string_view s, std::size_t max_words,
                                   RawBuffer<WordSpan>& out) {
    std::size_t count = 0;
    for_each_word(s, [&](std::size_t, std::size_t) { ++count; });
    if (count > max_words) return count;
    out.reserve(out.size() + count);
    for_each_word(s, [&](std::size_t start, std::size_t end) {
        out.push_back(
            WordSpan{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end - start)});
    });
    return count;
}

std::size_t count_word_starts(std::string_view s, bool& in_word) {
    if (s.empty()) return 0;
    std::size_t count = 0, first_start = 0, last_end = 0;
    for_each_word(s, [&](std::size_t start, std::size_t end) {
        if (count++ == 0) first_start = start;
        last_end = end;
    });
    // A word running in from the text before started there.
    if (count > 0 && in_word && first_start == 0) --count;
    in_word = last_end == s.size();
    return count;
}

}  // namespace morvane::irr
