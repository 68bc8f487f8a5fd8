#include "base/after_fork.hpp"

#include <pthread.h>

namespace morvane {

namespace {

// Push-only list: objects are added once and never removed, so a lock-free stack suffices and the
// child handler can walk it without a lock.
std::atomic<ForkResettable*> g_enlisted{nullptr};

extern "C" void reset_in_forked_child() {
    ForkResettable::reset_all_after_fork();
}

// The process's one at-fork registration, made on first use.
bool child_handler_registered() noexcept {
    static const bool registered = ::pthread_atfork(nullptr, nullptr, &reset_in_forked_child) == 0;
    return registered;
}

}  // namespace

bool ForkResettable::enlist_for_fork() noexcept {
    // Registered before the object is listed, so a child forked once it is listed resets it.
    const bool watching = child_handler_registered();
    if (enlisted_.exchange(true, std::memory_order_acq_rel)) return watching;
    ForkResettable* head = g_enlisted.load(std::memory_order_acquire);
    do {
        next_ = head;
    } while (!g_enlisted.compare_exchange_weak(head, this, std::memory_order_acq_rel,
                                               std::memory_order_acquire));
    return watching;
}

void ForkResettable::reset_all_after_fork() noexcept {
    for (ForkResettable* o = g_enlisted.load(std::memory_order_acquire); o != nullptr; o = o->next_)
        o->reset_after_fork();
}

}  // namespace morvane
