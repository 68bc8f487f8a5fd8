#pragma once
// TaskLocalKey<V>: a task-local slot. Declared as a global object; each key has one slot per
// thread. A scope carries one value through a task body: every poll of the body moves the value
// into the polling thread's slot and moves it back out when the poll ends (finished, suspended
// or thrown), restoring what the slot held before. Code inside the body reads it with try_with.
// Public: the bridge carries its task locals with it.
#include <deque>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"
#include "runtime/context.hpp"
#include "runtime/poll.hpp"

namespace morvane::runtime {

inline constexpr const char* kTaskLocalBorrowed =
    "cannot enter a task-local scope while the task-local storage is borrowed";
inline constexpr const char* kTaskLocalDestroyed =
    "cannot enter a task-local scope during or after destruction of the underlying thread-local";

template <class V>
class TaskLocalKey;

namespace detail {

// One thread's slots for all keys of value type V (a program has one or two keys per type).
template <class V>
struct TaskLocalSlots {
    struct Slot {
        const void* key;
        std::optional<V> value;
        int borrows = 0;  // try_with calls in progress on this thread
    };
    std::deque<Slot> slots;  // a deque keeps slot references valid as keys are added

    // Set by the destructor; a trivially destructible thread_local stays readable after it.
    static inline thread_local bool destroyed = false;

    ~TaskLocalSlots() { destroyed = true; }

    Slot& slot(const void* key) {
        for (Slot& s : slots)
            if (s.key == key) return s;
        slots.push_back(Slot{key, std::nullopt, 0});
        return slots.back();
    }

    // Null once the thread's storage is being destroyed.
    static TaskLocalSlots* get() {
        if (destroyed) return nullptr;
        static thread_local TaskLocalSlots instance;
        return destroyed ? nullptr : &instance;
    }
};

// Swaps the carried value into the thread's slot for the life of the guard.
template <class V>
class ScopeGuard {
  public:
    ScopeGuard(const void* key, std::optional<V>& carried) : carried_(carried) {
        TaskLocalSlots<V>* tls = TaskLocalSlots<V>::get();
        if (!tls) throw Fault(kTaskLocalDestroyed);
        slot_ = &tls->slot(key);
        if (slot_->borrows > 0) throw Fault(kTaskLocalBorrowed);
        std::swap(slot_->value, carried_);
    }
    ~ScopeGuard() { std::swap(slot_->value, carried_); }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;

  private:
    std::optional<V>& carried_;
    typename TaskLocalSlots<V>::Slot* slot_ = nullptr;
};

}  // namespace detail

// The future returned by TaskLocalKey::scope.
template <class V, Future F>
class TaskLocalFuture {
  public:
    using Out = future_output_t<F>;

    TaskLocalFuture(const void* key, V value, F body)
        : key_(key), carried_(std::move(value)), body_(std::move(body)) {}
    // A moved-from scope holds no body, so its destructor does nothing.
    TaskLocalFuture(TaskLocalFuture&& o) noexcept(
        std::is_nothrow_move_constructible_v<V>&& std::is_nothrow_move_constructible_v<F>)
        : key_(o.key_), carried_(std::move(o.carried_)), body_(std::move(o.body_)) {
        o.body_.reset();
        o.carried_.reset();
    }
    TaskLocalFuture& operator=(TaskLocalFuture&&) = delete;
    ~TaskLocalFuture() {
        // Release the body inside the scope when possible, so its destructors see the value.
        if (!body_) return;
        try {
            detail::ScopeGuard<V> guard(key_, carried_);
            body_.reset();
        } catch (...) {
            body_.reset();
        }
    }

    Poll<Out> poll(Context& cx) {
        if (!body_) throw Fault("a task-local scope was polled after it had finished");
        Poll<Out> out = Poll<Out>::pending();
        {
            detail::ScopeGuard<V> guard(key_, carried_);
            out = body_->poll(cx);
        }
        if (out.is_ready()) body_.reset();
        return out;
    }

  private:
    const void* key_;
    std::optional<V> carried_;
    std::optional<F> body_;
};

template <class V>
class TaskLocalKey {
  public:
    constexpr TaskLocalKey() = default;
    TaskLocalKey(const TaskLocalKey&) = delete;
    TaskLocalKey& operator=(const TaskLocalKey&) = delete;

    template <Future F>
    TaskLocalFuture<V, std::remove_cvref_t<F>> scope(V value, F body) const {
        return TaskLocalFuture<V, std::remove_cvref_t<F>>(this, std::move(value), std::move(body));
    }

    // fn(const V*): the value in the calling thread's slot, or nullptr when the slot is empty
    // or the thread's storage is already destroyed.
    template <class Fn>
    auto try_with(Fn&& fn) const {
        auto* tls = detail::TaskLocalSlots<V>::get();
        if (!tls) return std::forward<Fn>(fn)(static_cast<const V*>(nullptr));
        auto& slot = tls->slot(this);
        struct Borrow {
            int& n;
            ~Borrow() { --n; }
        } borrow{++slot.borrows};
        const V* v = slot.value ? &*slot.value : nullptr;
        return std::forward<Fn>(fn)(v);
    }
};

}  // namespace morvane::runtime
