#pragma once
// Entry guards: every function the interpreter calls into this system runs its body through one.
//
//  - Arm a fault trap ("uncaught panic at ffi boundary").
//  - AttachGuard::assume(): one more attachment level for this thread, drain the ReferencePool.
//  - Run the body, catching any internal fault (morvane::Fault or any other C++ exception).
//  - A returned PyErr is raised; a caught fault becomes a raised PanicException.
//  - End the AttachGuard, disarm the trap, return.
// Should raising the error or ending the guard themselves fault, the trap aborts the process with
// its message on stderr: no C++ exception ever unwinds into the interpreter.
//
// Bodies: fastcall and tp_call bodies return PyResult<PyRef> (the new reference is handed to the
// interpreter); module exec bodies return PyResult<void>; dealloc bodies return nothing and must
// not fault (a fault there aborts through the trap).
#include "binding/python.hpp"

#include <exception>
#include <optional>
#include <utility>

#include "binding/attach_guard.hpp"
#include "binding/panic_exception.hpp"
#include "binding/pyerr.hpp"

namespace morvane::binding {

inline constexpr const char* kFfiBoundaryPanic = "uncaught panic at ffi boundary";

// Writes the trap's message to stderr and aborts. Never returns.
[[noreturn]] void abort_at_ffi_boundary() noexcept;

namespace detail {

// Runs everything inside the armed trap for a body whose success is converted by `on_ok` into the
// entry's return value.
template <class R, class Body, class OnOk>
R guarded_entry(R error_result, Body& body, OnOk on_ok) noexcept {
    try {  // the armed trap: anything escaping below aborts
        AttachGuard guard = AttachGuard::assume();
        std::optional<PyErr> error;
        R out = error_result;
        try {
            auto result = body();
            if (result.ok()) {
                out = on_ok(std::move(result));
            } else {
                error.emplace(std::move(result).error());
            }
        } catch (...) {
            error.emplace(panic_exception_from_payload(std::current_exception()));
        }
        if (error) {
            std::move(*error).restore();
            out = error_result;
        }
        return out;
    } catch (...) {
        abort_at_ffi_boundary();
    }
}

}  // namespace detail

// PyCFunctionFastWithKeywords entries: NULL on error.
template <class Body>
PyObject* trampoline_fastcall(Body&& body) noexcept {
    return detail::guarded_entry<PyObject*>(
        nullptr, body, [](auto&& result) { return std::move(result).value().release(); });
}

// tp_call (ternaryfunc) slots: NULL on error.
template <class Body>
PyObject* trampoline_call(Body&& body) noexcept {
    return detail::guarded_entry<PyObject*>(
        nullptr, body, [](auto&& result) { return std::move(result).value().release(); });
}

// Py_mod_exec slots: 0 on success, -1 with an exception set on error.
template <class Body>
int trampoline_module_exec(Body&& body) noexcept {
    return detail::guarded_entry<int>(-1, body, [](auto&&) { return 0; });
}

// tp_dealloc slots: the body cannot report an error; a fault aborts through the trap.
template <class Body>
void trampoline_dealloc(Body&& body) noexcept {
    try {
        AttachGuard guard = AttachGuard::assume();
        body();
    } catch (...) {
        abort_at_ffi_boundary();
    }
}

}  // namespace morvane::binding
