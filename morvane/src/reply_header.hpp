#pragma once
// The reply header line: its first character (IRRd's answer code) is skipped unlooked-at and the
// rest, trimmed of White_Space, is the payload length as an unsigned decimal number.
#include <cstdint>
#include <string_view>

#include "base/decimal.hpp"
#include "morvane/src/result.hpp"

namespace morvane::irr {

inline constexpr std::string_view kHeaderNotUtf8 = "stream did not contain valid UTF-8";
inline constexpr std::string_view kNoReply = "connection closed before a reply header arrived";
inline constexpr std::string_view kMultibyteCode =
    "reply header starts with a multi-byte character";

// The payload length a header line declares (parse_u64's number and error texts). `line` is the
// bytes up to and including the first line feed, or everything the stream delivered if it ended
// without one.
Result<std::uint64_t> parse_header_line(std::string_view line);

}  // namespace morvane::irr
