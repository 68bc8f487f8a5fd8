// Hooks that exercise faults, raise/fetch, the ReferencePool, AttachGuard and OnceCache.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "binding/attach_guard.hpp"
#include "binding/exit_gate.hpp"
#include "binding/once_cache.hpp"
#include "binding/panic_exception.hpp"
#include "binding/reference_pool.hpp"
#include "binding/trampoline.hpp"
#include "testing_module.hpp"

namespace binding_testing {

using morvane::Fault;
using morvane::binding::AttachGuard;
using morvane::binding::DetachScope;
using morvane::binding::InternedString;
using morvane::binding::OnceCache;
using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;
using morvane::binding::ReferencePool;
using morvane::binding::trampoline_fastcall;

namespace {

PyResult<PyRef> owned(PyObject* object) {
    if (object == nullptr) return PyErr::fetch();
    return PyRef::steal(object);
}

PyObject* fault_owned(PyObject*, PyObject* text) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        const char* utf8 = PyUnicode_AsUTF8(text);
        if (utf8 == nullptr) return PyErr::fetch();
        throw Fault(std::string(utf8));
    });
}

PyObject* fault_static(PyObject*, PyObject*) {
    return trampoline_fastcall([]() -> PyResult<PyRef> { throw "static fault text"; });
}

PyObject* fault_other(PyObject*, PyObject*) {
    return trampoline_fastcall([]() -> PyResult<PyRef> { throw 42; });
}

PyObject* panic_exception_type(PyObject*, PyObject*) {
    return trampoline_fastcall([]() -> PyResult<PyRef> {
        return PyRef::borrow(morvane::binding::panic_exception_type());
    });
}

// raise_deferred(type, message): a deferred error of an arbitrary (possibly non-exception) type.
PyObject* raise_deferred(PyObject*, PyObject* args) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyObject* type = nullptr;
        const char* message = nullptr;
        if (!PyArg_ParseTuple(args, "Os", &type, &message)) return PyErr::fetch();
        return PyErr::new_deferred(PyRef::borrow(type), std::string(message));
    });
}

// raise_from_thread(message): a deferred ConnectionError made and dropped on a thread that never
// holds the lock (as runtime threads do), then moved here and raised.
PyObject* raise_from_thread(PyObject*, PyObject* text) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        const char* utf8 = PyUnicode_AsUTF8(text);
        if (utf8 == nullptr) return PyErr::fetch();
        std::string message(utf8);
        std::optional<PyErr> error;
        std::thread([&] {
            PyErr dropped = morvane::binding::new_panic_exception("dropped unraised");
            error.emplace(PyErr::new_deferred(PyExc_ConnectionError, std::move(message)));
        }).join();
        return std::move(*error);
    });
}

// raise_ready(obj): a ready error from an object that may or may not be an exception instance.
PyObject* raise_ready(PyObject*, PyObject* object) {
    return trampoline_fastcall(
        [&]() -> PyResult<PyRef> { return PyErr::from_value(PyRef::borrow(object)); });
}

// fetch_from(callable): calls it; a raised exception is fetched back and raised again.
PyObject* fetch_from(PyObject*, PyObject* callable) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyObject* result = PyObject_CallNoArgs(callable);
        if (result == nullptr) return PyErr::fetch();
        return PyRef::steal(result);
    });
}

// fetch_nothing(): (take() found nothing, the fallback exception object)
PyObject* fetch_nothing(PyObject*, PyObject*) {
    return trampoline_fastcall([]() -> PyResult<PyRef> {
        const bool nothing = !PyErr::take().has_value();
        PyRef fallback = PyErr::fetch().into_value();
        return owned(Py_BuildValue("(OO)", nothing ? Py_True : Py_False, fallback.get()));
    });
}

// normalize_twice(): the builder of a deferred error normalizes that same error again.
PyErr* reentrant_error = nullptr;
PyObject* normalize_reentrantly() {
    reentrant_error->value();
    return PyExc_ValueError;
}
PyObject* normalize_twice(PyObject*, PyObject*) {
    return trampoline_fastcall([]() -> PyResult<PyRef> {
        PyErr error = PyErr::new_deferred(&normalize_reentrantly, "never built");
        reentrant_error = &error;
        struct Reset {
            ~Reset() { reentrant_error = nullptr; }
        } reset;
        return std::move(error).into_value();
    });
}

// drop_while_holding(*objs): a foreign thread drops one reference to each object, in order, while
// this thread keeps the lock. Returns the number of queued references afterwards; nothing drains
// them before the next entry.
PyObject* drop_while_holding(PyObject*, PyObject* args) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        std::vector<PyRef> references;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
            references.push_back(PyRef::borrow(PyTuple_GET_ITEM(args, i)));
        }
        std::thread([&] {  // the thread never needs the lock
            for (PyRef& reference : references) reference.reset();
        })
            .join();
        return owned(PyLong_FromSize_t(ReferencePool::instance().pending()));
    });
}

// drop_detached(obj): a foreign thread drops the last reference to `obj` while this thread has
// given up the lock; retaking the lock drains the pool. Returns the queue length the thread saw.
PyObject* drop_detached(PyObject*, PyObject* object) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyRef reference = PyRef::borrow(object);
        std::size_t seen = 0;
        {
            DetachScope detached;
            std::thread([&] {
                reference.reset();
                seen = ReferencePool::instance().pending();
            }).join();
        }
        return owned(PyLong_FromSize_t(seen));
    });
}

PyObject* attach_depth(PyObject*, PyObject*) {
    return trampoline_fastcall(
        []() -> PyResult<PyRef> { return owned(PyLong_FromSize_t(AttachGuard::depth())); });
}

// attach_in_thread(callable): a foreign thread attaches, nests a second guard, calls `callable`
// and detaches. Returns (depth, nested depth, depth after, callable's result).
PyObject* attach_in_thread(PyObject*, PyObject* callable) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        std::size_t depth = 0, nested = 0, after = 0;
        std::optional<PyResult<PyRef>> result;
        std::string fault;
        {
            DetachScope detached;
            std::thread([&] {
                try {
                    AttachGuard guard = AttachGuard::attach();
                    depth = AttachGuard::depth();
                    {
                        AttachGuard inner = AttachGuard::attach();
                        nested = AttachGuard::depth();
                        result.emplace(owned(PyObject_CallNoArgs(callable)));
                    }
                    after = AttachGuard::depth();
                    // `result` holds references: the joining thread takes them over.
                } catch (const std::exception& e) {
                    fault = e.what();
                }
            }).join();
        }
        if (!fault.empty()) throw Fault(fault);
        if (!result->ok()) return std::move(*result).error();
        PyRef value = std::move(*result).value();
        return owned(Py_BuildValue("(nnnO)", Py_ssize_t(depth), Py_ssize_t(nested),
                                   Py_ssize_t(after), value.get()));
    });
}

// fork_inside_gate(close_while_inside): a foreign thread attaches (taking a place in the exit gate)
// and forks through os.fork; returns the child's pid. In the child, that thread, the only one,
// closes the gate as the child's at-exit hook would (without the lock), either while it is still
// inside or once its guard has ended, and exits with status 0; a gate that miscounts the forking
// thread leaves the child waiting forever.
PyObject* fork_inside_gate(PyObject*, PyObject* close_while_inside) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        const int while_inside = PyObject_IsTrue(close_while_inside);
        if (while_inside < 0) return PyErr::fetch();
        PyResult<PyRef> os = owned(PyImport_ImportModule("os"));
        if (!os.ok()) return std::move(os).error();
        PyResult<PyRef> fork = owned(PyObject_GetAttrString(os.value().get(), "fork"));
        if (!fork.ok()) return std::move(fork).error();
        std::optional<PyResult<PyRef>> pid;
        std::string fault;
        {
            DetachScope detached;
            std::thread([&] {
                try {
                    bool child = false;
                    {
                        AttachGuard guard = AttachGuard::attach();
                        pid.emplace(owned(PyObject_CallNoArgs(fork.value().get())));
                        child = pid->ok() && PyLong_AsLong(pid->value().get()) == 0;
                        if (child && while_inside) {
                            DetachScope unlocked;
                            morvane::binding::ExitGate::instance().close_and_drain();
                        }
                    }
                    if (child) {
                        if (!while_inside) morvane::binding::ExitGate::instance().close_and_drain();
                        ::_exit(0);
                    }
                } catch (const std::exception& e) {
                    fault = e.what();
                }
            }).join();
        }
        if (!fault.empty()) throw Fault(fault);
        return std::move(*pid);
    });
}

// cache_get(index, callable): the value of process-wide cache `index`, filled by `callable()`.
OnceCache<PyRef> caches[8];
PyObject* cache_get(PyObject*, PyObject* args) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        Py_ssize_t index = 0;
        PyObject* callable = nullptr;
        if (!PyArg_ParseTuple(args, "nO", &index, &callable)) return PyErr::fetch();
        if (index < 0 || index >= Py_ssize_t(std::size(caches))) {
            return PyErr::new_deferred(PyExc_IndexError, "no such cache");
        }
        PyRef keep = PyRef::borrow(callable);  // the lock is given up while the cache fills
        PyResult<const PyRef*> value = caches[index].get_or_try_init(
            [&]() -> PyResult<PyRef> { return owned(PyObject_CallNoArgs(keep.get())); });
        if (!value.ok()) return std::move(value).error();
        return value.value()->clone();
    });
}

// cache_get_after_drop(index, [obj], callable): takes obj out of the list, a foreign thread drops
// that last reference (queued in the pool), then cache `index` is filled by `callable()`; the
// fill's own retake of the lock drains the pool, so obj's finalizer runs inside the fill.
PyObject* cache_get_after_drop(PyObject*, PyObject* args) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        Py_ssize_t index = 0;
        PyObject* holder = nullptr;
        PyObject* callable = nullptr;
        if (!PyArg_ParseTuple(args, "nO!O", &index, &PyList_Type, &holder, &callable))
            return PyErr::fetch();
        if (PyList_GET_SIZE(holder) != 1) return PyErr::new_deferred(PyExc_ValueError, "[obj]");
        PyRef dropped = PyRef::borrow(PyList_GET_ITEM(holder, 0));
        if (PyList_SetSlice(holder, 0, 1, nullptr) != 0) return PyErr::fetch();
        std::thread([&] { dropped.reset(); }).join();
        PyRef keep = PyRef::borrow(callable);
        PyResult<const PyRef*> value =
            caches[index % Py_ssize_t(std::size(caches))].get_or_try_init(
                [&]() -> PyResult<PyRef> { return owned(PyObject_CallNoArgs(keep.get())); });
        if (!value.ok()) return std::move(value).error();
        return value.value()->clone();
    });
}

// churn_pool(on): while on, a foreign thread queues references to None (immortal: releasing them
// does nothing) without pause, so the pool's mutex is held much of the time, as it is by runtime
// threads under load. A process forked meanwhile may inherit the mutex held.
std::atomic<bool> churning{false};
PyObject* churn_pool(PyObject*, PyObject* on) {
    const bool start = PyObject_IsTrue(on) == 1;
    if (start && !churning.exchange(true)) {
        std::thread([] {
            while (churning.load(std::memory_order_relaxed)) {
                for (int i = 0; i < 64; ++i) ReferencePool::instance().register_decref(Py_None);
                std::this_thread::yield();
            }
        }).detach();
    } else if (!start) {
        churning.store(false);
    }
    Py_RETURN_NONE;
}

constinit InternedString kInterned{"binding_testing_interned_name"};
PyObject* interned(PyObject*, PyObject*) {
    return trampoline_fastcall([]() -> PyResult<PyRef> {
        PyResult<PyObject*> text = kInterned.get();
        if (!text.ok()) return std::move(text).error();
        return PyRef::borrow(text.value());
    });
}

// probe_attach_at_exit(): at the very end of interpreter shutdown (Py_AtExit), a fresh thread
// tries to attach; it must get the finalizing fault instead of entering a dead interpreter.
void attach_after_finalization() {
    std::thread([] {
        try {
            AttachGuard guard = AttachGuard::attach();
            std::fputs("attach-at-exit: attached\n", stderr);
        } catch (const Fault& fault) {
            std::fprintf(stderr, "attach-at-exit: %s\n", fault.what());
        }
    }).join();
}
PyObject* probe_attach_at_exit(PyObject*, PyObject*) {
    return trampoline_fastcall([]() -> PyResult<PyRef> {
        if (Py_AtExit(&attach_after_finalization) != 0) throw Fault("Py_AtExit failed");
        return PyRef::borrow(Py_None);
    });
}

}  // namespace

PyMethodDef hook_methods[] = {{"fault_owned", fault_owned, METH_O, nullptr},
                              {"fault_static", fault_static, METH_NOARGS, nullptr},
                              {"fault_other", fault_other, METH_NOARGS, nullptr},
                              {"panic_exception_type", panic_exception_type, METH_NOARGS, nullptr},
                              {"raise_deferred", raise_deferred, METH_VARARGS, nullptr},
                              {"raise_ready", raise_ready, METH_O, nullptr},
                              {"raise_from_thread", raise_from_thread, METH_O, nullptr},
                              {"fetch_from", fetch_from, METH_O, nullptr},
                              {"fetch_nothing", fetch_nothing, METH_NOARGS, nullptr},
                              {"normalize_twice", normalize_twice, METH_NOARGS, nullptr},
                              {"drop_while_holding", drop_while_holding, METH_VARARGS, nullptr},
                              {"drop_detached", drop_detached, METH_O, nullptr},
                              {"attach_depth", attach_depth, METH_NOARGS, nullptr},
                              {"attach_in_thread", attach_in_thread, METH_O, nullptr},
                              {"fork_inside_gate", fork_inside_gate, METH_O, nullptr},
                              {"cache_get", cache_get, METH_VARARGS, nullptr},
                              {"churn_pool", churn_pool, METH_O, nullptr},
                              {"cache_get_after_drop", cache_get_after_drop, METH_VARARGS, nullptr},
                              {"interned", interned, METH_NOARGS, nullptr},
                              {"probe_attach_at_exit", probe_attach_at_exit, METH_NOARGS, nullptr},
                              {nullptr, nullptr, 0, nullptr}};

}  // namespace binding_testing
