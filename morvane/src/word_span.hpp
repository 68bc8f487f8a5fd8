#pragma once
// WordSpan: where one word of a payload lies, by byte offset and length. Payloads are bounded
// well below 4 GiB (kMaxPayload), so 32 bits hold both.
#include <cstdint>

namespace morvane::irr {

struct WordSpan {
    std::uint32_t offset;
    std::uint32_t length;

    bool operator==(const WordSpan&) const = default;
};

}  // namespace morvane::irr
