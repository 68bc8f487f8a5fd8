#pragma once
// IntrusiveFifo<T, Next>: a first-in first-out queue of objects linked through their own `Next`
// pointer member, with no storage of its own. Not synchronised: the owner's lock guards it. An
// object is in at most one queue at a time. The runtime's queues of tasks (TaskList) and the
// bridge's completion queue are ones.
#include <cstddef>
#include <utility>

namespace morvane {

template <class T, T* T::*Next>
class IntrusiveFifo {
  public:
    IntrusiveFifo() = default;
    // Takes over every object of `other`, which is left empty.
    IntrusiveFifo(IntrusiveFifo&& other) noexcept
        : head_(std::exchange(other.head_, nullptr)),
          tail_(std::exchange(other.tail_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}
    IntrusiveFifo& operator=(IntrusiveFifo&&) = delete;

    void push_back(T* t) noexcept {
        t->*Next = nullptr;
        if (tail_)
            tail_->*Next = t;
        else
            head_ = t;
        tail_ = t;
        ++size_;
    }

    // The oldest object, or nullptr when the queue is empty.
    T* pop_front() noexcept {
        T* t = head_;
        if (!t) return nullptr;
        head_ = t->*Next;
        if (!head_) tail_ = nullptr;
        t->*Next = nullptr;
        --size_;
        return t;
    }

    // Takes back the newest object, `t`, which the caller pushed under the same lock hold.
    // Walks the queue: for failure paths only.
    void remove_back(T* t) noexcept {
        T* prev = nullptr;
        for (T* p = head_; p && p != t; p = p->*Next) prev = p;
        if (prev)
            prev->*Next = nullptr;
        else
            head_ = nullptr;
        tail_ = prev;
        t->*Next = nullptr;
        --size_;
    }

    std::size_t size() const noexcept { return size_; }

  private:
    T* head_ = nullptr;
    T* tail_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace morvane
