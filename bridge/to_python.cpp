#include "bridge/to_python.hpp"

#include <cstdint>
#include <cstring>

#include "base/utf8.hpp"

namespace morvane::bridge {

namespace {

// A new str holding `text`: ASCII text (every prefix a registry sends) without the decoder, an
// empty text as the shared empty str, anything else decoded as UTF-8.
PyObject* new_text(const std::string& text) {
    if (!text.empty() && is_ascii(text)) return new_ascii_str(text.data(), text.size());
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

PyObject* new_ascii_str(const char* data, std::size_t size) {
    // Py_ssize_t and size_t agree on every text that fits in memory.
    if (size == 1) return PyUnicode_FromStringAndSize(data, 1);
    PyObject* item = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (item == nullptr) return nullptr;
    char* const dst = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(item));
    // Prefixes are 9 to 43 bytes: two overlapping 8-byte moves copy up to 16 without a call.
    if (size >= 8 && size <= 16) {
        std::uint64_t head, tail;
        std::memcpy(&head, data, 8);
        std::memcpy(&tail, data + size - 8, 8);
        std::memcpy(dst, &head, 8);
        std::memcpy(dst + size - 8, &tail, 8);
    } else {
        std::memcpy(dst, data, size);
    }
    return item;
}

binding::PyResult<binding::PyRef> ToPython<std::vector<std::string>>::convert(
    std::vector<std::string>&& value) {
    binding::PyRef list = binding::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return binding::PyErr::fetch();
    Py_ssize_t index = 0;
    for (const std::string& text : value) {
        PyObject* item = new_text(text);
        // The list's remaining slots are NULL, which list deallocation accepts.
        if (item == nullptr) return binding::PyErr::fetch();
        PyList_SET_ITEM(list.get(), index++, item);  // steals `item`
    }
    return list;
}

}  // namespace morvane::bridge
