#pragma once
// JoinResult<T>: how a task ended, as its join handle reports it.
#include <exception>
#include <string>
#include <utility>
#include <variant>

#include "runtime/fault.hpp"

namespace morvane::runtime {

template <class T>
class JoinResult {
  public:
    static JoinResult from_value(T v) { return JoinResult(std::in_place_index<0>, std::move(v)); }
    static JoinResult from_fault(std::exception_ptr p) {
        return JoinResult(std::in_place_index<1>, std::move(p));
    }
    static JoinResult from_cancel() { return JoinResult(std::in_place_index<2>, Cancelled{}); }

    bool ok() const { return v_.index() == 0; }
    bool faulted() const { return v_.index() == 1; }
    bool cancelled() const { return v_.index() == 2; }

    T& value() {
        if (!ok()) throw Fault("JoinResult::value() on a task that did not return a value");
        return std::get<0>(v_);
    }
    T take() { return std::move(value()); }
    // What the task body threw (null unless faulted()).
    std::exception_ptr payload() const { return faulted() ? std::get<1>(v_) : nullptr; }

  private:
    struct Cancelled {};
    template <std::size_t I, class A>
    JoinResult(std::in_place_index_t<I> i, A&& a) : v_(i, std::forward<A>(a)) {}

    std::variant<T, std::exception_ptr, Cancelled> v_;
};

// The kinds of fault payload a task can end with: an owned text (a Fault, any std::exception,
// a thrown std::string), a borrowed static text (a thrown string literal) or anything else.
enum class PayloadKind { owned_text, static_text, other };

struct PayloadText {
    PayloadKind kind;
    std::string text;  // empty for PayloadKind::other
};

// Tells the kinds apart; never throws.
PayloadText inspect_payload(std::exception_ptr payload) noexcept;

}  // namespace morvane::runtime
