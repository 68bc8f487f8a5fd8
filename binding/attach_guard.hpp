#pragma once
// AttachGuard: holds the interpreter lock for the current thread while it lives.
//
// assume(): for interpreter entries, whose caller already holds the lock. attach(): for threads
// that may not hold it (the bridge's completion threads); takes it with PyGILState_Ensure unless an
// outer guard on this thread already holds it, and gives it back with PyGILState_Release when it
// ends. Guards nest; a per-thread depth records the nesting, so an inner guard never releases a
// lock that an outer one holds. Every guard drains the ReferencePool when it is made. Guards end in
// strict nesting order on the thread that made them, so they can be neither copied nor moved.
//
// The depth is also what release_reference() asks: a thread is "attached" while its depth > 0.
#include "binding/python.hpp"

#include <atomic>
#include <cstddef>

namespace morvane::binding {

class AttachGuard {
  public:
    // Caller holds the interpreter lock. Throws morvane::Fault only if the pool is poisoned.
    static AttachGuard assume();
    // Caller may or may not hold the lock. Throws morvane::Fault "Cannot attach to the Python
    // interpreter while it is finalizing." once the interpreter has begun to exit (the ExitGate is
    // closed), or when it is finalizing or no longer (or not yet) initialized: PyGILState_Ensure
    // would hang or crash there. An outermost guard holds its place in the ExitGate until it ends.
    static AttachGuard attach();

    AttachGuard(const AttachGuard&) = delete;
    AttachGuard& operator=(const AttachGuard&) = delete;
    ~AttachGuard();

    // Nesting depth of guards on this thread.
    static std::size_t depth() noexcept;
    static bool is_attached() noexcept { return depth() > 0; }

  private:
    AttachGuard(bool acquired, PyGILState_STATE state) noexcept
        : acquired_(acquired), state_(state) {}

    bool acquired_;
    PyGILState_STATE state_;
};

// Gives up the interpreter lock for a while (PyEval_SaveThread) and marks this thread detached
// (depth 0) so that references dropped meanwhile are queued instead of released without the lock.
// Ending it retakes the lock (PyEval_RestoreThread), restores the depth and drains the pool.
class DetachScope {
  public:
    DetachScope() noexcept;
    DetachScope(const DetachScope&) = delete;
    DetachScope& operator=(const DetachScope&) = delete;
    ~DetachScope();

    // Retakes the lock early (idempotent); the destructor then does nothing.
    void reattach();

  private:
    PyThreadState* thread_state_;
    std::size_t saved_depth_;
};

namespace testing {
// When set, runs on a thread that attaches from outside the interpreter, after it has passed the
// exit checks and before it takes the lock: tests widen that window with a sleep to show that the
// interpreter cannot begin to finalize inside it. Never set outside tests.
inline std::atomic<void (*)()> before_taking_lock{nullptr};
}  // namespace testing

}  // namespace morvane::binding
