#include "binding/pyerr.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#include "base/fault.hpp"
#include "binding/attach_guard.hpp"
#include "binding/panic_exception.hpp"

namespace morvane::binding {

namespace {
constexpr const char* kNotAnException = "exceptions must derive from BaseException";
constexpr const char* kNoneSet = "attempted to fetch exception but none was set";
}  // namespace

struct PyErr::State {
    struct Deferred {
        // Builtin static type, getter (lock held), or owned type reference.
        std::variant<PyObject*, TypeGetter, PyRef> type;
        std::variant<std::string, PyRef> argument;
        LocaleText locale_text{};  // within a string argument; empty: all of it is UTF-8
    };

    explicit State(Deferred deferred) : inner(std::move(deferred)) {}
    explicit State(PyRef ready) : inner(std::move(ready)) {}

    std::variant<Deferred, PyRef> inner;  // PyRef: the ready exception object

    // Normalization lock: which thread is normalizing, and a wake-up for others waiting on it.
    std::mutex mutex;
    std::condition_variable normalized;
    std::optional<std::thread::id> normalizing;
};

namespace {

using State = PyErr::State;

State& checked(const std::unique_ptr<State>& state) {
    if (!state) throw Fault("PyErr used after it was consumed");
    return *state;
}

PyObject* deferred_type(const State::Deferred& deferred) {
    if (auto* getter = std::get_if<PyErr::TypeGetter>(&deferred.type)) return (*getter)();
    if (auto* owned = std::get_if<PyRef>(&deferred.type)) return owned->get();
    return std::get<PyObject*>(deferred.type);
}

// Bytes that should be UTF-8 as a new str; NULL with the error set. A byte that does not decode
// becomes U+FFFD, so that an error stays of its own type with a readable message instead of
// turning into a UnicodeDecodeError. Lock held.
PyRef utf8_str(std::string_view bytes) {
    return PyRef::steal(PyUnicode_DecodeUTF8(bytes.data(), Py_ssize_t(bytes.size()), "replace"));
}

// The message as a new str: UTF-8 around the C library's text, which is decoded as the
// interpreter decodes its own (PyErr_SetFromErrno, os.strerror): with the locale's codec, bytes
// it cannot decode kept as surrogates. NULL with the error set. Lock held.
PyRef message_str(const std::string& message, PyErr::LocaleText locale_text) {
    const std::size_t offset = std::min(locale_text.offset, message.size());
    const std::size_t size = std::min(locale_text.size, message.size() - offset);
    if (size == 0) return utf8_str(message);
    const std::string_view all(message);
    PyRef head = utf8_str(all.substr(0, offset));
    if (!head) return head;
    // The decoder wants a terminated text of its own.
    const std::string own(all.substr(offset, size));
    PyRef text = PyRef::steal(PyUnicode_DecodeLocale(own.c_str(), "surrogateescape"));
    if (!text) return text;
    PyRef tail = utf8_str(all.substr(offset + size));
    if (!tail) return tail;
    return PyRef::steal(PyUnicode_FromFormat("%U%U%U", head.get(), text.get(), tail.get()));
}

// Sets the deferred error as the pending exception without consuming it. Lock held.
void raise_deferred(const State::Deferred& deferred) {
    PyObject* type = deferred_type(deferred);
    if (type == nullptr || !PyExceptionClass_Check(type)) {
        PyErr_SetString(PyExc_TypeError, kNotAnException);
        return;
    }
    if (auto* owned = std::get_if<PyRef>(&deferred.argument)) {
        PyErr_SetObject(type, owned->get());
        return;
    }
    PyRef value = message_str(std::get<std::string>(deferred.argument), deferred.locale_text);
    if (!value) return;  // the decoder's error (memory) is now pending instead
    PyErr_SetObject(type, value.get());
}

}  // namespace

PyErr::PyErr(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
PyErr::PyErr(PyErr&&) noexcept = default;
PyErr& PyErr::operator=(PyErr&&) noexcept = default;
PyErr::~PyErr() = default;

PyErr PyErr::new_deferred(PyObject* static_type, std::string message) {
    return PyErr(std::make_unique<State>(State::Deferred{static_type, std::move(message)}));
}

PyErr PyErr::new_deferred(TypeGetter type, std::string message) {
    return PyErr(std::make_unique<State>(State::Deferred{type, std::move(message)}));
}

PyErr PyErr::new_deferred(PyRef type, std::string message) {
    return PyErr(std::make_unique<State>(State::Deferred{std::move(type), std::move(message)}));
}

PyErr PyErr::new_deferred(PyObject* static_type, PyRef argument) {
    return PyErr(std::make_unique<State>(State::Deferred{static_type, std::move(argument)}));
}

PyErr PyErr::new_deferred(PyObject* static_type, std::string message, LocaleText locale_text) {
    return PyErr(
        std::make_unique<State>(State::Deferred{static_type, std::move(message), locale_text}));
}

PyErr PyErr::from_value(PyRef exception) {
    if (!exception || !PyExceptionInstance_Check(exception.get())) {
        return new_deferred(PyExc_TypeError, std::string(kNotAnException));
    }
    return PyErr(std::make_unique<State>(std::move(exception)));
}

std::optional<PyErr> PyErr::take() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) return std::nullopt;
    PyObject* panic = panic_exception_type_if_created();
    if (panic != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic) {
        resume_panic(std::move(exception));
    }
    return PyErr(std::make_unique<State>(std::move(exception)));
}

PyErr PyErr::fetch() {
    if (std::optional<PyErr> pending = take()) return std::move(*pending);
    return new_deferred(PyExc_SystemError, std::string(kNoneSet));
}

void PyErr::restore() && {
    std::unique_ptr<State> state = std::move(state_);
    checked(state);
    if (auto* ready = std::get_if<PyRef>(&state->inner)) {
        PyErr_SetRaisedException(ready->release());
        return;
    }
    raise_deferred(std::get<State::Deferred>(state->inner));
}

void PyErr::print() && {
    std::move(*this).restore();
    PyErr_PrintEx(1);
}

PyObject* PyErr::value() {
    State& state = checked(state_);
    const std::thread::id self = std::this_thread::get_id();
    {
        std::unique_lock lock(state.mutex);
        if (state.normalizing == self) {
            throw Fault("Re-entrant normalization of PyErrState detected");
        }
        if (state.normalizing) {
            // Another thread is normalizing (it had the interpreter lock and gave it up inside
            // Python code). Wait for it without holding the interpreter lock.
            lock.unlock();
            {
                DetachScope detached;
                std::unique_lock wait_lock(state.mutex);
                state.normalized.wait(wait_lock, [&] { return !state.normalizing.has_value(); });
            }
            lock.lock();
        }
        if (auto* ready = std::get_if<PyRef>(&state.inner)) return ready->get();
        state.normalizing = self;
    }
    // Build the exception object with the normalization lock released (the builder runs Python
    // code), then publish it.
    auto finish = [&](std::optional<PyRef> built) {
        std::lock_guard lock(state.mutex);
        if (built) state.inner = std::move(*built);
        state.normalizing.reset();
        state.normalized.notify_all();
    };
    try {
        raise_deferred(std::get<State::Deferred>(state.inner));
    } catch (...) {
        finish(std::nullopt);
        throw;
    }
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        // Cannot happen (raise_deferred always sets an exception); keep the invariant anyway.
        PyErr_SetString(PyExc_SystemError, kNoneSet);
        exception = PyRef::steal(PyErr_GetRaisedException());
    }
    PyObject* borrowed = exception.get();
    finish(std::move(exception));
    return borrowed;
}

PyRef PyErr::into_value() && {
    PyObject* exception = value();
    PyRef owned = PyRef::borrow(exception);
    state_.reset();
    return owned;
}

PyObject* PyErr::get_type() {
    State& state = checked(state_);
    const State::Deferred* deferred = nullptr;
    {
        std::lock_guard lock(state.mutex);
        if (!state.normalizing) deferred = std::get_if<State::Deferred>(&state.inner);
    }
    // The deferred data is immutable until normalization replaces it, and only the owner (this
    // thread) normalizes, so it is read without the mutex: the getter may release the lock.
    if (deferred != nullptr) {
        PyObject* type = deferred_type(*deferred);
        if (type != nullptr && PyExceptionClass_Check(type)) return type;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(value()));
}

bool PyErr::matches(PyObject* type) {
    return PyErr_GivenExceptionMatches(get_type(), type) != 0;
}

}  // namespace morvane::binding
