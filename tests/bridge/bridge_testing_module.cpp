// _bridge_testing: a test-only extension module that runs scripted jobs through the real bridge.
//
// Every job records, under an integer tag, how often it was polled and whether it was destroyed
// (probe(tag)); a job may first yield a number of times (waking itself) and/or wait for a gate
// that Python opens (open_gate(gate)), then performs its action: return a value, return a Python
// exception value, throw a fault, return a list of texts, or return the TaskLocals it sees.
#include "binding/python.hpp"

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "binding/function_description.hpp"
#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "binding/reference_pool.hpp"
#include "binding/trampoline.hpp"
#include "bridge/callbacks.hpp"
#include "bridge/future_into_py.hpp"
#include "bridge/future_panic.hpp"
#include "bridge/task_locals.hpp"

using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;
namespace bridge = morvane::bridge;
namespace rt = morvane::runtime;

// What a job's output looks like in Python when it is its TaskLocals: (event_loop, context).
template <>
struct morvane::bridge::ToPython<bridge::TaskLocals> {
    static PyResult<PyRef> convert(bridge::TaskLocals&& locals) {
        PyRef pair = PyRef::steal(PyTuple_Pack(2, locals.event_loop(), locals.context()));
        if (!pair) return PyErr::fetch();
        return pair;
    }
};

namespace {

std::atomic<long> g_live_jobs{0};

struct ProbeState {
    std::atomic<int> polls{0};
    std::atomic<bool> destroyed{false};
};

class Gate {
  public:
    // True if open; otherwise the waker is kept for open().
    bool pass(const rt::Waker& waker) {
        std::lock_guard lock(mutex_);
        if (open_) return true;
        waiters_.push_back(waker);
        return false;
    }
    void open() {
        std::vector<rt::Waker> waiters;
        {
            std::lock_guard lock(mutex_);
            open_ = true;
            waiters.swap(waiters_);
        }
        for (const rt::Waker& waker : waiters) waker.wake();
    }

  private:
    std::mutex mutex_;
    bool open_ = false;
    std::vector<rt::Waker> waiters_;
};

std::mutex g_registry_mutex;
std::map<long, std::shared_ptr<ProbeState>> g_probes;
std::map<long, std::shared_ptr<Gate>> g_gates;

template <class V>
std::shared_ptr<V> registered(std::map<long, std::shared_ptr<V>>& registry, long key) {
    std::lock_guard lock(g_registry_mutex);
    std::shared_ptr<V>& slot = registry[key];
    if (!slot) slot = std::make_shared<V>();
    return slot;
}

// Counts the live jobs; moves with the job, so only the last owner counts.
class LiveToken {
  public:
    explicit LiveToken(std::shared_ptr<ProbeState> probe) : probe_(std::move(probe)) {
        g_live_jobs.fetch_add(1);
    }
    LiveToken(LiveToken&& other) noexcept
        : probe_(std::move(other.probe_)), engaged_(std::exchange(other.engaged_, false)) {}
    LiveToken& operator=(LiveToken&&) = delete;
    ~LiveToken() {
        if (!engaged_) return;
        if (probe_) probe_->destroyed.store(true);
        g_live_jobs.fetch_sub(1);
    }
    void count_poll() const {
        if (probe_) probe_->polls.fetch_add(1);
    }

  private:
    std::shared_ptr<ProbeState> probe_;
    bool engaged_ = true;
};

struct Script {
    LiveToken token;
    int yields = 0;
    std::shared_ptr<Gate> gate;
    bool forever = false;

    // True when the action may run now.
    bool step(rt::Context& cx) {
        token.count_poll();
        if (forever) return false;  // only the cancel signal ends this job
        if (yields > 0) {
            --yields;
            cx.waker().wake();
            return false;
        }
        return !gate || gate->pass(cx.waker());
    }
};

template <class T, class Action>
class ScriptedJob {
  public:
    ScriptedJob(Script script, Action action)
        : script_(std::move(script)), action_(std::move(action)) {}

    rt::Poll<PyResult<T>> poll(rt::Context& cx) {
        if (!script_.step(cx)) return rt::Poll<PyResult<T>>::pending();
        return action_();
    }

  private:
    Script script_;
    Action action_;
};

template <class T, class Action>
ScriptedJob<T, Action> make_job(Script script, Action action) {
    return ScriptedJob<T, Action>(std::move(script), std::move(action));
}

// ---- argument handling -----------------------------------------------------------------------

// Common trailing parameters of the job functions: yields=0, gate=None, tag=None.
PyResult<Script> read_script(PyObject* yields, PyObject* gate, PyObject* tag) {
    auto as_long = [](PyObject* object, long fallback) -> PyResult<long> {
        if (object == nullptr || object == Py_None) return fallback;
        long value = PyLong_AsLong(object);
        if (value == -1 && PyErr_Occurred()) return PyErr::fetch();
        return value;
    };
    PyResult<long> y = as_long(yields, 0);
    if (!y.ok()) return std::move(y).error();
    PyResult<long> g = as_long(gate, -1);
    if (!g.ok()) return std::move(g).error();
    PyResult<long> t = as_long(tag, -1);
    if (!t.ok()) return std::move(t).error();
    std::shared_ptr<ProbeState> probe = t.value() >= 0 ? registered(g_probes, t.value()) : nullptr;
    Script script{LiveToken(std::move(probe)), static_cast<int>(y.value()), nullptr, false};
    if (g.value() >= 0) script.gate = registered(g_gates, g.value());
    return script;
}

template <std::size_t N>
struct Bound {
    std::array<PyObject*, N> slots{};
};

template <std::size_t N>
PyResult<Bound<N>> bind(const morvane::binding::FunctionDescription& desc, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    Bound<N> bound;
    PyResult<void> ok =
        morvane::binding::extract_arguments_fastcall(desc, args, nargs, kwnames, bound.slots);
    if (!ok.ok()) return std::move(ok).error();
    return bound;
}

#define DESCRIBE(var, name, required, ...)                                                      \
    constexpr std::array<std::string_view, std::size({__VA_ARGS__})> var##_params{__VA_ARGS__}; \
    constexpr morvane::binding::FunctionDescription var {                                       \
        .cls_name = "", .func_name = name, .positional_parameter_names = var##_params,          \
        .positional_only_parameters = 0, .required_positional_parameters = required,            \
        .keyword_only_parameters = {},                                                          \
    }

DESCRIBE(kResolve, "resolve", 1, "value", "yields", "gate", "tag");
DESCRIBE(kFail, "fail", 2, "exc_type", "message", "yields", "gate", "tag");
DESCRIBE(kFault, "fault", 1, "text", "yields", "gate", "tag");
DESCRIBE(kForever, "forever", 0, "tag");
DESCRIBE(kRoutes, "routes", 1, "items", "yields", "gate", "tag");
DESCRIBE(kReadLocals, "read_task_locals", 0, "yields", "gate", "tag");
DESCRIBE(kTagged, "tagged", 1, "tag");

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// ---- job entry points --------------------------------------------------------------------------

PyObject* resolve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyResult<Bound<4>> b = bind<4>(kResolve, args, nargs, kwnames);
        if (!b.ok()) return std::move(b).error();
        auto& s = b.value().slots;
        PyResult<Script> script = read_script(s[1], s[2], s[3]);
        if (!script.ok()) return std::move(script).error();
        return bridge::future_into_py(make_job<PyRef>(
            std::move(script).value(), [value = PyRef::borrow(s[0])]() mutable -> PyResult<PyRef> {
                return std::move(value);
            }));
    });
}

PyObject* fail(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyResult<Bound<5>> b = bind<5>(kFail, args, nargs, kwnames);
        if (!b.ok()) return std::move(b).error();
        auto& s = b.value().slots;
        const char* message = PyUnicode_AsUTF8(s[1]);
        if (message == nullptr) return PyErr::fetch();
        PyResult<Script> script = read_script(s[2], s[3], s[4]);
        if (!script.ok()) return std::move(script).error();
        return bridge::future_into_py(
            make_job<PyRef>(std::move(script).value(),
                            [error = std::optional<PyErr>(PyErr::new_deferred(
                                 PyRef::borrow(s[0]), message))]() mutable -> PyResult<PyRef> {
                                return std::move(*error);
                            }));
    });
}

PyObject* fault(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyResult<Bound<4>> b = bind<4>(kFault, args, nargs, kwnames);
        if (!b.ok()) return std::move(b).error();
        auto& s = b.value().slots;
        std::optional<std::string> text;
        if (s[0] != Py_None) {
            const char* utf8 = PyUnicode_AsUTF8(s[0]);
            if (utf8 == nullptr) return PyErr::fetch();
            text = utf8;
        }
        PyResult<Script> script = read_script(s[1], s[2], s[3]);
        if (!script.ok()) return std::move(script).error();
        return bridge::future_into_py(
            make_job<PyRef>(std::move(script).value(), [text]() -> PyResult<PyRef> {
                if (text) throw morvane::Fault(*text);
                throw 42;  // a payload without text
            }));
    });
}

PyObject* forever(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyResult<Bound<1>> b = bind<1>(kForever, args, nargs, kwnames);
        if (!b.ok()) return std::move(b).error();
        PyResult<Script> script = read_script(nullptr, nullptr, b.value().slots[0]);
        if (!script.ok()) return std::move(script).error();
        script.value().forever = true;
        return bridge::future_into_py(make_job<PyRef>(
            std::move(script).value(),
            []() -> PyResult<PyRef> { throw morvane::Fault("a forever job finished"); }));
    });
}

PyObject* routes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyResult<Bound<4>> b = bind<4>(kRoutes, args, nargs, kwnames);
        if (!b.ok()) return std::move(b).error();
        auto& s = b.value().slots;
        std::vector<std::string> items;
        PyRef iterator = PyRef::steal(PyObject_GetIter(s[0]));
        if (!iterator) return PyErr::fetch();
        while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(item.get(), &data, &size) < 0) return PyErr::fetch();
            items.emplace_back(data, static_cast<std::size_t>(size));
        }
        if (PyErr_Occurred()) return PyErr::fetch();
        PyResult<Script> script = read_script(s[1], s[2], s[3]);
        if (!script.ok()) return std::move(script).error();
        return bridge::future_into_py(make_job<std::vector<std::string>>(
            std::move(script).value(),
            [items = std::move(items)]() mutable -> PyResult<std::vector<std::string>> {
                return std::move(items);
            }));
    });
}

PyObject* read_task_locals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyResult<Bound<3>> b = bind<3>(kReadLocals, args, nargs, kwnames);
        if (!b.ok()) return std::move(b).error();
        auto& s = b.value().slots;
        PyResult<Script> script = read_script(s[0], s[1], s[2]);
        if (!script.ok()) return std::move(script).error();
        return bridge::future_into_py(make_job<bridge::TaskLocals>(
            std::move(script).value(), []() -> PyResult<bridge::TaskLocals> {
                std::optional<bridge::TaskLocals> locals = bridge::get_task_locals();
                if (!locals) return PyErr::new_deferred(PyExc_LookupError, "no task locals");
                return std::move(*locals);
            }));
    });
}

// ---- probes and helpers
// --------------------------------------------------------------------------

PyObject* probe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyResult<Bound<1>> b = bind<1>(kTagged, args, nargs, kwnames);
        if (!b.ok()) return std::move(b).error();
        long tag = PyLong_AsLong(b.value().slots[0]);
        if (tag == -1 && PyErr_Occurred()) return PyErr::fetch();
        std::shared_ptr<ProbeState> state = registered(g_probes, tag);
        PyRef out = PyRef::steal(Py_BuildValue("(iO)", state->polls.load(),
                                               state->destroyed.load() ? Py_True : Py_False));
        if (!out) return PyErr::fetch();
        return out;
    });
}

PyObject* open_gate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyResult<Bound<1>> b = bind<1>(kTagged, args, nargs, kwnames);
        if (!b.ok()) return std::move(b).error();
        long gate = PyLong_AsLong(b.value().slots[0]);
        if (gate == -1 && PyErr_Occurred()) return PyErr::fetch();
        registered(g_gates, gate)->open();
        return PyRef::borrow(Py_None);
    });
}

PyObject* live_jobs(PyObject*, PyObject*) {
    return PyLong_FromLong(g_live_jobs.load());
}

// The entry guard already drained the pool; drain again explicitly for clarity.
PyObject* drain_reference_pool(PyObject*, PyObject*) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        morvane::binding::ReferencePool::instance().drain();
        return PyRef::steal(
            PyLong_FromSize_t(morvane::binding::ReferencePool::instance().pending()));
    });
}

PyObject* new_checked_completor(PyObject*, PyObject*) {
    return morvane::binding::trampoline_fastcall(
        [&]() -> PyResult<PyRef> { return bridge::new_checked_completor(); });
}

PyObject* done_callback_type(PyObject*, PyObject*) {
    return morvane::binding::trampoline_fastcall([&]() -> PyResult<PyRef> {
        return PyRef::borrow(reinterpret_cast<PyObject*>(bridge::done_callback_type()));
    });
}

PyObject* future_panic_type(PyObject*, PyObject*) {
    return morvane::binding::trampoline_fastcall(
        [&]() -> PyResult<PyRef> { return PyRef::borrow(bridge::future_panic_type()); });
}

#define FAST(name)                                                          \
    {                                                                       \
#name,                                                              \
            reinterpret_cast < PyCFunction>                                 \
                (reinterpret_cast <void (*)()>(static_cast <Fast>(&name))), \
            METH_FASTCALL | METH_KEYWORDS, nullptr                          \
    }
#define NOARGS(name) \
    { #name, &name, METH_NOARGS, nullptr }

PyMethodDef kMethods[] = {
    FAST(resolve),
    FAST(fail),
    FAST(fault),
    FAST(forever),
    FAST(routes),
    FAST(read_task_locals),
    FAST(probe),
    FAST(open_gate),
    NOARGS(live_jobs),
    NOARGS(drain_reference_pool),
    NOARGS(new_checked_completor),
    NOARGS(done_callback_type),
    NOARGS(future_panic_type),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_bridge_testing",
    nullptr,
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__bridge_testing() {
    return PyModuleDef_Init(&kModule);
}
