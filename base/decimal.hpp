#pragma once
// Unsigned decimal numbers in text: the reply header's length, the worker-count variable and the
// cgroup quota files all use this one parser and its three error texts.
// Used by the client (morvane/) and the runtime.
#include <cstdint>
#include <optional>
#include <string_view>

namespace morvane {

inline constexpr const char* kEmptyNumber = "cannot parse integer from empty string";
inline constexpr const char* kInvalidDigit = "invalid digit found in string";
inline constexpr const char* kNumberTooLarge = "number too large to fit in target type";

struct ParsedU64 {
    std::optional<std::uint64_t> value;
    const char* error = nullptr;  // one of the texts above when `value` is empty
};

// Unsigned 64-bit decimal: an optional single "+", then digits only; "-" is never a sign and
// white space is not skipped. Scanning left to right, the first non-digit or the first digit
// that overflows decides the error.
ParsedU64 parse_u64(std::string_view text);

}  // namespace morvane
