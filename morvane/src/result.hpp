#pragma once
// Result<T>: the outcome of a client operation, either a value or a ClientError. Failures are
// values in this library; only broken invariants are thrown (as morvane::Fault).
#include <utility>
#include <variant>

#include "morvane/src/client_error.hpp"

namespace morvane::irr {

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ClientError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T take() { return std::move(std::get<0>(v_)); }

    ClientError& error() { return std::get<1>(v_); }
    const ClientError& error() const { return std::get<1>(v_); }
    ClientError take_error() { return std::move(std::get<1>(v_)); }

  private:
    std::variant<T, ClientError> v_;
};

}  // namespace morvane::irr
