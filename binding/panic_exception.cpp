#include "binding/panic_exception.hpp"

#include <cstdio>
#include <string_view>
#include <utility>

#include "base/fault.hpp"
#include "binding/once_cache.hpp"

namespace morvane::binding {

namespace {

constexpr const char* kPanicExceptionDoc =
    "Raised when native code hits an internal fault while Python called into it.\n\n"
    "It derives from BaseException, like SystemExit, so that `except Exception` does not\n"
    "swallow it.";

constinit OnceCache<PyRef> PANIC_EXCEPTION;

}  // namespace

PyObject* panic_exception_type() {
    if (const PyRef* cached = PANIC_EXCEPTION.peek()) return cached->get();
    const PyRef& type = PANIC_EXCEPTION.get_or_init([] {
        PyObject* created = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) {
            // Keep the interpreter's reason visible; the fault replaces it.
            PyErr_WriteUnraisable(nullptr);
            throw Fault("Failed to initialize new exception type.");
        }
        return PyRef::steal(created);
    });
    return type.get();
}

PyObject* panic_exception_type_if_created() noexcept {
    const PyRef* cached = PANIC_EXCEPTION.peek();
    return cached != nullptr ? cached->get() : nullptr;
}

PyErr new_panic_exception(std::string message) {
    return PyErr::new_deferred(&panic_exception_type, std::move(message));
}

PyErr panic_exception_from_payload(std::exception_ptr payload) {
    std::string message = fault_text(payload);
    payload = nullptr;  // the payload is dropped once its message is taken
    return new_panic_exception(std::move(message));
}

void resume_panic(PyRef exception) {
    std::string message = "Unwrapped panic from Python code";
    if (PyObject* text = PyObject_Str(exception.get())) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
            message.assign(utf8, std::size_t(size));
        } else {
            PyErr_Clear();
        }
        Py_DECREF(text);
    } else {
        PyErr_Clear();
    }
    std::fputs(
        "--- PanicException from Python code: an internal fault went through Python and came "
        "back into native code; resuming it ---\n",
        stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw Fault(message);
}

}  // namespace morvane::binding
