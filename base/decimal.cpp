#include "base/decimal.hpp"

#include <limits>

namespace morvane {

ParsedU64 parse_u64(std::string_view text) {
    if (text.empty()) return {std::nullopt, kEmptyNumber};
    if (text.size() > 1 && text.front() == '+') text.remove_prefix(1);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return {std::nullopt, kInvalidDigit};
        const auto digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (kMax - digit) / 10) return {std::nullopt, kNumberTooLarge};
        value = value * 10 + digit;
    }
    return {value, nullptr};
}

}  // namespace morvane
