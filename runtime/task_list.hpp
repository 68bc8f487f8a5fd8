#pragma once
// TaskList: a first-in first-out queue of tasks linked through TaskHeader::next, with no storage
// of its own. Not synchronised: the owner's lock guards it (the scheduler's injection queue, the
// blocking pool's queue). A task is in at most one list at a time.
// Internal to runtime/: no other subsystem includes it.
#include <cstddef>

#include "runtime/task_cell.hpp"

namespace morvane::runtime::detail {

class TaskList {
  public:
    void push_back(TaskHeader* t) noexcept {
        t->next = nullptr;
        if (tail_)
            tail_->next = t;
        else
            head_ = t;
        tail_ = t;
        ++size_;
    }

    // The oldest task, or nullptr when the list is empty.
    TaskHeader* pop_front() noexcept {
        TaskHeader* t = head_;
        if (!t) return nullptr;
        head_ = t->next;
        if (!head_) tail_ = nullptr;
        t->next = nullptr;
        --size_;
        return t;
    }

    // Takes back the newest task, `t`, which the caller pushed under the same lock hold.
    // Walks the list: for failure paths only.
    void remove_back(TaskHeader* t) noexcept {
        TaskHeader* prev = nullptr;
        for (TaskHeader* p = head_; p && p != t; p = p->next) prev = p;
        if (prev)
            prev->next = nullptr;
        else
            head_ = nullptr;
        tail_ = prev;
        t->next = nullptr;
        --size_;
    }

    std::size_t size() const noexcept { return size_; }

  private:
    TaskHeader* head_ = nullptr;
    TaskHeader* tail_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace morvane::runtime::detail
