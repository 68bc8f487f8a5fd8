#include "binding/exit_gate.hpp"

#include <new>

#include "binding/py_ref.hpp"

namespace morvane::binding {

namespace {

// This thread's own places in the gate (its share of inside_). Only the fork handler reads
// another count than its thread's, and it runs on the only thread the child has.
thread_local std::size_t inside_here = 0;

// Closes the gate with the interpreter lock given up, so that threads already inside (waiting for
// the lock, or holding it between two switches) can finish and leave. Lock held.
void close_with_lock_given_up() {
    PyThreadState* saved = PyEval_SaveThread();
    ExitGate::instance().close_and_drain();
    PyEval_RestoreThread(saved);
}

// The at-exit hook.
PyObject* close_exit_gate(PyObject*, PyObject*) {
    close_with_lock_given_up();
    Py_RETURN_NONE;
}

PyMethodDef kCloseExitGate = {"_morvane_close_exit_gate", close_exit_gate, METH_NOARGS, nullptr};

// True once threading._shutdown has run: it marks the main thread done, and Py_FinalizeEx runs it
// before the at-exit functions. A process that has not imported `threading` has not run it.
PyResult<bool> exit_has_begun() {
    PyRef name = PyRef::steal(PyUnicode_FromString("threading"));
    if (!name) return PyErr::fetch();
    PyRef threading = PyRef::steal(PyImport_GetModule(name.get()));
    if (!threading) {
        if (PyErr_Occurred()) return PyErr::fetch();
        return false;
    }
    PyRef main = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return PyErr::fetch();
    PyRef alive = PyRef::steal(PyObject_CallMethod(main.get(), "is_alive", nullptr));
    if (!alive) return PyErr::fetch();
    const int truth = PyObject_IsTrue(alive.get());
    if (truth < 0) return PyErr::fetch();
    return truth == 0;
}

}  // namespace

ExitGate& ExitGate::instance() noexcept {
    // Never destroyed: blocking threads may still pass it while the process exits.
    static ExitGate* const gate = new ExitGate();
    return *gate;
}

PyResult<void> ExitGate::install() {
    if (installed_) return {};
    PyResult<bool> exiting = exit_has_begun();
    if (!exiting.ok()) return std::move(exiting).error();
    if (exiting.value()) {
        // A hook registered now may never run: close at once. No job has started before the
        // first install, so nobody is inside and nothing is waited for.
        close_with_lock_given_up();
        installed_ = true;
        return {};
    }
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
    ++inside_here;
    return true;
}

void ExitGate::leave() noexcept {
    std::lock_guard lock(mutex_);
    --inside_here;
    --inside_;
    if (closed_) left_.notify_all();  // the closer waits for a count that may not be zero
}

bool ExitGate::closed() noexcept {
    std::lock_guard lock(mutex_);
    return closed_;
}

void ExitGate::close_and_drain() noexcept {
    std::unique_lock lock(mutex_);
    closed_ = true;
    // The closing thread's own places cannot be given back while it waits: a thread inside that
    // runs the at-exit hooks (as the only thread of a child forked inside the gate may) leaves
    // once the hook has returned, and no other thread of ours runs Python code from then on.
    left_.wait(lock, [this] {
        if (inside_ == inside_here) return true;
        if (auto waits = testing::closing_waits.load(std::memory_order_relaxed)) waits();
        return false;
    });
}

void ExitGate::reset_after_fork() noexcept {
    // The old mutex and condition variable may be in any state; they are abandoned, not destroyed.
    ::new (&mutex_) std::mutex();
    ::new (&left_) std::condition_variable();
    inside_ = inside_here;
}

}  // namespace morvane::binding
