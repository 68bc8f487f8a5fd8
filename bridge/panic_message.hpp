#pragma once
// Reading a text out of a task's fault payload (what a task body threw, as reported by its join
// handle). Used to build the FuturePanic message of a job that ended abnormally.
#include <exception>

namespace morvane::bridge {

// The fault's text: what() of a morvane::Fault or any std::exception, a thrown string (owned
// text) or a thrown C string (borrowed text); "unknown error" for anything else or an empty
// payload. The returned text is borrowed from the payload (or static): it stays valid as long as
// the caller keeps `payload`.
const char* get_panic_message(const std::exception_ptr& payload) noexcept;

}  // namespace morvane::bridge
