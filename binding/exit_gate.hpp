#pragma once
// ExitGate: no thread of ours runs Python code once the interpreter has begun to exit.
//
// Runtime threads attach to the interpreter on their own schedule (completions on blocking
// threads). Checking Py_IsFinalizing() before PyGILState_Ensure leaves a window: finalization can
// begin between the check and the lock, and a thread attaching for the first time then creates a
// thread state that finalization never marks as shutting down, so it can take the interpreter
// lock between two steps of the teardown and run Python code against half-destroyed types.
//
// The gate closes that window. Every attach from a thread that does not hold the lock passes it:
// enter() (refused once the gate is closed) before taking the lock, leave() after giving it back.
// An at-exit hook, registered with the `atexit` module by install() and so run while the
// interpreter is still whole, closes the gate and then waits, with the interpreter lock given up,
// until every other thread inside has left. From then on no attach succeeds, and finalization
// proper runs with none of our threads holding or waiting for the lock. Bridged calls are refused
// once the gate is closed: their outcome could never be delivered.
//
// The hook must be in the `atexit` list before the interpreter runs that list: the list is run
// from a copy, so a hook registered by an at-exit function (or by a thread meanwhile) never runs,
// and nothing else that Python code can hook runs between the at-exit functions and
// finalization. Modules therefore install the gate when they are executed, not at their first
// call. A module first executed after the interpreter has begun to exit (threading._shutdown,
// which Py_FinalizeEx runs before the at-exit functions, has marked the main thread done) closes
// the gate at once instead. Not covered: a hook that the program removes (atexit._clear), one
// registered during an explicit atexit._run_exitfuncs(), and a first execution in a process that
// imported `threading` only once it was exiting.
//
// Each thread's own place in the gate is counted per thread too, so that a child forked by a
// thread that is inside (Python code run by a completion can fork) keeps exactly that place, and
// a closing thread that is itself inside does not wait for itself.
//
// Lock order: the gate's mutex is a leaf; it is never held while taking the interpreter lock.
// A forked child resets the gate (base/after_fork.hpp says how and why).
#include "binding/python.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "base/after_fork.hpp"
#include "binding/pyerr.hpp"

namespace morvane::binding {

class ExitGate final : public ForkResettable {
  public:
    static ExitGate& instance() noexcept;

    // Registers the at-exit hook, once per process, or closes the gate if the interpreter has
    // already begun to exit. Interpreter lock held (the main interpreter's). An error comes from
    // importing `atexit`, from atexit.register or from asking `threading` about the main thread.
    PyResult<void> install();

    // Counts this thread in, unless the gate is closed. Any thread, no interpreter lock needed.
    bool enter() noexcept;
    // Counts this thread out again; wakes the closing thread when the last one leaves.
    void leave() noexcept;
    bool closed() noexcept;

    // Closes the gate and waits until every thread inside but the calling one has left. Called
    // without the interpreter lock (the threads inside need it to finish).
    void close_and_drain() noexcept;

  private:
    // The parent's other threads that were inside are gone; the forking thread (the one the
    // child handler runs on) keeps its place. The mutex may have been copied held.
    void reset_after_fork() noexcept override;

    ExitGate() noexcept { enlist_for_fork(); }

    std::mutex mutex_;
    std::condition_variable left_;
    bool closed_ = false;     // guarded by mutex_; set once, never cleared
    std::size_t inside_ = 0;  // guarded by mutex_; the sum of every thread's own count
    bool installed_ = false;  // guarded by the interpreter lock
};

namespace testing {
// When set, runs on the closing thread each time close_and_drain finds other threads still inside
// and waits for them, with the gate's mutex held (it must not wait for anything): tests hold a
// completion inside until the exit hook waits for it. Never set outside tests.
inline std::atomic<void (*)()> closing_waits{nullptr};
}  // namespace testing

}  // namespace morvane::binding
