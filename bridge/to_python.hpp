#pragma once
// ToPython<T>: how a bridged job's success value becomes a Python object. Specialize it for each
// success type a job may produce:
//
//   template <> struct morvane::bridge::ToPython<MyValue> {
//       static binding::PyResult<binding::PyRef> convert(MyValue&& value);  // lock held
//   };
//
// The conversion runs on a blocking-pool thread with the interpreter lock held, at most once per
// job, and only if the future is not cancelled by then. An error it returns (e.g. MemoryError)
// is delivered to the future with set_exception like any other error outcome.
#include "binding/python.hpp"

#include <concepts>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"

namespace morvane::bridge {

template <class T>
struct ToPython;  // no default: a job whose value has no conversion does not compile

// An object made by the job itself (with the lock held) is delivered as it is.
template <>
struct ToPython<binding::PyRef> {
    static binding::PyResult<binding::PyRef> convert(binding::PyRef&& value) {
        return std::move(value);
    }
};

// A list of texts: a new list with one str per element, in order, sized up front; an ASCII text
// skips the decoder (new_ascii_str). Texts must be UTF-8; a text that is not gives
// UnicodeDecodeError. (The route-fetch job's prefixes are no such list: they stay in the reply's
// buffer as a WordList, which pymorvane/ converts with the same new_ascii_str.)
template <>
struct ToPython<std::vector<std::string>> {
    static binding::PyResult<binding::PyRef> convert(std::vector<std::string>&& value);
};

// A new str of `size` bytes of ASCII text (the caller knows them to be ASCII): copied straight
// into a new compact ASCII str, skipping the decoder; a one-character text gets the interpreter's
// shared single-character str. NULL with the error set on failure. Lock held.
PyObject* new_ascii_str(const char* data, std::size_t size);

template <class T>
concept ConvertibleToPython = requires(T&& value) {
    { ToPython<T>::convert(std::move(value)) } -> std::same_as<binding::PyResult<binding::PyRef>>;
};

}  // namespace morvane::bridge
