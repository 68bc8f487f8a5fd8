#pragma once
// The bridge's ordinary Python calls on asyncio loop and future objects. All need the interpreter
// lock; each returns the exception the call raised as a PyErr.
#include "binding/python.hpp"

#include <cstddef>
#include <span>

#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"

namespace morvane::bridge {

// event_loop.create_future()
binding::PyResult<binding::PyRef> create_future(PyObject* event_loop);

// bool(future.cancelled())
binding::PyResult<bool> cancelled(PyObject* future);

// future.add_done_callback(callback); the return value is discarded.
binding::PyResult<void> add_done_callback(PyObject* future, PyObject* callback);

// event_loop.call_soon_threadsafe(*args, context=context); the returned handle is discarded.
// At most kMaxScheduledArgs positional arguments (borrowed).
inline constexpr std::size_t kMaxScheduledArgs = 4;
binding::PyResult<void> call_soon_threadsafe(PyObject* event_loop, PyObject* context,
                                             std::span<PyObject* const> args);

// Schedules the completion of `future` on its loop's thread:
//   event_loop.call_soon_threadsafe(CheckedCompletor(), future, complete, value, context=None)
// where (complete, value) is (future.set_result, the object) for a success outcome and
// (future.set_exception, the normalized exception) for an error outcome. The context is always
// None, not the captured one: asyncio then runs the completor in a fresh copy of this thread's
// context. Consumes `outcome` (released on every path). Lock held, any thread.
binding::PyResult<void> set_result(PyObject* event_loop, PyObject* future,
                                   binding::PyResult<binding::PyRef> outcome);

}  // namespace morvane::bridge
