#pragma once
// The bridge's two Python callback classes. Both are heap types created on first use from a
// PyType_Spec, reported as classes of the module "builtins", registered in no module, frozen once
// created (Python code cannot patch them) and not instantiable from Python: only the bridge makes
// instances. Each defines only __call__ (through the call-slot entry guard, arguments bound by the
// tuple-and-dict binder) and a deallocation slot (through the dealloc guard).
//
//  PyDoneCallback(fut)
//      Attached with future.add_done_callback(); holds the sending end of the call's cancel
//      signal. When the future ends cancelled it sends the signal; if it is deallocated still
//      holding the end (the future ended some other way), the end is released without a signal.
//  CheckedCompletor(future, complete, value)
//      Scheduled on the loop by a completion; calls complete(value) unless the future is
//      cancelled by then. Stateless.
//
// Failing to create either type object reports the pending Python error with
// PyErr_WriteUnraisable and throws morvane::Fault naming the class.
#include "binding/python.hpp"

#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "bridge/cancel_signal.hpp"

namespace morvane::bridge {

// The type objects (borrowed, live for the process). Lock held; may give up and retake the lock on
// first use. Throw morvane::Fault if the type cannot be created.
PyTypeObject* done_callback_type();
PyTypeObject* checked_completor_type();

// A new PyDoneCallback owning `sender`. On failure the sender is released with the error's
// unwinding (without a signal). Lock held.
binding::PyResult<binding::PyRef> new_done_callback(CancelSender sender);
// A new CheckedCompletor. Lock held.
binding::PyResult<binding::PyRef> new_checked_completor();

}  // namespace morvane::bridge
