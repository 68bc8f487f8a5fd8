#pragma once
// The bridge's process-wide Python caches. Each is filled at most once per process through the
// OnceCache protocol (the interpreter lock is given up while waiting for another thread's fill)
// and never released. A failed import or lookup leaves its cache empty, so the next call retries.
//
// Once looked up, `asyncio.get_running_loop` is never looked up again: replacing it later in
// Python is not seen.
#include "binding/python.hpp"

#include "binding/once_cache.hpp"
#include "binding/pyerr.hpp"

namespace morvane::bridge {

// The `asyncio` module (borrowed, lives for the process). Lock held.
binding::PyResult<PyObject*> asyncio_module();
// `asyncio.get_running_loop` (borrowed, lives for the process). Lock held.
binding::PyResult<PyObject*> get_running_loop_function();
// The `contextvars` module (borrowed, lives for the process). Lock held.
binding::PyResult<PyObject*> contextvars_module();

// Attribute names, interned once per process. `.get()` with the lock held.
namespace names {
extern binding::InternedString add_done_callback;
extern binding::InternedString cancelled;
extern binding::InternedString call_soon_threadsafe;
extern binding::InternedString context;
extern binding::InternedString copy_context;
extern binding::InternedString create_future;
extern binding::InternedString get_running_loop;
extern binding::InternedString set_exception;
extern binding::InternedString set_result;
}  // namespace names

}  // namespace morvane::bridge
