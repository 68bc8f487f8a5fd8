#pragma once
// Locks that survive fork.
//
// A child created by fork inherits every mutex of its parent in whatever state the parent's other
// threads left it, and none of those threads: a mutex that a runtime thread held at the moment of
// the fork stays held forever in the child. Every lock that an interpreter entry or a deallocation
// of ours can take (the ReferencePool's, the ExitGate's, the once-locks of process-wide caches) is
// therefore a ForkResettable: it is enlisted when first used, and a pthread_atfork child handler,
// which runs in the child before anything else, makes each one afresh. The handler runs on the
// only thread the child has, the one that called fork.
#include <atomic>

namespace morvane::binding {

class ForkResettable {
  public:
    constexpr ForkResettable() noexcept = default;
    ForkResettable(const ForkResettable&) = delete;
    ForkResettable& operator=(const ForkResettable&) = delete;

    // Adds this object to the list that a forked child resets; later calls do nothing. Any thread.
    // The object must live until the process ends.
    void enlist_for_fork() noexcept;

    // Resets every enlisted object. Only for the child handler, and for tests that simulate it.
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

}  // namespace morvane::binding
