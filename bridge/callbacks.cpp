#include "bridge/callbacks.hpp"

#include <array>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "base/fault.hpp"
#include "binding/function_description.hpp"
#include "binding/once_cache.hpp"
#include "binding/trampoline.hpp"
#include "bridge/future_ops.hpp"

namespace morvane::bridge {

using binding::PyErr;
using binding::PyRef;
using binding::PyResult;

namespace {

// Instance layouts. The C++ members are constructed in place after tp_alloc and destroyed in the
// dealloc slot before tp_free.
struct DoneCallbackObject {
    PyObject_HEAD CancelSender sender;  // released (empty) once the signal was sent
};

struct CheckedCompletorObject {
    PyObject_HEAD
};

constexpr std::array<std::string_view, 1> kDoneCallbackParams{"fut"};
constexpr binding::FunctionDescription kDoneCallbackCall{
    .cls_name = "PyDoneCallback",
    .func_name = "__call__",
    .positional_parameter_names = kDoneCallbackParams,
    .positional_only_parameters = 0,
    .required_positional_parameters = 1,
    .keyword_only_parameters = {},
};

constexpr std::array<std::string_view, 3> kCompletorParams{"future", "complete", "value"};
constexpr binding::FunctionDescription kCompletorCall{
    .cls_name = "CheckedCompletor",
    .func_name = "__call__",
    .positional_parameter_names = kCompletorParams,
    .positional_only_parameters = 0,
    .required_positional_parameters = 3,
    .keyword_only_parameters = {},
};

PyObject* done_callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return binding::trampoline_call([&]() -> PyResult<PyRef> {
        std::array<PyObject*, 1> slots{};
        if (PyResult<void> bound =
                binding::extract_arguments_tuple_dict(kDoneCallbackCall, args, kwargs, slots);
            !bound.ok()) {
            return std::move(bound).error();
        }
        bool is_cancelled = false;
        PyResult<bool> answer = cancelled(slots[0]);
        if (answer.ok()) {
            is_cancelled = answer.value();
        } else {
            std::move(answer).error().print();  // treated as not cancelled
        }
        if (is_cancelled) {
            CancelSender sender = std::move(reinterpret_cast<DoneCallbackObject*>(self)->sender);
            (void)sender.send();  // a receiver that is already gone makes this a no-op
        }
        return PyRef::borrow(Py_None);
    });
}

PyObject* checked_completor_call(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::trampoline_call([&]() -> PyResult<PyRef> {
        std::array<PyObject*, 3> slots{};
        if (PyResult<void> bound =
                binding::extract_arguments_tuple_dict(kCompletorCall, args, kwargs, slots);
            !bound.ok()) {
            return std::move(bound).error();
        }
        PyObject* future = slots[0];
        PyObject* complete = slots[1];
        PyObject* value = slots[2];
        // Checked again here, on the loop thread, because the future may have been cancelled
        // after the completion scheduled us.
        PyResult<bool> is_cancelled = cancelled(future);
        if (!is_cancelled.ok()) return std::move(is_cancelled).error();
        if (!is_cancelled.value()) {
            PyRef ignored = PyRef::steal(PyObject_CallOneArg(complete, value));
            if (!ignored) return PyErr::fetch();
        }
        return PyRef::borrow(Py_None);
    });
}

// Heap-type instances own a reference to their type, given back after the memory is freed.
void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

void done_callback_dealloc(PyObject* self) {
    binding::trampoline_dealloc([self] {
        // Still holding the end means the future ended without cancellation: "sender gone".
        reinterpret_cast<DoneCallbackObject*>(self)->sender.~CancelSender();
        free_instance(self);
    });
}

void checked_completor_dealloc(PyObject* self) {
    binding::trampoline_dealloc([self] { free_instance(self); });
}

PyType_Slot kDoneCallbackSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(&done_callback_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&done_callback_dealloc)},
    {0, nullptr},
};
PyType_Spec kDoneCallbackSpec = {
    "builtins.PyDoneCallback",
    sizeof(DoneCallbackObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kDoneCallbackSlots,
};

PyType_Slot kCompletorSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(&checked_completor_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&checked_completor_dealloc)},
    {0, nullptr},
};
PyType_Spec kCompletorSpec = {
    "builtins.CheckedCompletor",
    sizeof(CheckedCompletorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kCompletorSlots,
};

binding::OnceCache<PyRef> DONE_CALLBACK_TYPE;
binding::OnceCache<PyRef> CHECKED_COMPLETOR_TYPE;

PyTypeObject* type_from_spec(binding::OnceCache<PyRef>& cache, PyType_Spec& spec,
                             const char* class_name) {
    const PyRef& type = cache.get_or_init([&] {
        PyRef created = PyRef::steal(PyType_FromSpec(&spec));
        // Frozen so that nothing can patch what the bridge calls on other threads.
        if (!created || PyType_Freeze(reinterpret_cast<PyTypeObject*>(created.get())) < 0) {
            PyErr_WriteUnraisable(nullptr);
            throw Fault(std::string("failed to create the type object of class ") + class_name);
        }
        return created;
    });
    return reinterpret_cast<PyTypeObject*>(type.get());
}

}  // namespace

PyTypeObject* done_callback_type() {
    return type_from_spec(DONE_CALLBACK_TYPE, kDoneCallbackSpec, "PyDoneCallback");
}

PyTypeObject* checked_completor_type() {
    return type_from_spec(CHECKED_COMPLETOR_TYPE, kCompletorSpec, "CheckedCompletor");
}

PyResult<PyRef> new_done_callback(CancelSender sender) {
    PyTypeObject* type = done_callback_type();
    PyRef instance = PyRef::steal(type->tp_alloc(type, 0));
    if (!instance) return PyErr::fetch();
    ::new (&reinterpret_cast<DoneCallbackObject*>(instance.get())->sender)
        CancelSender(std::move(sender));
    return instance;
}

PyResult<PyRef> new_checked_completor() {
    PyTypeObject* type = checked_completor_type();
    PyRef instance = PyRef::steal(type->tp_alloc(type, 0));
    if (!instance) return PyErr::fetch();
    return instance;
}

}  // namespace morvane::bridge
