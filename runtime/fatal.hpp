#pragma once
// Faults that no one can be told about: a worker whose wait on the reactor failed, or a wake-up
// that could not be delivered from inside a noexcept path (a waker). Throwing there would end a
// worker silently or call std::terminate, and the scheduler would already count a sleeper as
// woken, so every task could stall unseen. These end the process instead, with one clear line.
// Internal to runtime/: no other subsystem includes it.
namespace morvane::runtime::detail {

// Writes "morvane: fatal runtime error: " `message` `detail` and a line feed to stderr in one
// write, then aborts. Allocates nothing, so it is safe wherever memory has run out.
[[noreturn]] void fatal_error(const char* message, const char* detail = "") noexcept;

// fatal_error with the OS error's text and number as the detail, e.g. "Bad file descriptor (os
// error 9)", as os_error_description() writes it.
[[noreturn]] void fatal_os_error(const char* message, int err) noexcept;

}  // namespace morvane::runtime::detail
