#include "bridge/to_python.hpp"

namespace morvane::bridge {

binding::PyResult<binding::PyRef> ToPython<std::vector<std::string>>::convert(
    std::vector<std::string>&& value) {
    binding::PyRef list = binding::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return binding::PyErr::fetch();
    Py_ssize_t index = 0;
    for (const std::string& text : value) {
        PyObject* item =
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        // The list's remaining slots are NULL, which list deallocation accepts.
        if (item == nullptr) return binding::PyErr::fetch();
        PyList_SET_ITEM(list.get(), index++, item);  // steals `item`
    }
    return list;
}

}  // namespace morvane::bridge
