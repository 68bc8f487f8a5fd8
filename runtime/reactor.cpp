#include "runtime/reactor.hpp"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>

#include "base/fault.hpp"
#include "base/os_error.hpp"
#include "runtime/fatal.hpp"

namespace morvane::runtime::detail {
namespace {

constexpr std::uint64_t kWakeToken = 0;  // epoll data of the eventfd; sockets use pointers
constexpr std::uint64_t kSeqOne = std::uint64_t{1} << 16;

[[noreturn]] void build_fault(int err) {
    throw Fault("Unable to build morvane runtime: " + os_error_description(err));
}

}  // namespace

Reactor::Reactor(EpollWait wait) : wait_(wait), events_(kEventsPerWait) {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_) build_fault(errno);
    wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_) build_fault(errno);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kWakeToken;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &ev) != 0) build_fault(errno);
}

Reactor::~Reactor() {
    for (ScheduledIo* io : released_) delete io;
}

void Reactor::add_token(int fd, std::uint64_t token) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = token;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) build_fault(errno);
}

ScheduledIo* Reactor::add(int fd, std::error_code& ec) {
    auto* io = new ScheduledIo(fd);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLPRI | EPOLLET;
    ev.data.ptr = io;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
        ec.assign(errno, std::system_category());
        delete io;
        return nullptr;
    }
    ec.clear();
    live_.fetch_add(1, std::memory_order_relaxed);
    return io;
}

void Reactor::remove(ScheduledIo* io) noexcept {
    // The fd is still open (its owner closes it after this), so EPOLL_CTL_DEL applies to it.
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, io->fd, nullptr);
    Waker reader = Waker::noop(), writer = Waker::noop();
    {
        std::lock_guard lock(io->mu);
        reader.swap(io->reader);
        writer.swap(io->writer);
    }
    live_.fetch_sub(1, std::memory_order_relaxed);
    std::lock_guard lock(release_mu_);
    released_.push_back(io);
}

void Reactor::turn(int timeout_ms, std::vector<std::uint64_t>& tokens) {
    {
        // Records removed before this wait can no longer be reported by it.
        std::vector<ScheduledIo*> done;
        {
            std::lock_guard lock(release_mu_);
            done.swap(released_);
        }
        for (ScheduledIo* io : done) delete io;
    }
    const int n = wait_(epoll_.get(), events_.data(), kEventsPerWait, timeout_ms);
    if (n < 0) {
        if (errno == EINTR) return;
        fatal_os_error("unexpected error when polling the I/O driver: ", errno);
    }
    for (int i = 0; i < n; ++i) {
        const epoll_event& ev = events_[static_cast<std::size_t>(i)];
        if (ev.data.u64 == kWakeToken) {
            std::uint64_t drained;
            while (::read(wake_.get(), &drained, sizeof drained) > 0) {
            }
        } else if (ev.data.u64 < 4096) {
            tokens.push_back(ev.data.u64);
        } else {
            dispatch(static_cast<ScheduledIo*>(ev.data.ptr), ev.events);
        }
    }
}

void Reactor::dispatch(ScheduledIo* io, std::uint32_t events) noexcept {
    std::uint64_t flags = 0;
    if (events & (EPOLLIN | EPOLLPRI)) flags |= kReadable;
    if (events & EPOLLOUT) flags |= kWritable;
    if (events & EPOLLRDHUP) flags |= kReadClosed;
    if (events & (EPOLLHUP | EPOLLERR)) flags |= kReadClosed | kWriteClosed;
    if (flags == 0) return;
    std::uint64_t cur = io->readiness.load(std::memory_order_relaxed);
    std::uint64_t next;
    do {
        next = ((cur & ~std::uint64_t{0xFFFF}) + kSeqOne) | (cur & 0xFFFF) | flags;
    } while (!io->readiness.compare_exchange_weak(cur, next, std::memory_order_acq_rel));

    Waker reader = Waker::noop(), writer = Waker::noop();
    {
        std::lock_guard lock(io->mu);
        if (flags & (kReadable | kReadClosed)) reader.swap(io->reader);
        if (flags & (kWritable | kWriteClosed)) writer.swap(io->writer);
    }
    reader.wake();
    writer.wake();
}

void Reactor::unpark() noexcept {
    const std::uint64_t one = 1;
    // EAGAIN: the counter is full, so a wake-up is pending anyway.
    if (::write(wake_.get(), &one, sizeof one) < 0 && errno != EAGAIN)
        fatal_os_error("failed to wake I/O driver: ", errno);
}

}  // namespace morvane::runtime::detail
