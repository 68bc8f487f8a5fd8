#pragma once
// Deliberately naive models of the text rules the fuzz targets check the production code against.
// They work code point by code point with range arithmetic, no tables and no word-at-a-time scans,
// so they share no shortcut (and no bug) with the optimised code they judge.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A disagreement is a finding: name the check and abort so libFuzzer saves the input.
#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace morvane::fuzz {

struct Utf8Verdict {
    bool ok = true;
    std::size_t valid_up_to = 0;  // when !ok: bytes of valid text before the bad sequence
    std::size_t error_len = 0;    // when !ok: bytes of the maximal viable prefix, 0 if cut off
};

// Well-formed UTF-8: a sequence is rejected as soon as no continuation of its bytes could still
// encode a scalar value in range for its length (U+0080.., U+0800.., U+10000..; no surrogates,
// nothing above U+10FFFF).
Utf8Verdict check_utf8(std::string_view bytes);

// Code points with their byte lengths; `text` must be well-formed.
struct CodePoint {
    char32_t value;
    std::size_t len;
};
std::vector<CodePoint> decode(std::string_view text);

// The Unicode White_Space property.
bool is_white_space(char32_t c);

std::vector<std::string> split(std::string_view text);
// Where the words of `text` (well-formed) start, in bytes.
std::vector<std::size_t> word_starts(std::string_view text);
std::string_view trim(std::string_view text);

// Unsigned 64-bit decimal (an optional single '+', then digits): the value, or the error text.
struct U64 {
    std::optional<std::uint64_t> value;
    std::string error;
};
U64 parse_u64(std::string_view text);

// Splits fuzz input into decisions and data: take() consumes leading bytes, 0 once exhausted.
class Bytes {
  public:
    Bytes(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    std::uint8_t take() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::string_view rest() const { return {reinterpret_cast<const char*>(p_), n_}; }

  private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// A small deterministic generator for chunk sizes (xorshift64).
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    std::uint64_t next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 7;
        s_ ^= s_ << 17;
        return s_;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

  private:
    std::uint64_t s_;
};

}  // namespace morvane::fuzz
