#pragma once
// The project's own fault type: a broken invariant, an exhausted resource or a misconfiguration.
// Faults abandon the current operation and are caught at the nearest boundary (a task, reported
// through its join handle, or an interpreter entry guard, raised as PanicException). They never
// unwind into the interpreter. Ordinary failures (a refused connection, a bad reply) are values.
// Every subsystem throws and catches it.
#include <exception>
#include <stdexcept>
#include <string>

namespace morvane {

class Fault : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The text of a fault payload that carries none.
inline constexpr const char* kUnknownFaultText = "unknown error";

// The text a caught fault's payload carries: what() of a morvane::Fault or any std::exception,
// a thrown std::string, or a thrown C string; kUnknownFaultText for anything else or an empty
// payload. Borrowed from the payload (rethrow_exception hands back the object the payload owns,
// no copy) or static: valid as long as the caller keeps `payload`. Any thread.
const char* fault_text(const std::exception_ptr& payload) noexcept;

}  // namespace morvane
