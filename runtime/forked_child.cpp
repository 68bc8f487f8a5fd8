#include "runtime/forked_child.hpp"

#include <unistd.h>

#include <atomic>

#include "base/after_fork.hpp"
#include "base/fault.hpp"

namespace morvane::runtime {

namespace {

std::atomic<bool> g_forked_child{false};
// The claiming process. Besides the at-fork mark, a child is recognised by its pid, so that a
// fork that skips the at-fork handlers (a raw clone) is refused all the same.
std::atomic<pid_t> g_owner{0};

// Enlisted by the first claim: a child forked from then on is a forked child.
class ForkedChildMark final : public ForkResettable {
    void reset_after_fork() noexcept override {
        g_forked_child.store(true, std::memory_order_relaxed);  // only the forking thread runs here
    }
};
constinit ForkedChildMark g_mark;

}  // namespace

void claim_runtime_for_this_process() {
    pid_t owner = g_owner.load(std::memory_order_acquire);
    if (owner == 0) {
        // Enlisted before the claim is visible, so no child of a claimed process misses the mark.
        if (!g_mark.enlist_for_fork()) throw Fault("the morvane runtime cannot watch for fork");
        if (g_owner.compare_exchange_strong(owner, ::getpid(), std::memory_order_acq_rel)) return;
    }
    if (owner != ::getpid()) g_forked_child.store(true, std::memory_order_relaxed);
}

bool in_forked_child() noexcept {
    return g_forked_child.load(std::memory_order_relaxed);
}

}  // namespace morvane::runtime
