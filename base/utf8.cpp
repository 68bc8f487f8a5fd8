#include "base/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace morvane {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Length of the sequence a lead byte announces, 0 for a byte that can't start one
// (a continuation byte, the overlong leads C0/C1, or F5..FF).
int sequence_width(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF5) return 4;
    return 0;
}

// The allowed range of the second byte depends on the lead: it excludes overlong forms (E0, F0),
// surrogates (ED) and code points above U+10FFFF (F4).
bool second_byte_ok(unsigned char lead, unsigned char b) {
    switch (lead) {
        case 0xE0:
            return b >= 0xA0 && b <= 0xBF;
        case 0xED:
            return b >= 0x80 && b <= 0x9F;
        case 0xF0:
            return b >= 0x90 && b <= 0xBF;
        case 0xF4:
            return b >= 0x80 && b <= 0x8F;
        default:
            return is_continuation(b);
    }
}

// From `i`, past 16 bytes at a time while none has its high bit set: where the first block of
// 16 that may hold a byte outside ASCII starts (registry replies are almost entirely ASCII).
std::size_t skip_ascii_blocks(const unsigned char* p, std::size_t i, std::size_t n) {
    while (i + 16 <= n) {
        std::uint64_t a, b;
        std::memcpy(&a, p + i, 8);
        std::memcpy(&b, p + i + 8, 8);
        if (((a | b) & kHighBits) != 0) break;
        i += 16;
    }
    return i;
}

}  // namespace

std::string Utf8Error::message() const {
    if (error_len == 0) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
    }
    return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
           std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        i = skip_ascii_blocks(p, i, n);
        if (i >= n) break;
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const int width = sequence_width(lead);
        if (width == 0) return Utf8Error{i, 1};
        if (i + 1 >= n) return Utf8Error{i, 0};
        if (!second_byte_ok(lead, p[i + 1])) return Utf8Error{i, 1};
        for (int k = 2; k < width; ++k) {
            if (i + k >= n) return Utf8Error{i, 0};
            if (!is_continuation(p[i + k])) return Utf8Error{i, static_cast<std::size_t>(k)};
        }
        i += width;
    }
    return std::nullopt;
}

bool is_ascii(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    for (std::size_t i = skip_ascii_blocks(p, 0, n); i < n; ++i)
        if (p[i] >= 0x80) return false;
    return true;
}

}  // namespace morvane
