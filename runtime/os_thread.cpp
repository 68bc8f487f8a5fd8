#include "runtime/os_thread.hpp"

#include <pthread.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>

namespace morvane::runtime::detail {
namespace {

// Set on every thread started here. A thread created by one of them already carries the name
// (Linux copies the creating thread's name into the new thread), so its creator need not wait.
thread_local bool tl_named_runtime_thread = false;

void become_named_runtime_thread() {
    ::pthread_setname_np(::pthread_self(), kThreadName);
    tl_named_runtime_thread = true;
}

// The handshake of a creator whose own name is not ours: lives on the creator's stack until the
// new thread has taken the body and named itself.
struct Start {
    std::function<void()> body;
    std::mutex mu;
    std::condition_variable cv;
    bool named = false;
};

void* start_after_handshake(void* arg) {
    auto* start = static_cast<Start*>(arg);
    std::function<void()> body = std::move(start->body);
    become_named_runtime_thread();
    {
        // Notified under the lock: the creator cannot wake, return and free `start` before the
        // lock is released, and nothing touches `start` after that.
        std::lock_guard lock(start->mu);
        start->named = true;
        start->cv.notify_one();
    }
    body();
    return nullptr;
}

// The body of a thread created by a runtime thread, owned by the new thread once it exists.
void* start_named(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    become_named_runtime_thread();
    (*body)();
    return nullptr;
}

// pthread attributes, released on every path.
struct Attributes {
    pthread_attr_t attr;
    Attributes() {
        if (const int err = ::pthread_attr_init(&attr))
            throw std::system_error(err, std::system_category());
    }
    ~Attributes() { ::pthread_attr_destroy(&attr); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
};

}  // namespace

void spawn_os_thread(std::function<void()> body) {
    Attributes a;
    int err = ::pthread_attr_setstacksize(&a.attr, kThreadStackSize);
    if (!err) err = ::pthread_attr_setdetachstate(&a.attr, PTHREAD_CREATE_DETACHED);
    if (err) throw std::system_error(err, std::system_category());
    pthread_t id;
    if (tl_named_runtime_thread) {
        // No wait: a worker creating a blocking thread must not depend on when the new thread
        // first gets a CPU (milliseconds when that CPU is busy).
        auto owned = std::make_unique<std::function<void()>>(std::move(body));
        if ((err = ::pthread_create(&id, &a.attr, start_named, owned.get())))
            throw std::system_error(err, std::system_category());
        (void)owned.release();  // the new thread's now
        return;
    }
    Start start;
    start.body = std::move(body);
    if ((err = ::pthread_create(&id, &a.attr, start_after_handshake, &start)))
        throw std::system_error(err, std::system_category());
    std::unique_lock lock(start.mu);
    start.cv.wait(lock, [&] { return start.named; });
}

}  // namespace morvane::runtime::detail
