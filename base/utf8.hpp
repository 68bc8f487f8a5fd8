#pragma once
// UTF-8 validation with exact error positions. Accepts exactly the well-formed UTF-8 of the
// Unicode standard: no overlong forms, no surrogates, nothing above U+10FFFF. And the ASCII check
// that shares its fast path.
// The client checks replies with it, the runtime its environment variable, the bridge
// picks the str conversion of a text with the ASCII check.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

struct Utf8Error {
    std::size_t valid_up_to;  // bytes of valid text before the bad sequence
    std::size_t error_len;    // length of the invalid sequence; 0 when cut off by the end of input

    // "invalid utf-8 sequence of {error_len} bytes from index {valid_up_to}" or
    // "incomplete utf-8 byte sequence from index {valid_up_to}".
    std::string message() const;
};

// nullopt when `bytes` is entirely well-formed UTF-8.
std::optional<Utf8Error> validate_utf8(std::string_view bytes);

// Whether every byte of `bytes` is ASCII (below 0x80), and so the text well-formed UTF-8 too.
bool is_ascii(std::string_view bytes) noexcept;

}  // namespace morvane
