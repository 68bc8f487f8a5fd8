#pragma once
// ReferencePool: Python references dropped by threads that are not attached to the interpreter.
//
// Such a thread may not touch reference counts, so it appends the object here instead; the next
// thread to attach (AttachGuard assume/attach, or a retake after a cache fill) drains the list and
// releases the references in the order they were queued. The list is process-wide, created on first
// use and never freed. The releases happen after the mutex is unlocked (a release may run arbitrary
// deallocation code, which may queue or drain again), always with the interpreter lock held.
//
// Lock order: the pool mutex is a leaf; nothing is called while it is held. A forked child resets
// the pool (base/after_fork.hpp says how and why).
#include "binding/python.hpp"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#include "base/after_fork.hpp"

namespace morvane::binding {

class ReferencePool final : public ForkResettable {
  public:
    static ReferencePool& instance() noexcept;

    // Queues one reference for release at the next attachment. Any thread, no lock needed.
    // Throws morvane::Fault if the pool is poisoned (an earlier fault while its mutex was held).
    void register_decref(PyObject* object);
    // Releases every queued reference, in queue order. Interpreter lock held.
    // Throws morvane::Fault if the pool is poisoned.
    void drain();
    // Number of queued references (a snapshot, for diagnostics and tests).
    std::size_t pending() const noexcept { return pending_.load(std::memory_order_acquire); }

  private:
    ReferencePool() noexcept { enlist_for_fork(); }
    void reset_after_fork() noexcept override;

    std::mutex mutex_;
    std::atomic<bool> poisoned_{false};       // set, never cleared, under mutex_
    std::vector<PyObject*> pending_decrefs_;  // guarded by mutex_
    // Mirrors pending_decrefs_.size() so that the drain on every entry is a single load when empty.
    std::atomic<std::size_t> pending_{0};
};

// Releases one strong reference: Py_DECREF now if this thread is attached (AttachGuard depth > 0),
// otherwise queued in the ReferencePool. A poisoned pool is a fault that cannot be reported from a
// release (it runs in destructors), so it aborts with the fault's message.
void release_reference(PyObject* object) noexcept;

}  // namespace morvane::binding
