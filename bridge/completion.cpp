#include "bridge/completion.hpp"

namespace morvane::bridge {

namespace detail {

bool cancelled_or_print(PyObject* future) {
    binding::PyResult<bool> answer = cancelled(future);
    if (answer.ok()) return answer.value();
    std::move(answer).error().print();
    return false;
}

void deliver(const TaskLocals& locals, PyObject* future,
             binding::PyResult<binding::PyRef> outcome) {
    binding::PyRef loop = binding::PyRef::borrow(locals.event_loop());
    binding::PyResult<void> scheduled = set_result(loop.get(), future, std::move(outcome));
    if (!scheduled.ok()) std::move(scheduled).error().print();
}

}  // namespace detail

void FaultCompletion::operator()() {
    binding::AttachGuard guard = binding::AttachGuard::attach();
    std::exception_ptr fault = std::move(payload);
    binding::PyRef fut = std::move(future);
    TaskLocals call_locals = std::move(locals);
    if (detail::cancelled_or_print(fut.get())) return;
    binding::PyErr panic =
        binding::PyErr::new_deferred(&future_panic_type, future_panic_message(fault));
    detail::deliver(call_locals, fut.get(), std::move(panic));
}

}  // namespace morvane::bridge
