// The worker-count variable's parser on arbitrary bytes: the parsed value or the exact error text
// (with invalid bytes escaped so the message itself is valid UTF-8 and names every input byte).
#include <cstdint>
#include <string>
#include <string_view>

#include "base/decimal.hpp"
#include "base/fault.hpp"
#include "fuzz/reference.hpp"
#include "runtime/worker_count.hpp"

namespace morvane::fuzz {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reverses the escaping of the "must be valid unicode" message: `quoted` is "\"...\"", the result
// the original bytes, nullopt if the escaping is malformed.
std::optional<std::string> unescape(std::string_view quoted) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
    const std::string_view s = quoted.substr(1, quoted.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"') return std::nullopt;
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i >= s.size()) return std::nullopt;
        switch (s[i]) {
            case '"':
            case '\\':
                out += s[i];
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case 'x': {
                if (i + 2 >= s.size()) return std::nullopt;
                const int hi = hex_digit(s[i + 1]), lo = hex_digit(s[i + 2]);
                if (hi < 0 || lo < 0) return std::nullopt;
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            case 'u': {
                if (i + 1 >= s.size() || s[i + 1] != '{') return std::nullopt;
                const std::size_t close = s.find('}', i + 2);
                if (close == std::string_view::npos || close == i + 2) return std::nullopt;
                int v = 0;
                for (std::size_t k = i + 2; k < close; ++k) {
                    const int d = hex_digit(s[k]);
                    if (d < 0 || v > 0x10) return std::nullopt;
                    v = v * 16 + d;
                }
                // Only control characters are written this way.
                if (!(v < 0x20 || v == 0x7F)) return std::nullopt;
                out += static_cast<char>(v);
                i = close;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

}  // namespace
}  // namespace morvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane::fuzz;
    namespace rt = morvane::runtime::detail;
    // An environment value is a C string: it ends at the first NUL (which the Fault's what()
    // would cut the message at as well).
    std::string_view raw(reinterpret_cast<const char*>(data), size);
    raw = raw.substr(0, raw.find('\0'));
    const std::string var = "\"MORVANE_WORKER_THREADS\"";

    const morvane::ParsedU64 parsed = morvane::parse_u64(raw);
    const U64 want_u64 = parse_u64(raw);
    CHECK(parsed.value == want_u64.value);
    if (!parsed.value) CHECK(parsed.error && parsed.error == want_u64.error);

    std::optional<std::size_t> got;
    std::string error;
    try {
        got = rt::parse_worker_threads(raw);
    } catch (const morvane::Fault& f) {
        error = f.what();
    }
    CHECK(check_utf8(error).ok);
    if (!check_utf8(raw).ok) {
        const std::string prefix = var + " must be valid unicode, error: ";
        CHECK(!got && error.compare(0, prefix.size(), prefix) == 0);
        const auto original = unescape(std::string_view(error).substr(prefix.size()));
        CHECK(original && *original == raw);
    } else if (!want_u64.value) {
        CHECK(!got && error == var + " must be usize, error: " + want_u64.error +
                                   ", value: " + std::string(raw));
    } else if (*want_u64.value == 0) {
        CHECK(!got && error == var + " cannot be set to 0");
    } else {
        CHECK(got && *got == *want_u64.value);
    }
    return 0;
}
