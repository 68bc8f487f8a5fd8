#include "morvane/src/reply_header.hpp"

#include <limits>
#include <string>

#include "morvane/src/utf8.hpp"
#include "morvane/src/whitespace.hpp"

namespace morvane::irr {
namespace {

ClientError parse_error(std::string_view message) {
    return ClientError(ErrorKind::other, std::string(message));
}

}  // namespace

Result<std::uint64_t> parse_u64(std::string_view text) {
    if (text.empty()) return parse_error(kEmptyNumber);
    if (text == "+" || text == "-") return parse_error(kInvalidDigit);
    if (text.front() == '+') text.remove_prefix(1);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return parse_error(kInvalidDigit);
        const auto digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (kMax - digit) / 10) return parse_error(kNumberTooLarge);
        value = value * 10 + digit;
    }
    return value;
}

Result<std::uint64_t> parse_header_line(std::string_view line) {
    if (validate_utf8(line)) {
        return ClientError(ErrorKind::invalid_data, std::string(kHeaderNotUtf8));
    }
    if (line.empty()) return ClientError(ErrorKind::unexpected_eof, std::string(kNoReply));
    if (static_cast<unsigned char>(line.front()) >= 0x80) {
        return ClientError(ErrorKind::invalid_data, std::string(kMultibyteCode));
    }
    return parse_u64(trim_whitespace(line.substr(1)));
}

}  // namespace morvane::irr
