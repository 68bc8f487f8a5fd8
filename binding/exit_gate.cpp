#include "binding/exit_gate.hpp"

#include <new>

#include "binding/py_ref.hpp"

namespace morvane::binding {

namespace {

// The at-exit hook: closes the gate with the interpreter lock given up, so that threads already
// inside (waiting for the lock, or holding it between two switches) can finish and leave.
PyObject* close_exit_gate(PyObject*, PyObject*) {
    PyThreadState* saved = PyEval_SaveThread();
    ExitGate::instance().close_and_drain();
    PyEval_RestoreThread(saved);
    Py_RETURN_NONE;
}

PyMethodDef kCloseExitGate = {"_morvane_close_exit_gate", close_exit_gate, METH_NOARGS, nullptr};

}  // namespace

ExitGate& ExitGate::instance() noexcept {
    // Never destroyed: blocking threads may still pass it while the process exits.
    static ExitGate* const gate = [] {
        auto* created = new ExitGate();
        created->enlist_for_fork();
        return created;
    }();
    return *gate;
}

PyResult<void> ExitGate::install() {
    if (installed_) return {};
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return PyErr::fetch();
    PyRef hook = PyRef::steal(PyCFunction_New(&kCloseExitGate, nullptr));
    if (!hook) return PyErr::fetch();
    PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!done) return PyErr::fetch();
    installed_ = true;
    return {};
}

bool ExitGate::enter() noexcept {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    ++inside_;
    return true;
}

void ExitGate::leave() noexcept {
    std::lock_guard lock(mutex_);
    if (--inside_ == 0 && closed_) left_.notify_all();
}

bool ExitGate::closed() noexcept {
    std::lock_guard lock(mutex_);
    return closed_;
}

void ExitGate::close_and_drain() noexcept {
    std::unique_lock lock(mutex_);
    closed_ = true;
    left_.wait(lock, [this] { return inside_ == 0; });
}

void ExitGate::reset_after_fork() noexcept {
    // The old mutex and condition variable may be in any state; they are abandoned, not destroyed.
    ::new (&mutex_) std::mutex();
    ::new (&left_) std::condition_variable();
    inside_ = 0;
}

}  // namespace morvane::binding
