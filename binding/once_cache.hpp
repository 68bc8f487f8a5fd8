#pragma once
// OnceCache<T>: a process-wide cache of Python objects, filled at most once per process.
//
// Protocol (so that no thread ever waits for a fill while holding the interpreter lock):
//  1. With the lock held, look: a filled cache is used directly.
//  2. Otherwise give up the lock (PyEval_SaveThread) and enter the cache's once-lock, waiting there
//     while another thread fills it.
//  3. The thread that fills it marks itself as the filler, then retakes the lock
//     (PyEval_RestoreThread, then a ReferencePool drain) before computing the value; a thread that
//     only waited retakes it the same way afterwards. The mark comes first because the drain may
//     run finalizers, and a finalizer that needs this same cache must see the fill in progress.
//  4. A fill that fails (returns a PyErr or throws) leaves the cache empty; the next use retries.
// Lock order: once-lock, then interpreter lock; never the other way round. None of this system's
// fills enters another cache's once-lock: what a fill needs from another cache is fetched before
// its own once-lock is entered (py_caches.cpp, future_ops.cpp). Python code that a fill runs (an
// import) could still reach a second cache; a fill that needs the same cache again on its own
// thread is the fault "Re-entrant initialization of a process-wide cache" rather than a
// self-deadlock. A forked child resets the once-lock (base/after_fork.hpp says how and why).
//
// The value is never destroyed (caches live until the process exits, when the interpreter may
// already be gone), so declare caches as plain statics: `static OnceCache<PyRef> ASYNCIO;`.
#include "binding/python.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/after_fork.hpp"
#include "base/fault.hpp"
#include "binding/attach_guard.hpp"
#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"

namespace morvane::binding {

namespace detail {
// A per-thread address that identifies the calling thread (std::thread::id is not constexpr-
// constructible here, and caches must be constant-initialized).
inline const void* this_thread_tag() noexcept {
    static thread_local const char tag = 0;
    return &tag;
}
}  // namespace detail

template <class T>
class OnceCache final : public ForkResettable {
  public:
    constexpr OnceCache() noexcept = default;
    OnceCache(const OnceCache&) = delete;
    OnceCache& operator=(const OnceCache&) = delete;
    ~OnceCache() = default;  // deliberately leaks the value, see above

    // The value if the cache is filled, else nullptr. Any thread (the value itself may need the
    // lock to be used).
    const T* peek() const noexcept {
        return filled_.load(std::memory_order_acquire)
                   ? std::launder(reinterpret_cast<const T*>(storage_))
                   : nullptr;
    }

    // Fills the cache with `compute()` if needed and returns the value. `compute` returns
    // PyResult<T>; its error is returned and the cache stays empty. Lock held on entry and on
    // return (it is released in between on the fill path). Faults thrown by `compute` propagate.
    template <class Compute>
    PyResult<const T*> get_or_try_init(Compute&& compute) {
        if (const T* value = peek()) return value;
        // A fill that needs its own cache would wait for itself forever.
        if (filling_thread_.load(std::memory_order_acquire) == detail::this_thread_tag()) {
            throw Fault("Re-entrant initialization of a process-wide cache");
        }
        enlist_for_fork();
        DetachScope detached;
        std::unique_lock once_lock(fill_mutex_);  // waited on without the interpreter lock
        filling_thread_.store(detail::this_thread_tag(), std::memory_order_release);
        struct FillEnd {
            std::atomic<const void*>& filling;
            ~FillEnd() { filling.store(nullptr, std::memory_order_release); }
        } fill_end{filling_thread_};
        detached.reattach();  // drains the pool: finalizers see the fill in progress
        if (const T* value = peek()) return value;  // another thread filled it while we waited
        PyResult<T> result = std::forward<Compute>(compute)();
        if (!result.ok()) return std::move(result).error();  // stays empty: the next use retries
        ::new (static_cast<void*>(storage_)) T(std::move(result).value());
        filled_.store(true, std::memory_order_release);
        return peek();
    }

    // As get_or_try_init for a `compute` that returns T and reports failure only by throwing.
    template <class Compute>
    const T& get_or_init(Compute&& compute) {
        PyResult<const T*> result =
            get_or_try_init([&]() -> PyResult<T> { return std::forward<Compute>(compute)(); });
        return *std::move(result).value();
    }

  private:
    void reset_after_fork() noexcept override {
        // A fill by the forking thread itself goes on in the child and keeps its lock; one by
        // any other thread never ends there, so its lock is made afresh.
        if (filling_thread_.load(std::memory_order_acquire) == detail::this_thread_tag()) return;
        ::new (static_cast<void*>(&fill_mutex_)) std::mutex();
        filling_thread_.store(nullptr, std::memory_order_release);
    }

    std::mutex fill_mutex_;  // the once-lock; held by the filling thread for the whole fill
    std::atomic<bool> filled_{false};
    std::atomic<const void*> filling_thread_{nullptr};  // tag of the thread inside compute()
    alignas(T) unsigned char storage_[sizeof(T)]{};
};

// An attribute name or other text interned once per process (PyUnicode_InternInPlace).
class InternedString {
  public:
    constexpr explicit InternedString(std::string_view text) noexcept : text_(text) {}
    // Borrowed reference to the interned str, valid for the process. Lock held.
    PyResult<PyObject*> get();

  private:
    std::string_view text_;
    OnceCache<PyRef> cache_;
};

}  // namespace morvane::binding
