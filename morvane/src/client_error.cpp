#include "morvane/src/client_error.hpp"

#include <netdb.h>

#include <cstring>
#include <string>

namespace morvane::irr {
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

std::string os_error_text(int errnum) {
    char buf[256];
    buf[0] = '\0';
    const char* text = strerror_result(::strerror_r(errnum, buf, sizeof buf), buf);
    if (text == nullptr || text[0] == '\0') return "Unknown error " + std::to_string(errnum);
    return text;
}

ClientError ClientError::from_errno(int errnum) {
    return ClientError(ErrorKind::os,
                       os_error_text(errnum) + " (os error " + std::to_string(errnum) + ")",
                       errnum);
}

ClientError ClientError::from_resolver(int gai_code, int saved_errno) {
    if (gai_code == EAI_SYSTEM) return from_errno(saved_errno);
    return ClientError(ErrorKind::other, std::string("failed to lookup address information: ") +
                                             ::gai_strerror(gai_code));
}

}  // namespace morvane::irr
