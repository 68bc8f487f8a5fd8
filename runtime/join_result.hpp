#pragma once
// JoinResult<T>: how a task ended, as its join handle reports it.
// Public: what join handles report to the bridge and the client.
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "base/fault.hpp"

namespace morvane::runtime {

template <class T>
class JoinResult {
  public:
    static JoinResult from_value(T v) {
        JoinResult r;
        r.value_.emplace(std::move(v));
        return r;
    }
    static JoinResult from_fault(std::exception_ptr p) {
        JoinResult r;
        r.payload_ = std::move(p);
        return r;
    }
    static JoinResult from_cancel() {
        JoinResult r;
        r.cancelled_ = true;
        return r;
    }

    bool ok() const { return value_.has_value(); }
    bool faulted() const { return payload_ != nullptr; }
    bool cancelled() const { return cancelled_; }

    T& value() {
        if (!value_) throw Fault("JoinResult::value() on a task that did not return a value");
        return *value_;
    }
    T take() { return std::move(value()); }
    // What the task body threw (null unless faulted()); fault_text() reads its text.
    std::exception_ptr payload() const { return payload_; }

  private:
    JoinResult() = default;
    // Exactly one of the three is set.
    std::optional<T> value_;
    std::exception_ptr payload_;
    bool cancelled_ = false;
};

}  // namespace morvane::runtime
