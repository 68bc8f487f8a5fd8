#include "runtime/driver.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

#include "base/fault.hpp"
#include "base/os_error.hpp"

namespace morvane::runtime::detail {
namespace {

std::mutex g_signal_mu;
SignalGlobals* g_signals = nullptr;  // created once, never released; a failed attempt may retry

}  // namespace

SignalGlobals& SignalGlobals::get() {
    std::lock_guard lock(g_signal_mu);
    if (!g_signals) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
            throw Fault("failed to create UnixStream: " + os_error_description(errno));
        auto g = std::make_unique<SignalGlobals>();
        g->receiver.reset(fds[0]);
        g->sender.reset(fds[1]);
        g->slots.resize(static_cast<std::size_t>(SIGRTMAX) + 1);
        g_signals = g.release();
    }
    return *g_signals;
}

SignalFacility::SignalFacility(Reactor& reactor) {
    SignalGlobals& g = SignalGlobals::get();
    receiver_.reset(::fcntl(g.receiver.get(), F_DUPFD_CLOEXEC, 0));
    if (!receiver_) throw Fault("Unable to build morvane runtime: " + os_error_description(errno));
    reactor.add_token(receiver_.get(), kToken);
}

void SignalFacility::on_readable() noexcept {
    char buf[128];
    while (::recv(receiver_.get(), buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

Driver::Driver(EpollWait wait) : reactor_(wait), signals_(reactor_), children_(), timers_() {}

void Driver::turn(int timeout_ms) {
    const int timer_ms = timers_.next_timeout_ms();
    if (timer_ms >= 0 && (timeout_ms < 0 || timer_ms < timeout_ms)) timeout_ms = timer_ms;
    tokens_.clear();
    reactor_.turn(timeout_ms, tokens_);
    for (std::uint64_t token : tokens_)
        if (token == SignalFacility::kToken) signals_.on_readable();
}

}  // namespace morvane::runtime::detail
