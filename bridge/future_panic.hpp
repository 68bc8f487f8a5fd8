#pragma once
// FuturePanic: the exception delivered to a bridged future whose job ended with an internal fault
// instead of an outcome. It derives from Exception (so `except Exception` catches it), is named
// "async_bridge.FuturePanic" (the auxiliary module `async_bridge` publishes this very class
// object under `__all__ == ["FuturePanic"]`), has no docstring and no extra attributes. Its
// instances carry one argument, the fault message built by future_panic_message().
#include "binding/python.hpp"

#include <exception>
#include <string>

namespace morvane::bridge {

inline constexpr const char* kFuturePanicName = "async_bridge.FuturePanic";
// Fixed start of every FuturePanic message; followed by ": " and the fault's text.
inline constexpr const char* kFuturePanicPrefix = "bridged future ended abnormally";

// The class object (borrowed; lives for the process). Created on first use by whichever comes
// first, the auxiliary module's execution or the first fault delivery. Lock held; may give up and
// retake the lock on first use. Throws morvane::Fault "Failed to initialize new exception type."
// if the class cannot be created (the next call tries again).
PyObject* future_panic_type();

// kFuturePanicPrefix + ": " + fault_text(payload). Any thread.
std::string future_panic_message(const std::exception_ptr& payload);

}  // namespace morvane::bridge
