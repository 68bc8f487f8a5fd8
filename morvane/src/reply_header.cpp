#include "morvane/src/reply_header.hpp"

#include <string>

#include "base/utf8.hpp"
#include "morvane/src/whitespace.hpp"

namespace morvane::irr {

Result<std::uint64_t> parse_header_line(std::string_view line) {
    if (validate_utf8(line)) {
        return ClientError(ErrorKind::invalid_data, std::string(kHeaderNotUtf8));
    }
    if (line.empty()) return ClientError(ErrorKind::unexpected_eof, std::string(kNoReply));
    if (static_cast<unsigned char>(line.front()) >= 0x80) {
        return ClientError(ErrorKind::invalid_data, std::string(kMultibyteCode));
    }
    const ParsedU64 length = parse_u64(trim_whitespace(line.substr(1)));
    if (!length.value) return ClientError(ErrorKind::other, length.error);
    return *length.value;
}

}  // namespace morvane::irr
