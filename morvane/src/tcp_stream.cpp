#include "morvane/src/tcp_stream.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace morvane::irr {

using runtime::Direction;
using runtime::Poll;
using runtime::ReadyEvent;

OwnedFd& OwnedFd::operator=(OwnedFd&& o) noexcept {
    if (this != &o) {
        reset();
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

void OwnedFd::reset() noexcept {
    // close() is not retried on EINTR: on Linux the descriptor is released either way.
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

Poll<Result<std::size_t>> TcpStream::poll_read(runtime::Context& cx, std::span<char> buf) {
    for (;;) {
        Poll<ReadyEvent> ready = registration_.poll_ready(cx, Direction::read);
        if (ready.is_pending()) return Poll<Result<std::size_t>>::pending();
        const ssize_t n = ::recv(fd_.get(), buf.data(), buf.size(), 0);
        if (n >= 0) return Poll<Result<std::size_t>>::ready(static_cast<std::size_t>(n));
        const int err = errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            registration_.clear_readiness(ready.value());
            continue;
        }
        return Poll<Result<std::size_t>>::ready(ClientError::from_errno(err));
    }
}

Poll<Result<std::size_t>> TcpStream::poll_write(runtime::Context& cx, std::span<const char> buf) {
    for (;;) {
        Poll<ReadyEvent> ready = registration_.poll_ready(cx, Direction::write);
        if (ready.is_pending()) return Poll<Result<std::size_t>>::pending();
        const ssize_t n = ::send(fd_.get(), buf.data(), buf.size(), MSG_NOSIGNAL);
        if (n >= 0) return Poll<Result<std::size_t>>::ready(static_cast<std::size_t>(n));
        const int err = errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            registration_.clear_readiness(ready.value());
            continue;
        }
        return Poll<Result<std::size_t>>::ready(ClientError::from_errno(err));
    }
}

runtime::Task<Result<TcpStream>> connect_stream(SocketAddress address) {
    OwnedFd fd(::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) co_return ClientError::from_errno(errno);
    if (::connect(fd.get(), address.get(), address.length) != 0) {
        // EINPROGRESS: the handshake goes on in the background. EINTR on a non-blocking socket
        // means the same on Linux: completion is reported through writability and SO_ERROR.
        const int err = errno;
        if (err != EINPROGRESS && err != EINTR) co_return ClientError::from_errno(err);
    }
    std::error_code ec;
    runtime::Registration registration = runtime::Registration::open(fd.get(), ec);
    if (!registration.valid()) co_return ClientError::from_errno(ec ? ec.value() : EINVAL);

    co_await registration.ready(Direction::write);

    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) {
        co_return ClientError::from_errno(errno);
    }
    if (so_error != 0) co_return ClientError::from_errno(so_error);
    co_return TcpStream(std::move(fd), std::move(registration));
}

}  // namespace morvane::irr
