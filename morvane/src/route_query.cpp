#include "morvane/src/route_query.hpp"

#include <charconv>

namespace morvane::irr {

std::string route_query(std::int32_t asn) {
    char buf[4 + 11 + 1] = {'!', 'g', 'A', 'S'};
    const auto [end, ec] = std::to_chars(buf + 4, buf + sizeof buf - 1, asn);
    static_cast<void>(ec);  // 11 characters hold every 32-bit value
    *end = '\n';
    return std::string(buf, end + 1);
}

}  // namespace morvane::irr
