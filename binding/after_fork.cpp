#include "binding/after_fork.hpp"

#include <pthread.h>

namespace morvane::binding {

namespace {

// Push-only list: objects are added once and never removed, so a lock-free stack suffices and the
// child handler can walk it without a lock.
std::atomic<ForkResettable*> g_enlisted{nullptr};

extern "C" void reset_in_forked_child() {
    ForkResettable::reset_all_after_fork();
}

}  // namespace

void ForkResettable::enlist_for_fork() noexcept {
    if (enlisted_.exchange(true, std::memory_order_acq_rel)) return;
    static const bool handler_registered =
        ::pthread_atfork(nullptr, nullptr, &reset_in_forked_child) == 0;
    (void)handler_registered;
    ForkResettable* head = g_enlisted.load(std::memory_order_acquire);
    do {
        next_ = head;
    } while (!g_enlisted.compare_exchange_weak(head, this, std::memory_order_acq_rel,
                                               std::memory_order_acquire));
}

void ForkResettable::reset_all_after_fork() noexcept {
    for (ForkResettable* o = g_enlisted.load(std::memory_order_acquire); o != nullptr; o = o->next_)
        o->reset_after_fork();
}

}  // namespace morvane::binding
