#include "pymorvane/src/prefix_list.hpp"

namespace morvane::bridge {

namespace {

// Fills `list` (sized to `words`) with a str per word. `make` turns one word's bytes into a new
// str; the choice between ASCII and UTF-8 is made once per reply, not per word.
template <class MakeStr>
binding::PyResult<binding::PyRef> fill(binding::PyRef list, const irr::WordList& words,
                                       MakeStr make) {
    PyObject* const target = list.get();
    const char* const text = words.text();
    Py_ssize_t index = 0;
    for (const irr::WordSpan span : words.spans()) {
        PyObject* item = make(text + span.offset, span.length);
        // The list's remaining slots are NULL, which list deallocation accepts.
        if (item == nullptr) return binding::PyErr::fetch();
        PyList_SET_ITEM(target, index++, item);  // steals `item`
    }
    return list;
}

}  // namespace

binding::PyResult<binding::PyRef> ToPython<irr::WordList>::convert(irr::WordList&& words) {
    binding::PyRef list = binding::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(words.size())));
    if (!list) return binding::PyErr::fetch();
    if (words.ascii()) return fill(std::move(list), words, new_ascii_str);
    // Validated as UTF-8 by the reader.
    return fill(std::move(list), words, [](const char* data, std::uint32_t size) {
        return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
    });
}

}  // namespace morvane::bridge
