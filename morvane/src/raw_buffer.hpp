#pragma once
// RawBuffer<T>: the growable storage of reply bytes and word spans.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>

#include "base/fault.hpp"

namespace morvane::irr {

// A growable array of trivially copyable elements that the buffer itself never initialises:
// storage beyond size() is only reserved, so untouched pages of a new allocation cost no memory.
template <class T>
class RawBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    operator std::span<const T>() const { return {data_.get(), size_}; }

    // Makes capacity at least `n`, keeping elements [0, size()).
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        std::unique_ptr<T[]> grown(new T[n]);  // default-initialised: untouched
        if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_ * sizeof(T));
        data_ = std::move(grown);
        capacity_ = n;
    }
    // Room for `extra` more elements behind size() (growing by doubling); where they go. The
    // caller writes them, then publishes them with set_size().
    T* room_for(std::size_t extra) {
        if (capacity_ - size_ < extra) reserve(std::max(size_ + extra, 2 * capacity_));
        return data_.get() + size_;
    }
    // Sets size() to `n` (at most capacity()); elements past the old size are whatever was there.
    void set_size(std::size_t n) {
        if (n > capacity_) throw Fault("RawBuffer: size beyond capacity");
        size_ = n;
    }
    void push_back(const T& value) {
        *room_for(1) = value;
        ++size_;
    }
    void clear() { size_ = 0; }

  private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace morvane::irr
