#pragma once
// Poll<T>: the answer of one poll of a future, either "not yet" or "ready with a value".
// Public: the bridge's and the client's futures answer with it.
#include <optional>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"

namespace morvane::runtime {

// The value type of futures that produce nothing.
struct Unit {
    friend bool operator==(Unit, Unit) { return true; }
};

template <class T>
class Poll {
  public:
    using value_type = T;

    static Poll pending() { return Poll(); }
    static Poll ready(T value) { return Poll(std::move(value)); }

    // A ready value converts implicitly, so `return v;` in a poll function means ready.
    Poll(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)

    bool is_ready() const { return value_.has_value(); }
    bool is_pending() const { return !value_.has_value(); }

    T& value() {
        if (!value_) throw Fault("Poll::value() on a pending poll");
        return *value_;
    }
    T take() {
        if (!value_) throw Fault("Poll::take() on a pending poll");
        T out = std::move(*value_);
        value_.reset();
        return out;
    }

  private:
    Poll() = default;
    std::optional<T> value_;
};

template <class P>
struct is_poll : std::false_type {};
template <class T>
struct is_poll<Poll<T>> : std::true_type {};

}  // namespace morvane::runtime
