#include "morvane/src/tcp_stream.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace morvane::irr {

using runtime::Direction;
using runtime::Poll;
using runtime::ReadyEvent;

namespace {

// One non-blocking socket operation on a registered socket: waits for readiness in `direction`,
// runs `op`, and on EAGAIN clears the readiness it saw (never newer readiness) and waits again.
template <class Op>
Poll<Result<std::size_t>> poll_io(runtime::Registration& registration, runtime::Context& cx,
                                  Direction direction, Op op) {
    for (;;) {
        Poll<ReadyEvent> ready = registration.poll_ready(cx, direction);
        if (ready.is_pending()) return Poll<Result<std::size_t>>::pending();
        const ssize_t n = op();
        if (n >= 0) return Poll<Result<std::size_t>>::ready(static_cast<std::size_t>(n));
        const int err = errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            registration.clear_readiness(ready.value());
            continue;
        }
        return Poll<Result<std::size_t>>::ready(ClientError::from_errno(err));
    }
}

}  // namespace

Poll<Result<std::size_t>> TcpStream::poll_read(runtime::Context& cx, std::span<char> buf) {
    return poll_io(registration_, cx, Direction::read,
                   [&] { return ::recv(fd_.get(), buf.data(), buf.size(), 0); });
}

Poll<Result<std::size_t>> TcpStream::poll_write(runtime::Context& cx, std::span<const char> buf) {
    return poll_io(registration_, cx, Direction::write,
                   [&] { return ::send(fd_.get(), buf.data(), buf.size(), MSG_NOSIGNAL); });
}

runtime::Task<Result<TcpStream>> connect_stream(SocketAddress address) {
    UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) co_return ClientError::from_errno(errno);
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
