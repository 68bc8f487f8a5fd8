#pragma once
// Context: what every poll is given (the polled task's wake handle), and the Future concept.
// Public: the bridge polls its jobs with it.
#include <concepts>
#include <type_traits>
#include <utility>

#include "runtime/poll.hpp"
#include "runtime/waker.hpp"

namespace morvane::runtime {

class Context {
  public:
    explicit Context(const Waker& waker) : waker_(&waker) {}
    const Waker& waker() const { return *waker_; }

  private:
    const Waker* waker_;
};

// A future is polled until it answers ready; a pending answer promises a wake of cx.waker()
// once polling again can make progress.
template <class F>
concept Future = std::move_constructible<std::remove_cvref_t<F>> &&
    requires(std::remove_cvref_t<F>& f, Context& cx) {
    {f.poll(cx)};
    requires is_poll<decltype(f.poll(cx))>::value;
};

template <Future F>
using future_output_t = typename decltype(std::declval<std::remove_cvref_t<F>&>().poll(
    std::declval<Context&>()))::value_type;

}  // namespace morvane::runtime
