#pragma once
// The OS threads of the runtime (workers and blocking threads): detached POSIX threads with the
// runtime's own stack size, each naming itself before it runs its body.
// Internal to runtime/: no other subsystem includes it.
#include <cstddef>
#include <functional>

namespace morvane::runtime::detail {

inline constexpr const char* kThreadName = "morvane-worker";  // 14 of the 15 characters allowed

// Fixed rather than taken from the process's `ulimit -s` (often 8 MiB): at N + 512 threads that
// limit would reserve four times the address space for stacks that never need it.
inline constexpr std::size_t kThreadStackSize = std::size_t{2} << 20;

// Starts a detached thread running `body` on a kThreadStackSize stack, named kThreadName (no
// /proc needed) by the time the call returns, so whoever counts the thread sees its name: a
// thread started from a runtime thread inherits the name at creation; from any other thread the
// call waits for the new thread to name itself. Throws std::system_error with the OS's error when
// the thread cannot be created, or std::bad_alloc; either way no thread exists and `body` has not
// run.
void spawn_os_thread(std::function<void()> body);

}  // namespace morvane::runtime::detail
