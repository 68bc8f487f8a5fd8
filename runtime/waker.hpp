#pragma once
// Waker: the wake handle of a task. Copyable and cheap (a copy costs one reference-count
// increment, never an allocation); usable from any thread any number of times.
// Public: the bridge's cancel signal keeps and wakes wakers.
#include <utility>

namespace morvane::runtime {

// How one kind of wakeable object is cloned, woken and released. `data` is the object.
struct WakerVTable {
    void (*clone)(const void* data);  // takes one more reference
    void (*wake)(const void* data);   // schedules the object; keeps the caller's reference
    void (*drop)(const void* data);   // releases one reference
};

class Waker {
  public:
    // A waker that does nothing.
    Waker() noexcept : Waker(noop()) {}
    // Adopts one reference to `data`, released by the destructor.
    Waker(const WakerVTable* vtable, const void* data) noexcept : vtable_(vtable), data_(data) {}

    Waker(const Waker& other) noexcept : vtable_(other.vtable_), data_(other.data_) {
        vtable_->clone(data_);
    }
    Waker(Waker&& other) noexcept : vtable_(other.vtable_), data_(other.data_) {
        other.vtable_ = noop_vtable();
        other.data_ = nullptr;
    }
    Waker& operator=(const Waker& other) noexcept {
        if (this != &other) {
            Waker copy(other);
            swap(copy);
        }
        return *this;
    }
    Waker& operator=(Waker&& other) noexcept {
        Waker moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~Waker() { vtable_->drop(data_); }

    void wake() const { vtable_->wake(data_); }

    // True when both handles wake the same object (a stored waker need not be replaced).
    bool will_wake(const Waker& other) const {
        return vtable_ == other.vtable_ && data_ == other.data_;
    }

    static Waker noop() noexcept { return Waker(noop_vtable(), nullptr); }

    void swap(Waker& other) noexcept {
        std::swap(vtable_, other.vtable_);
        std::swap(data_, other.data_);
    }

    const void* data() const { return data_; }
    const WakerVTable* vtable() const { return vtable_; }

  private:
    static const WakerVTable* noop_vtable() noexcept {
        static constexpr WakerVTable vt{[](const void*) {}, [](const void*) {}, [](const void*) {}};
        return &vt;
    }

    const WakerVTable* vtable_;
    const void* data_;
};

}  // namespace morvane::runtime
