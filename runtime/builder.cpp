// The process-wide runtime slot and the configuration behind its lock.
//
// Lock order: the construction lock, then the configuration lock, then whatever the construction
// takes (the signal state's lock, the blocking pool's lock as each worker's thread starts, the
// list of abandoned runtimes); a reader of a filled slot takes none of them.
#include "runtime/builder.hpp"

#include <atomic>
#include <mutex>

#include "base/fault.hpp"
#include "runtime/forked_child.hpp"
#include "runtime/runtime.hpp"

namespace morvane::runtime {
namespace {

// Readers that find the slot filled take the runtime without a lock.
std::atomic<Runtime*> g_slot{nullptr};
// Lets one caller construct at a time; the others sleep on it.
std::mutex g_construct_mu;

// The configuration record and its lock, poisoned for good by a failed construction.
struct Configuration {
    std::mutex mu;
    bool poisoned = false;
    detail::Builder* builder = nullptr;  // created once, never released
};
Configuration g_config;
std::once_flag g_builder_once;

void refuse_forked_child() {
    claim_runtime_for_this_process();
    if (in_forked_child())
        throw Fault(
            "the morvane runtime cannot be used in a process created by fork after the runtime "
            "was first used");
}

}  // namespace

Runtime& get_runtime() {
    refuse_forked_child();
    if (Runtime* rt = g_slot.load(std::memory_order_acquire)) return *rt;

    // One caller constructs; the others sleep here and then find the slot filled, or (after a
    // failure) construct in turn and meet the poisoned configuration.
    std::lock_guard construct(g_construct_mu);
    if (Runtime* rt = g_slot.load(std::memory_order_acquire)) return *rt;

    std::call_once(g_builder_once, [] { g_config.builder = new detail::Builder(); });

    std::lock_guard config(g_config.mu);
    if (g_config.poisoned)
        throw Fault(
            "the morvane runtime configuration lock is poisoned: an earlier attempt to build the "
            "runtime failed");
    try {
        Runtime& rt = Runtime::build(detail::BuildOptions::from(*g_config.builder));
        g_slot.store(&rt, std::memory_order_release);  // published before the lock is released
        return rt;
    } catch (...) {
        g_config.poisoned = true;
        throw;
    }
}

}  // namespace morvane::runtime
