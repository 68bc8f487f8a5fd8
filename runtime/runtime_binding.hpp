#pragma once
// Binding of a thread to its runtime (Runtime::current()).
// Internal to runtime/: no other subsystem includes it.
namespace morvane::runtime {
class Runtime;
namespace detail {

// Binds the calling thread for the rest of its life (pool threads) or until rebound.
void bind_current_runtime(Runtime* rt) noexcept;

// Binds the calling thread for a scope (the constructing thread while it launches workers).
class CurrentRuntimeGuard {
  public:
    explicit CurrentRuntimeGuard(Runtime* rt) noexcept;
    ~CurrentRuntimeGuard();
    CurrentRuntimeGuard(const CurrentRuntimeGuard&) = delete;
    CurrentRuntimeGuard& operator=(const CurrentRuntimeGuard&) = delete;

  private:
    Runtime* previous_;
};

}  // namespace detail
}  // namespace morvane::runtime
