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

void FaultCompletion::run() {
    if (detail::cancelled_or_print(future_.get())) return;
    binding::PyErr panic =
        binding::PyErr::new_deferred(&future_panic_type, future_panic_message(payload_));
    detail::deliver(locals_, future_.get(), std::move(panic));
}

}  // namespace morvane::bridge
