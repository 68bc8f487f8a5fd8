#include "morvane/src/client_error.hpp"

#include <netdb.h>

#include <string>
#include <string_view>

#include "base/os_error.hpp"

namespace morvane::irr {

ClientError ClientError::from_errno(int errnum) {
    std::string text = os_error_text(errnum);
    const TextSpan part{0, text.size()};
    return ClientError(ErrorKind::os, text + " (os error " + std::to_string(errnum) + ")", errnum,
                       part);
}

ClientError ClientError::from_resolver(int gai_code, int saved_errno) {
    if (gai_code == EAI_SYSTEM) return from_errno(saved_errno);
    const std::string_view text = ::gai_strerror(gai_code);
    std::string message = "failed to lookup address information: ";
    const TextSpan part{message.size(), text.size()};
    message += text;
    return ClientError(ErrorKind::other, std::move(message), 0, part);
}

}  // namespace morvane::irr
