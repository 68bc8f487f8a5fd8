#pragma once
// Texts for operating-system errors, as the runtime's fault messages use them.
#include <string>

namespace morvane::runtime::detail {

// strerror text, e.g. "Resource temporarily unavailable".
std::string error_message(int err);
// The message with its number, e.g. "Too many open files (os error 24)".
std::string error_description(int err);

}  // namespace morvane::runtime::detail
