#include "binding/trampoline.hpp"

#include <cstdio>
#include <cstdlib>

namespace morvane::binding {

void abort_at_ffi_boundary() noexcept {
    std::fprintf(stderr, "%s\n", kFfiBoundaryPanic);
    std::fflush(stderr);
    std::abort();
}

}  // namespace morvane::binding
