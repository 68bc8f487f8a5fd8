#pragma once
// A process created by fork after the runtime was first used has none of the runtime's threads,
// and may have inherited the runtime's locks held by them. Such a child is refused the runtime
// (get_runtime), and wake-ups there go nowhere: the tasks they would wake can never run in the
// child, and scheduling one would take the scheduler's lock. The child is marked by the one
// at-fork handler (base/after_fork.hpp), which lists everything a forked child resets.
// Internal to runtime/: no other subsystem includes it.
namespace morvane::runtime {

// Records this process as the one that uses the runtime; a child forked from now on is a forked
// child. Idempotent. Called before the runtime's first thread starts. Throws Fault("the morvane
// runtime cannot watch for fork") when the at-fork handler cannot be registered.
void claim_runtime_for_this_process();

// True in a child forked, directly or not, from a process that had claimed the runtime. One load.
bool in_forked_child() noexcept;

}  // namespace morvane::runtime
