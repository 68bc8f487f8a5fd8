#pragma once
// PyErr: the error value that crosses into the interpreter.
//
// Two forms:
//  - deferred: an exception type and its single argument (a message text, or an object), kept as
//    plain data. Creating, moving and dropping a deferred error needs no interpreter lock, so
//    runtime threads make them freely. The type is a builtin exception (PyExc_ConnectionError: an
//    immortal static object, read without the lock), a getter run with the lock held (for lazily
//    created types such as PanicException), or an owned reference.
//  - ready: one exception object as PyErr_GetRaisedException hands it out.
// A deferred error is normalized (becomes ready) at most once; normalizing it again from the same
// thread while the first normalization runs is the fault "Re-entrant normalization of PyErrState
// detected". Each PyErr has one owner; dropping it releases its data (an object reference goes
// through the ReferencePool rule, so dropping without the lock is fine).
//
// Everything that builds, raises, fetches or inspects the exception object needs the lock; such
// members say "lock held". A moved-from PyErr may only be assigned to or dropped.
#include "binding/python.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "binding/py_ref.hpp"

namespace morvane::binding {

class PyErr {
  public:
    // Returns a borrowed reference to an exception type. Lock held; may throw morvane::Fault.
    using TypeGetter = PyObject* (*)();

    // Deferred errors; no lock needed.
    static PyErr new_deferred(PyObject* static_type, std::string message);
    static PyErr new_deferred(TypeGetter type, std::string message);
    static PyErr new_deferred(PyRef type, std::string message);
    // Deferred error whose single argument is an object made with the lock held: a str message that
    // UTF-8 cannot carry. (As with PyErr_SetObject, a tuple would be taken as the argument list.)
    static PyErr new_deferred(PyObject* static_type, PyRef argument);

    // The bytes [offset, offset + size) of a message that a C library function wrote (strerror_r,
    // gai_strerror): in the locale's encoding, which need not be UTF-8.
    struct LocaleText {
        std::size_t offset = 0;
        std::size_t size = 0;
    };
    // Deferred error whose message is UTF-8 except for `locale_text`, which is decoded when the
    // error is built with the locale's codec and surrogateescape, as OSError, os.strerror and
    // socket.gaierror decode the same texts. No lock needed.
    static PyErr new_deferred(PyObject* static_type, std::string message, LocaleText locale_text);

    // Ready error from an exception object. If the object is not an exception instance, the error
    // becomes TypeError "exceptions must derive from BaseException". Lock held.
    static PyErr from_value(PyRef exception);

    // Takes the pending exception, if any. A pending PanicException (a fault that went through
    // Python and came back) is not returned: the fault resumes as a morvane::Fault (see
    // panic_exception.hpp). Lock held.
    static std::optional<PyErr> take();
    // take(), or SystemError "attempted to fetch exception but none was set" when nothing is
    // pending. For use right after an interpreter call that signalled failure. Lock held.
    static PyErr fetch();

    PyErr(PyErr&&) noexcept;
    PyErr& operator=(PyErr&&) noexcept;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr();

    // Raises the error into the interpreter (consumes it). Deferred: builds the argument; a type
    // that is not an exception class raises TypeError "exceptions must derive from BaseException".
    // Ready: PyErr_SetRaisedException. Lock held.
    void restore() &&;
    // Raises the error and prints it with PyErr_PrintEx(1) (to sys.stderr, setting sys.last_exc).
    void print() &&;

    // The normalized exception object, borrowed from this error. Lock held.
    PyObject* value();
    // The normalized exception object, as an owned reference (consumes the error). Lock held.
    PyRef into_value() &&;
    // The exception's type, borrowed. Normalizes only if needed to know it. Lock held.
    PyObject* get_type();
    // PyErr_GivenExceptionMatches against the type (subclasses and tuples match). Lock held.
    bool matches(PyObject* type);
    // The type is exactly `type` (identity). Lock held.
    bool is_exactly(PyObject* type) { return get_type() == type; }

    // Implementation state; public only so the .cpp's helpers can name it.
    struct State;

  private:
    explicit PyErr(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

// PyResult<T>: a value or a PyErr. PyResult<void>: success or a PyErr.
template <class T>
class [[nodiscard]] PyResult {
  public:
    PyResult(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
    PyResult(PyErr error) : storage_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return storage_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(storage_); }
    T&& value() && { return std::get<0>(std::move(storage_)); }
    PyErr& error() & { return std::get<1>(storage_); }
    PyErr&& error() && { return std::get<1>(std::move(storage_)); }

  private:
    std::variant<T, PyErr> storage_;
};

template <>
class [[nodiscard]] PyResult<void> {
  public:
    PyResult() noexcept = default;
    PyResult(PyErr error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    PyErr& error() & { return *error_; }
    PyErr&& error() && { return std::move(*error_); }

  private:
    std::optional<PyErr> error_;
};

// Success value of PyResult<void>, for symmetry in bodies: `return ok();`.
inline PyResult<void> ok() noexcept {
    return {};
}

}  // namespace morvane::binding
