#include "fuzz/reference.hpp"

namespace morvane::fuzz {
namespace {

struct Form {
    std::size_t len;
    char32_t payload_bits;  // the lead byte's share of the code point
    char32_t min;           // smallest code point this length may encode
};

std::optional<Form> form_of(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0) return Form{2, static_cast<char32_t>(lead & 0x1F), 0x80};
    if ((lead & 0xF0) == 0xE0) return Form{3, static_cast<char32_t>(lead & 0x0F), 0x800};
    if ((lead & 0xF8) == 0xF0) return Form{4, static_cast<char32_t>(lead & 0x07), 0x10000};
    return std::nullopt;
}

// Whether some scalar value in [lo, hi] exists at or above `min`.
bool viable(char32_t lo, char32_t hi, char32_t min) {
    if (hi < min || lo > 0x10FFFF) return false;
    lo = lo < min ? min : lo;
    hi = hi > 0x10FFFF ? 0x10FFFF : hi;
    // The interval is usable unless it lies entirely inside the surrogates.
    return !(lo >= 0xD800 && hi <= 0xDFFF);
}

}  // namespace

Utf8Verdict check_utf8(std::string_view bytes) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (at(i) < 0x80) {
            ++i;
            continue;
        }
        const auto form = form_of(at(i));
        if (!form) return {false, i, 1};
        char32_t prefix = form->payload_bits;
        for (std::size_t k = 1; k <= form->len; ++k) {
            if (k > 1) {
                if (i + k - 1 >= bytes.size()) return {false, i, 0};
                const unsigned char b = at(i + k - 1);
                if ((b & 0xC0) != 0x80) return {false, i, k - 1};
                prefix = (prefix << 6) | (b & 0x3F);
            }
            const std::size_t open_bits = 6 * (form->len - k);
            const char32_t lo = prefix << open_bits;
            const char32_t hi = lo | ((char32_t{1} << open_bits) - 1);
            if (!viable(lo, hi, form->min)) return {false, i, k > 1 ? k - 1 : 1};
        }
        i += form->len;
    }
    return {};
}

std::vector<CodePoint> decode(std::string_view text) {
    std::vector<CodePoint> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const auto form = form_of(lead);
        if (!form) {
            out.push_back({lead, 1});
            ++i;
            continue;
        }
        char32_t c = form->payload_bits;
        for (std::size_t k = 1; k < form->len; ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        out.push_back({c, form->len});
        i += form->len;
    }
    return out;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    std::size_t pos = 0;
    for (const CodePoint& cp : decode(text)) {
        if (is_white_space(cp.value)) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word.append(text.substr(pos, cp.len));
        }
        pos += cp.len;
    }
    if (!word.empty()) words.push_back(std::move(word));
    return words;
}

std::vector<std::size_t> word_starts(std::string_view text) {
    std::vector<std::size_t> starts;
    bool in_word = false;
    std::size_t pos = 0;
    for (const CodePoint& cp : decode(text)) {
        const bool space = is_white_space(cp.value);
        if (!space && !in_word) starts.push_back(pos);
        in_word = !space;
        pos += cp.len;
    }
    return starts;
}

std::string_view trim(std::string_view text) {
    std::size_t begin = 0, end = 0, pos = 0;
    bool seen_word = false;
    for (const CodePoint& cp : decode(text)) {
        if (!is_white_space(cp.value)) {
            if (!seen_word) begin = pos;
            seen_word = true;
            end = pos + cp.len;
        }
        pos += cp.len;
    }
    return seen_word ? text.substr(begin, end - begin) : std::string_view();
}

U64 parse_u64(std::string_view text) {
    if (text.empty()) return {std::nullopt, "cannot parse integer from empty string"};
    if (text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return {std::nullopt, "invalid digit found in string"};
    unsigned __int128 v = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return {std::nullopt, "invalid digit found in string"};
        v = v * 10 + static_cast<unsigned>(ch - '0');
        if (v > UINT64_MAX) return {std::nullopt, "number too large to fit in target type"};
    }
    return {static_cast<std::uint64_t>(v), {}};
}

}  // namespace morvane::fuzz
