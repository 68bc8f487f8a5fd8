#include "runtime/fatal.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/os_error.hpp"

namespace morvane::runtime::detail {

void fatal_error(const char* message, const char* detail) noexcept {
    char line[1024];
    const int n =
        std::snprintf(line, sizeof line, "morvane: fatal runtime error: %s%s\n", message, detail);
    if (n > 0) {
        const std::size_t len = std::min(static_cast<std::size_t>(n), sizeof line - 1);
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, len);
    }
    std::abort();
}

void fatal_os_error(const char* message, int err) noexcept {
    char text[256];
    char detail[320];
    std::snprintf(detail, sizeof detail, "%s (os error %d)", os_error_text(err, text, sizeof text),
                  err);
    fatal_error(message, detail);
}

}  // namespace morvane::runtime::detail
