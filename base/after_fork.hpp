#pragma once
// After fork: what a child created by fork resets, and the one place that resets it.
//
// A child created by fork inherits every mutex of its parent in whatever state the parent's other
// threads left it, and none of those threads: a mutex that one of them held at the moment of the
// fork stays held forever in the child. One pthread_atfork child handler, registered here when
// the first object enlists, runs in the child before anything else, on the only thread the child
// has (the one that called fork), and resets every enlisted ForkResettable. They are:
//  - the runtime's forked-child mark (runtime/forked_child.cpp), enlisted when the runtime is
//    first claimed: the child has none of the runtime's threads and may have inherited its locks
//    held, so it is refused the runtime (get_runtime) and its wake-ups go nowhere (task_wake);
//    the runtime's own locks are therefore never reset;
//  - the ReferencePool (binding/reference_pool.hpp): a fresh mutex and an empty list; what the
//    parent had queued stays unreleased, since another thread may have been appending to it;
//  - the ExitGate (binding/exit_gate.hpp): a fresh mutex and condition variable; of the threads
//    that were inside, only the forking one keeps its place;
//  - each OnceCache's once-lock (binding/once_cache.hpp), enlisted at its first fill: made afresh,
//    unless the forking thread itself was filling the cache.
// The last three are the locks that an interpreter entry or a deallocation of ours can take in
// the child. The reply cache (morvane/src/reply_storage.hpp) needs nothing: it only ever
// try-locks, so a lock inherited held means "allocate anew".
#include <atomic>

namespace morvane {

class ForkResettable {
  public:
    constexpr ForkResettable() noexcept = default;
    ForkResettable(const ForkResettable&) = delete;
    ForkResettable& operator=(const ForkResettable&) = delete;

    // Adds this object to the list that a forked child resets; later calls only report. Any
    // thread. The object must live until the process ends. False when the child handler could not
    // be registered: then no object is ever reset.
    bool enlist_for_fork() noexcept;

    // Resets every enlisted object: the child handler's body.
    static void reset_all_after_fork() noexcept;

  protected:
    ~ForkResettable() = default;
    // Makes the object's locks afresh, abandoning (never destroying) the inherited ones, and
    // forgets whatever the parent's other threads were doing with it.
    virtual void reset_after_fork() noexcept = 0;

  private:
    std::atomic<bool> enlisted_{false};
    ForkResettable* next_ = nullptr;  // written once, before the object is published
};

}  // namespace morvane
