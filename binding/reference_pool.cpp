#include "binding/reference_pool.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "base/fault.hpp"
#include "binding/attach_guard.hpp"

namespace morvane::binding {

namespace {
constexpr const char* kPoisoned = "ReferencePool mutex poisoned";
}

ReferencePool& ReferencePool::instance() noexcept {
    // Never destroyed: references may still be queued (and drained) while the process exits.
    static ReferencePool* const pool = new ReferencePool();
    return *pool;
}

void ReferencePool::reset_after_fork() noexcept {
    // The inherited mutex and list may be mid-update by a thread the child does not have: both
    // are abandoned (leaked), never destroyed or read.
    ::new (&mutex_) std::mutex();
    ::new (&pending_decrefs_) std::vector<PyObject*>();
    pending_.store(0, std::memory_order_release);
}

void ReferencePool::register_decref(PyObject* object) {
    std::lock_guard lock(mutex_);
    if (poisoned_.load(std::memory_order_relaxed)) throw Fault(kPoisoned);
    try {
        pending_decrefs_.push_back(object);
    } catch (...) {
        poisoned_.store(true, std::memory_order_release);  // a fault while the mutex was held
        throw;
    }
    pending_.store(pending_decrefs_.size(), std::memory_order_release);
}

void ReferencePool::drain() {
    if (poisoned_.load(std::memory_order_acquire)) throw Fault(kPoisoned);
    if (pending_.load(std::memory_order_acquire) == 0) return;  // the common case: one load
    std::vector<PyObject*> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(pending_decrefs_);
        pending_.store(0, std::memory_order_release);
    }
    // Outside the mutex: a deallocation may queue or drain again.
    for (PyObject* object : taken) Py_DECREF(object);
}

void release_reference(PyObject* object) noexcept {
    if (object == nullptr) return;
    if (AttachGuard::is_attached()) {
        Py_DECREF(object);
        return;
    }
    try {
        ReferencePool::instance().register_decref(object);
    } catch (const std::exception& fault) {
        std::fprintf(stderr, "%s\n", fault.what());
        std::abort();
    }
}

}  // namespace morvane::binding
