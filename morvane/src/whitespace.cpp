#include "morvane/src/whitespace.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

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

}  // namespace

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
