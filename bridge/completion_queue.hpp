#pragma once
// The completion queue: how finished bridged calls reach the interpreter.
//
// Every completion is handed over here, from a worker thread, and runs on a blocking-pool thread
// in the order it was handed over. At most one blocking thread drains the queue at a time, and it
// runs the completions it finds back to back under one attachment (one interpreter-lock
// acquisition) instead of one thread wake-up and one lock hand-off each. Each completion still
// does its own work in full (its cancelled check, its conversion, its call_soon_threadsafe).
//
// The drainer gives the interpreter lock up after kCompletionSlice of work and attaches anew, so
// the event loop (and the exit hook) get their turn between completions; it also stops once the
// ExitGate is closed. A completion that cannot be run because no attachment is possible any more
// (the interpreter is exiting) is dropped, as a completion refused at its own attachment was.
//
// Lock order: the queue's mutex is taken without the interpreter lock or with it (by the
// drainer), and is held while the drainer job is handed to the blocking pool (queue, then pool);
// nothing that holds the pool's lock takes it.
#include <chrono>
#include <memory>

namespace morvane::bridge {

inline constexpr std::chrono::microseconds kCompletionSlice{1000};

// A completion waiting for its turn. run() is called attached (interpreter lock held); the
// record is destroyed right after it, still attached, so the Python references it holds are
// released under the lock. A record destroyed unattached (dropped) releases them through the
// ReferencePool.
class QueuedCompletion {
  public:
    QueuedCompletion() = default;
    QueuedCompletion(const QueuedCompletion&) = delete;
    QueuedCompletion& operator=(const QueuedCompletion&) = delete;
    virtual ~QueuedCompletion() = default;

    virtual void run() = 0;

  private:
    friend class CompletionQueue;
    QueuedCompletion* next_ = nullptr;
};

// Hands `completion` over. Must run on a thread of the runtime. Throws morvane::Fault("OS can't
// spawn worker thread: ...") when no blocking thread can be had to drain the queue; the
// completion is then not queued (and is destroyed).
void submit_completion(std::unique_ptr<QueuedCompletion> completion);

}  // namespace morvane::bridge
