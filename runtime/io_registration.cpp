#include "runtime/io_registration.hpp"

#include "base/fault.hpp"
#include "runtime/budget.hpp"
#include "runtime/reactor.hpp"
#include "runtime/runtime.hpp"

namespace morvane::runtime {
namespace {

using detail::kReadable;
using detail::kReadClosed;
using detail::kWritable;
using detail::kWriteClosed;

std::uint64_t ready_bits(Direction d) {
    return d == Direction::read ? (kReadable | kReadClosed) : (kWritable | kWriteClosed);
}
std::uint64_t closed_bit(Direction d) {
    return d == Direction::read ? kReadClosed : kWriteClosed;
}

}  // namespace

Registration Registration::open(int fd, std::error_code& ec) {
    Runtime* rt = Runtime::current();
    if (!rt) throw Fault("a socket can only be registered from the context of a morvane runtime");
    return open_on(rt->reactor(), fd, ec);
}

Registration Registration::open_on(detail::Reactor& reactor, int fd, std::error_code& ec) {
    detail::ScheduledIo* io = reactor.add(fd, ec);
    if (!io) return Registration();
    return Registration(&reactor, io);
}

Registration& Registration::operator=(Registration&& o) noexcept {
    if (this != &o) {
        reset();
        reactor_ = std::exchange(o.reactor_, nullptr);
        io_ = std::exchange(o.io_, nullptr);
    }
    return *this;
}

void Registration::reset() noexcept {
    if (io_) reactor_->remove(std::exchange(io_, nullptr));
    reactor_ = nullptr;
}

Poll<ReadyEvent> Registration::poll_ready(Context& cx, Direction d) {
    if (!io_) throw Fault("poll_ready on an invalid registration");
    if (!budget::try_consume()) {
        budget::defer_wake(cx.waker());
        return Poll<ReadyEvent>::pending();
    }
    const auto event = [d](std::uint64_t word) {
        return ReadyEvent(d, static_cast<std::uint32_t>(word >> 16), (word & closed_bit(d)) != 0);
    };
    std::uint64_t word = io_->readiness.load(std::memory_order_acquire);
    if (word & ready_bits(d)) return event(word);
    {
        // The driver sets readiness before taking this lock to collect wakers, so either it
        // sees the waker stored here or the check below sees its readiness.
        std::lock_guard lock(io_->mu);
        Waker& slot = d == Direction::read ? io_->reader : io_->writer;
        if (!slot.will_wake(cx.waker())) slot = cx.waker();
        word = io_->readiness.load(std::memory_order_acquire);
    }
    if (word & ready_bits(d)) return event(word);
    return Poll<ReadyEvent>::pending();
}

void Registration::clear_readiness(const ReadyEvent& ev) {
    if (!io_) return;
    // Hang-up and error stay: they are final. Only readiness of the event's own sequence is
    // cleared; a newer event changed the sequence and survives.
    const std::uint64_t bit = ev.direction() == Direction::read ? kReadable : kWritable;
    std::uint64_t cur = io_->readiness.load(std::memory_order_acquire);
    while (static_cast<std::uint32_t>(cur >> 16) == ev.sequence()) {
        if (io_->readiness.compare_exchange_weak(cur, cur & ~bit, std::memory_order_acq_rel))
            return;
    }
}

}  // namespace morvane::runtime
