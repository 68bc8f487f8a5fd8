#pragma once
// Task<T>: the coroutine type in which task bodies, the registry client's operations and the
// route-fetch job are written. A Task is lazily started, move-only, and itself a Future<T>.
//
// Inside a Task, `co_await f` accepts any Future f and has poll semantics: f is polled once at
// once; if pending, the coroutine suspends and remembers where it stands (its await point).
// Every later poll() of the Task re-polls that awaited future, not the coroutine, and resumes
// the coroutine only once the future is ready. Nested Tasks therefore form a chain of polls
// from the outermost Task down to the innermost pending future, and a wrapper future (such as
// a task-local scope) around any link runs its code around every poll of that link.
//
// Destroying a Task destroys its coroutine frame wherever it stands: every local and every
// awaited future inside is released. An exception thrown in the body leaves through poll().
// Public: the client's and the module's coroutines are tasks.
#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"
#include "runtime/context.hpp"
#include "runtime/poll.hpp"

namespace morvane::runtime {

template <class T = Unit>
class Task;

namespace detail {

// The future a suspended coroutine waits on, seen through its awaiter.
struct AwaitPoint {
    // Polls the awaited future again; true once it is ready or has thrown (the outcome is then
    // kept for the coroutine's resumption).
    virtual bool repoll(Context& cx) noexcept = 0;

  protected:
    ~AwaitPoint() = default;
};

struct TaskPromiseBase {
    Context* cx = nullptr;          // the poll's context while the coroutine runs
    AwaitPoint* pending = nullptr;  // where the suspended coroutine waits
    std::exception_ptr error;       // what the body threw

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }

    template <class F>
    requires Future<F>
    auto await_transform(F&& f);
};

// Owns an rvalue future, refers to an lvalue one (which the coroutine frame keeps alive).
template <class F>
class FutureAwaiter final : public AwaitPoint {
  public:
    using Fut = std::remove_cvref_t<F>;
    using Out = future_output_t<Fut>;

    FutureAwaiter(F&& f, TaskPromiseBase* promise) : fut_(std::forward<F>(f)), promise_(promise) {}
    FutureAwaiter(const FutureAwaiter&) = delete;
    FutureAwaiter& operator=(const FutureAwaiter&) = delete;

    bool await_ready() {
        Poll<Out> p = fut_.poll(*promise_->cx);
        if (p.is_pending()) return false;
        out_.emplace(p.take());
        return true;
    }
    void await_suspend(std::coroutine_handle<>) noexcept { promise_->pending = this; }
    Out await_resume() {
        if (error_) std::rethrow_exception(error_);
        return std::move(*out_);
    }

    bool repoll(Context& cx) noexcept override {
        try {
            Poll<Out> p = fut_.poll(cx);
            if (p.is_pending()) return false;
            out_.emplace(p.take());
        } catch (...) {
            error_ = std::current_exception();
        }
        return true;
    }

  private:
    std::conditional_t<std::is_lvalue_reference_v<F>, Fut&, Fut> fut_;
    TaskPromiseBase* promise_;
    std::optional<Out> out_;
    std::exception_ptr error_;
};

template <class F>
requires Future<F>
auto TaskPromiseBase::await_transform(F&& f) {
    return FutureAwaiter<F>(std::forward<F>(f), this);
}

template <class T>
struct TaskPromise : TaskPromiseBase {
    std::optional<T> value;
    Task<T> get_return_object();
    template <class U>
    requires std::is_convertible_v<U&&, T>
    void return_value(U&& v) { value.emplace(std::forward<U>(v)); }
};

template <>
struct TaskPromise<Unit> : TaskPromiseBase {
    std::optional<Unit> value;
    Task<Unit> get_return_object();
    void return_void() { value.emplace(); }
};

}  // namespace detail

template <class T>
class Task {
  public:
    using promise_type = detail::TaskPromise<T>;
    using handle_type = std::coroutine_handle<promise_type>;

    Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    // Runs the coroutine as far as it can go. The frame is released as soon as the body ends.
    Poll<T> poll(Context& cx) {
        if (!h_) throw Fault("a Task was polled after it had finished");
        promise_type& p = h_.promise();
        if (p.pending) {
            if (!p.pending->repoll(cx)) return Poll<T>::pending();
            p.pending = nullptr;
        }
        p.cx = &cx;
        h_.resume();
        p.cx = nullptr;
        if (!h_.done()) return Poll<T>::pending();
        if (p.error) {
            std::exception_ptr error = std::move(p.error);
            reset();
            std::rethrow_exception(error);
        }
        T out = std::move(*p.value);
        reset();
        return Poll<T>::ready(std::move(out));
    }

    // True while the coroutine has not ended (nor been released).
    bool valid() const { return static_cast<bool>(h_); }

  private:
    friend struct detail::TaskPromise<T>;
    explicit Task(handle_type h) : h_(h) {}
    void reset() {
        if (h_) std::exchange(h_, {}).destroy();
    }

    handle_type h_;
};

namespace detail {
template <class T>
Task<T> TaskPromise<T>::get_return_object() {
    return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}
inline Task<Unit> TaskPromise<Unit>::get_return_object() {
    return Task<Unit>(std::coroutine_handle<TaskPromise<Unit>>::from_promise(*this));
}
}  // namespace detail

}  // namespace morvane::runtime
