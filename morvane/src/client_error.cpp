#include "morvane/src/client_error.hpp"

#include <netdb.h>

#include <string>

#include "runtime/os_error.hpp"

namespace morvane::irr {

ClientError ClientError::from_errno(int errnum) {
    return ClientError(ErrorKind::os, os_error_description(errnum), errnum);
}

ClientError ClientError::from_resolver(int gai_code, int saved_errno) {
    if (gai_code == EAI_SYSTEM) return from_errno(saved_errno);
    return ClientError(ErrorKind::other, std::string("failed to lookup address information: ") +
                                             ::gai_strerror(gai_code));
}

}  // namespace morvane::irr
