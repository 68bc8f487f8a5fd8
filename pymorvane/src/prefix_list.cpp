#include "pymorvane/src/prefix_list.hpp"

namespace pymorvane {

using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;

namespace {

// Fills `list` (sized to `words`) with a str per word. `make` turns one word's bytes into a new
// str; the choice between ASCII and UTF-8 is made once per reply, not per word.
template <class MakeStr>
PyResult<PyRef> fill(PyRef list, const morvane::irr::WordList& words, MakeStr make) {
    PyObject* const target = list.get();
    const char* const text = words.text();
    Py_ssize_t index = 0;
    for (const morvane::irr::WordSpan span : words.spans()) {
        PyObject* item = make(text + span.offset, span.length);
        // The list's remaining slots are NULL, which list deallocation accepts.
        if (item == nullptr) return PyErr::fetch();
        PyList_SET_ITEM(target, index++, item);  // steals `item`
    }
    return list;
}

}  // namespace

PyResult<PyRef> prefix_list(morvane::irr::WordList&& words) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(words.size())));
    if (!list) return PyErr::fetch();
    if (words.ascii()) return fill(std::move(list), words, morvane::bridge::new_ascii_str);
    // Validated as UTF-8 by the reader.
    return fill(std::move(list), words, [](const char* data, std::uint32_t size) {
        return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
    });
}

}  // namespace pymorvane
