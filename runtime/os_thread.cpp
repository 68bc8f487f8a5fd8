#include "runtime/os_thread.hpp"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <system_error>

namespace morvane::runtime::detail {
namespace {

// Lives on the creator's stack until the new thread has taken the body and named itself.
struct Start {
    std::function<void()> body;
    std::mutex mu;
    std::condition_variable cv;
    bool named = false;
};

void* thread_start(void* arg) {
    auto* start = static_cast<Start*>(arg);
    std::function<void()> body = std::move(start->body);
    ::pthread_setname_np(::pthread_self(), kThreadName);
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
    Start start;
    start.body = std::move(body);
    pthread_t id;
    if ((err = ::pthread_create(&id, &a.attr, thread_start, &start)))
        throw std::system_error(err, std::system_category());
    std::unique_lock lock(start.mu);
    start.cv.wait(lock, [&] { return start.named; });
}

}  // namespace morvane::runtime::detail
