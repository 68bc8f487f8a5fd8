#include "binding/once_cache.hpp"

namespace morvane::binding {

PyResult<PyObject*> InternedString::get() {
    PyResult<const PyRef*> cached = cache_.get_or_try_init([this]() -> PyResult<PyRef> {
        PyObject* text = PyUnicode_FromStringAndSize(text_.data(), Py_ssize_t(text_.size()));
        if (text == nullptr) return PyErr::fetch();
        PyUnicode_InternInPlace(&text);
        return PyRef::steal(text);
    });
    if (!cached.ok()) return std::move(cached).error();
    return cached.value()->get();
}

}  // namespace morvane::binding
