#include "runtime/budget.hpp"

#include "runtime/scheduler.hpp"

namespace morvane::runtime::budget {
namespace {
thread_local int tl_budget = -1;  // negative: unlimited (outside a worker's resumption)
}

bool try_consume() {
    if (tl_budget < 0) return true;
    if (tl_budget == 0) return false;
    --tl_budget;
    return true;
}

int reset(int units) {
    const int previous = tl_budget;
    tl_budget = units;
    return previous;
}

void defer_wake(const Waker& waker) {
    if (!detail::Scheduler::defer_on_current_worker(waker)) waker.wake();
}

}  // namespace morvane::runtime::budget
