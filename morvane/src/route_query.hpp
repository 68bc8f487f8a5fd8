#pragma once
// The IRRd "!g" query: the route prefixes an AS originates.
#include <cstdint>
#include <string>

namespace morvane::irr {

// "!gAS", the AS number in decimal (a leading "-" when negative), one line feed.
std::string route_query(std::int32_t asn);

}  // namespace morvane::irr
