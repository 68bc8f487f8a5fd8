#include "bridge/future_panic.hpp"

#include "base/fault.hpp"
#include "binding/once_cache.hpp"
#include "binding/py_ref.hpp"

namespace morvane::bridge {

namespace {
binding::OnceCache<binding::PyRef> FUTURE_PANIC;
}  // namespace

PyObject* future_panic_type() {
    const binding::PyRef& type = FUTURE_PANIC.get_or_init([] {
        PyObject* created =
            PyErr_NewExceptionWithDoc(kFuturePanicName, nullptr, PyExc_Exception, nullptr);
        if (created == nullptr) {
            // Not a Python error the caller could handle: the class is part of the system.
            PyErr_Clear();
            throw Fault("Failed to initialize new exception type.");
        }
        return binding::PyRef::steal(created);
    });
    return type.get();
}

std::string future_panic_message(const std::exception_ptr& payload) {
    std::string message = kFuturePanicPrefix;
    message += ": ";
    message += fault_text(payload);
    return message;
}

}  // namespace morvane::bridge
