#pragma once
// A second opinion on the word split, for the tests of the word scanner and of the reader: it
// decodes each code point and tests it against the White_Space list, with no table and no
// block or word-at-a-time scan, so it shares no shortcut with the code it judges.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvane::irr::testing {

// The non-empty pieces of `s` (well-formed UTF-8) between White_Space code points.
inline std::vector<std::string> reference_split(std::string_view s) {
    const auto is_space = [](char32_t c) {
        return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
               (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
               c == 0x205F || c == 0x3000;
    };
    std::vector<std::string> out;
    std::string word;
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = len == 1 ? lead : lead & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (s[i + k] & 0x3F);
        if (is_space(c)) {
            if (!word.empty()) out.push_back(std::exchange(word, {}));
        } else {
            word.append(s, i, len);
        }
        i += len;
    }
    if (!word.empty()) out.push_back(word);
    return out;
}

}  // namespace morvane::irr::testing
