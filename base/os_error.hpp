#pragma once
// Texts for operating-system error numbers, as fault messages and the client's errors show them.
// Used by the client (morvane/) and the runtime.
#include <cstddef>
#include <string>

namespace morvane {

// The C library's description of `err` (strerror_r, whichever of its two forms the C library
// provides), written into `buf` when it must be; "Unknown error N" when the library has none.
// Allocates nothing, so it is safe where memory has run out. The text lives as long as `buf`.
const char* os_error_text(int err, char* buf, std::size_t size) noexcept;
// The same as a string, e.g. "Resource temporarily unavailable".
std::string os_error_text(int err);
// The text with its number, e.g. "Too many open files (os error 24)".
std::string os_error_description(int err);

}  // namespace morvane
