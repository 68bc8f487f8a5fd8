#pragma once
// RunQueue: a worker's own queue of runnable tasks. A fixed ring: its owner pushes at the tail
// and pops at the head without a lock; other workers steal from the head with a CAS on it.
// Slots are atomics because a stealer may read a slot the owner is rewriting; such a stealer's
// CAS on the head then fails and its read is discarded.
// Internal to runtime/: no other subsystem includes it.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "runtime/task_cell.hpp"

namespace morvane::runtime::detail {

class RunQueue {
  public:
    static constexpr std::uint32_t kCapacity = 256;

    // Owner only. False when full (the caller puts the task in the injection queue).
    bool push(TaskHeader* t) noexcept {
        const std::uint32_t tail = tail_.load(std::memory_order_relaxed);
        const std::uint32_t head = head_.load(std::memory_order_acquire);
        if (tail - head >= kCapacity) return false;
        slots_[tail % kCapacity].store(t, std::memory_order_relaxed);
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Owner only.
    TaskHeader* pop() noexcept { return take(std::memory_order_relaxed); }

    // Any thread.
    TaskHeader* steal() noexcept { return take(std::memory_order_acquire); }

    std::uint32_t size() const noexcept {
        const std::uint32_t tail = tail_.load(std::memory_order_acquire);
        const std::uint32_t head = head_.load(std::memory_order_acquire);
        return tail - head;
    }

  private:
    // The tail is read after the head: the head's last writer saw a tail at least as large,
    // so the tail read here never trails the head.
    TaskHeader* take(std::memory_order tail_order) noexcept {
        std::uint32_t head = head_.load(std::memory_order_acquire);
        for (;;) {
            const std::uint32_t tail = tail_.load(tail_order);
            if (tail == head) return nullptr;
            TaskHeader* t = slots_[head % kCapacity].load(std::memory_order_relaxed);
            if (head_.compare_exchange_weak(head, head + 1, std::memory_order_acq_rel,
                                            std::memory_order_acquire))
                return t;
        }
    }

    alignas(64) std::atomic<std::uint32_t> head_{0};
    alignas(64) std::atomic<std::uint32_t> tail_{0};
    std::array<std::atomic<TaskHeader*>, kCapacity> slots_{};
};

}  // namespace morvane::runtime::detail
