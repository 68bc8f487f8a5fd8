#include "binding/attach_guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "base/fault.hpp"
#include "binding/exit_gate.hpp"
#include "binding/reference_pool.hpp"

namespace morvane::binding {

namespace {
thread_local std::size_t attach_depth = 0;

constexpr const char* kFinalizing =
    "Cannot attach to the Python interpreter while it is finalizing.";

// A thread that attaches without a thread state of its own (the runtime's blocking threads) keeps
// the one PyGILState_Ensure creates, by holding one extra PyGILState count for the rest of its
// life. Otherwise every attach would build a thread state and every release would tear it down
// again, mapping and unmapping its frame stack each time. At thread exit the state is released
// the same way as a last PyGILState_Release would; while the interpreter is finalizing (or gone)
// it is left to the interpreter, which frees every thread state it still lists.
struct KeptThreadState {
    bool held = false;

    KeptThreadState() = default;
    KeptThreadState(const KeptThreadState&) = delete;
    KeptThreadState& operator=(const KeptThreadState&) = delete;

    ~KeptThreadState() {
        if (!held) return;
        ExitGate& gate = ExitGate::instance();
        if (!gate.enter()) return;  // exiting: the interpreter frees the state itself
        if (Py_IsInitialized() && !Py_IsFinalizing()) {
            const PyGILState_STATE state = PyGILState_Ensure();
            PyGILState_Release(PyGILState_LOCKED);  // the kept count; the lock stays held
            PyGILState_Release(state);              // the last count: clears and deletes the state
        }
        gate.leave();
    }
};
thread_local KeptThreadState kept_thread_state;
}  // namespace

std::size_t AttachGuard::depth() noexcept {
    return attach_depth;
}

AttachGuard AttachGuard::assume() {
    ++attach_depth;
    try {
        ReferencePool::instance().drain();
    } catch (...) {
        --attach_depth;
        throw;
    }
    return AttachGuard(false, PyGILState_UNLOCKED);
}

AttachGuard AttachGuard::attach() {
    if (attach_depth > 0) return assume();  // an outer guard already holds the lock
    // The gate is closed by an at-exit hook while the interpreter is still whole, and that hook
    // waits for every thread inside; so from here to the guard's end the interpreter cannot begin
    // to finalize under us. The flag checks below still catch a process whose hook never ran (no
    // bridged call installed it): the interpreter clears its initialized flag at the moment it
    // starts finalizing, and PyGILState_Ensure into a finalizing or finalized interpreter hangs or
    // crashes.
    ExitGate& gate = ExitGate::instance();
    if (!gate.enter()) throw Fault(kFinalizing);
    struct LeaveOnFailure {
        ExitGate* gate;
        ~LeaveOnFailure() {
            if (gate != nullptr) gate->leave();
        }
    } leave_on_failure{&gate};
    if (!Py_IsInitialized() || Py_IsFinalizing()) throw Fault(kFinalizing);
    if (auto pause = testing::before_taking_lock.load(std::memory_order_relaxed)) pause();
    const bool creates_state = PyGILState_GetThisThreadState() == nullptr;
    PyGILState_STATE state = PyGILState_Ensure();
    if (creates_state && !kept_thread_state.held) {
        (void)PyGILState_Ensure();  // the lock is held: only counts one more
        kept_thread_state.held = true;
    }
    ++attach_depth;
    try {
        ReferencePool::instance().drain();
    } catch (...) {
        --attach_depth;
        PyGILState_Release(state);
        throw;
    }
    leave_on_failure.gate = nullptr;  // the guard leaves the gate when it ends
    return AttachGuard(true, state);
}

AttachGuard::~AttachGuard() {
    if (acquired_) {
        PyGILState_Release(state_);
        ExitGate::instance().leave();
    }
    --attach_depth;
}

DetachScope::DetachScope() noexcept : saved_depth_(attach_depth) {
    attach_depth = 0;  // references dropped while detached must be queued
    thread_state_ = PyEval_SaveThread();
}

void DetachScope::reattach() {
    if (thread_state_ == nullptr) return;
    PyEval_RestoreThread(std::exchange(thread_state_, nullptr));
    attach_depth = saved_depth_;
    ReferencePool::instance().drain();
}

DetachScope::~DetachScope() {
    try {
        reattach();
    } catch (const std::exception& fault) {
        std::fprintf(stderr, "%s\n", fault.what());
        std::abort();
    }
}

}  // namespace morvane::binding
