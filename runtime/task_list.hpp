#pragma once
// TaskList: a first-in first-out queue of tasks linked through TaskHeader::next (an
// IntrusiveFifo). The owner's lock guards it (the scheduler's injection queue, the blocking pool's
// queue). A task is in at most one list at a time.
// Internal to runtime/: no other subsystem includes it.
#include "base/intrusive_fifo.hpp"
#include "runtime/task_cell.hpp"

namespace morvane::runtime::detail {

using TaskList = IntrusiveFifo<TaskHeader, &TaskHeader::next>;

}  // namespace morvane::runtime::detail
