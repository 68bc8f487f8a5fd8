#include "base/os_error.hpp"

#include <cstdio>
#include <cstring>

namespace morvane {
namespace {

// strerror_r comes in two shapes: the XSI one returns int and fills the buffer, the GNU one
// returns a pointer that may or may not be the buffer. Overloads pick whichever libc provides.
[[maybe_unused]] const char* strerror_result(int rc, const char* buf) {
    return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* text, const char*) {
    return text;
}

}  // namespace

const char* os_error_text(int err, char* buf, std::size_t size) noexcept {
    buf[0] = '\0';
    const char* text = strerror_result(::strerror_r(err, buf, size), buf);
    if (text != nullptr && text[0] != '\0') return text;
    std::snprintf(buf, size, "Unknown error %d", err);
    return buf;
}

std::string os_error_text(int err) {
    char buf[256];
    return os_error_text(err, buf, sizeof buf);
}

std::string os_error_description(int err) {
    return os_error_text(err) + " (os error " + std::to_string(err) + ")";
}

}  // namespace morvane
