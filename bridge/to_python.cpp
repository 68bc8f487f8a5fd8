#include "bridge/to_python.hpp"

#include <cstdint>
#include <cstring>

namespace morvane::bridge {

namespace {

bool is_ascii(const char* data, std::size_t size) {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        high |= word;
    }
    for (; i < size; ++i) high |= static_cast<unsigned char>(data[i]);
    return (high & 0x8080808080808080ULL) == 0;
}

// A new str holding `text`. ASCII text (every prefix a registry sends) is copied straight into a
// new compact ASCII str, skipping the decoder; one character or less keeps the decoder's shared
// single-character strs; anything else is decoded as UTF-8.
PyObject* new_text(const std::string& text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (size > 1 && is_ascii(text.data(), text.size())) {
        PyObject* item = PyUnicode_New(size, 127);
        if (item != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(item), text.data(), text.size());
        return item;
    }
    return PyUnicode_FromStringAndSize(text.data(), size);
}

}  // namespace

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
