#pragma once
// PanicException: the Python exception by which an internal fault reaches Python at an entry.
//
// It derives directly from BaseException, so `except Exception` does not catch it. The class is
// created on first use (PyErr_NewExceptionWithDoc) and kept in a process-wide once cell for the
// life of the process; failing to create it is the fault "Failed to initialize new exception
// type.".
#include "binding/python.hpp"

#include <exception>
#include <string>

#include "binding/pyerr.hpp"

namespace morvane::binding {

// Qualified name of the class.
inline constexpr const char* kPanicExceptionName = "pymorvane.PanicException";

// The class object (borrowed; lives for the process). Lock held; may release and retake the lock
// on first use (cache protocol). Throws morvane::Fault if creation fails.
PyObject* panic_exception_type();
// The class object if it has been created, else nullptr. Never creates it. Lock held.
PyObject* panic_exception_type_if_created() noexcept;

// Deferred PanicException with the given message. No lock needed.
PyErr new_panic_exception(std::string message);
// Deferred PanicException built from a caught fault's payload (its text as fault_text() reads
// it, copied); the payload is dropped. No lock.
PyErr panic_exception_from_payload(std::exception_ptr payload);

// A pending PanicException fetched back into native code: prints the notice, "Python stack trace
// below:" and the traceback (PyErr_PrintEx(0)) to stderr, then throws morvane::Fault carrying the
// exception's str() (or "Unwrapped panic from Python code"). Takes the exception object. Lock held.
[[noreturn]] void resume_panic(PyRef exception);

}  // namespace morvane::binding
