#pragma once
// The project's own fault type: a broken invariant, an exhausted resource or a misconfiguration.
// Faults abandon the current operation and are caught at the nearest boundary (a task, reported
// through its join handle, or an interpreter entry guard, raised as PanicException). They never
// unwind into the interpreter. Ordinary failures (a refused connection, a bad reply) are values.
#include <stdexcept>
#include <string>

namespace morvane {

class Fault : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace morvane
