#pragma once
// The per-resumption budget: a worker grants each resumption of a task 128 readiness waits and
// join-handle awaits. When it is spent such an operation answers pending at once and the task
// is woken again only after its worker has next looked at the reactor. Outside a worker's
// resumption the budget is unlimited.
// Internal to runtime/: no other subsystem includes it.
#include "runtime/waker.hpp"

namespace morvane::runtime {

inline constexpr int kTaskBudget = 128;

namespace budget {

// True (and one unit spent) if the current resumption may make progress.
bool try_consume();
// Sets the calling thread's budget; a negative value means unlimited. Returns the previous one.
int reset(int units);
// Budget spent: wake `waker` once the worker has next looked at the reactor (at once when the
// calling thread is not a worker).
void defer_wake(const Waker& waker);

}  // namespace budget
}  // namespace morvane::runtime
