#pragma once
// TcpStream: a connected, non-blocking TCP socket registered with the current runtime's reactor.
// Reads and writes are futures that suspend the task (never the thread) until the socket is
// ready. The stream owns its descriptor: destroying it deregisters the socket first and closes
// the descriptor after, with no shutdown of either direction.
#include <cstddef>
#include <span>
#include <utility>

#include "base/unique_fd.hpp"
#include "morvane/src/result.hpp"
#include "morvane/src/socket_address.hpp"
#include "runtime/io_registration.hpp"
#include "runtime/task.hpp"

namespace morvane::irr {

class TcpStream {
  public:
    TcpStream(UniqueFd fd, runtime::Registration registration)
        : fd_(std::move(fd)), registration_(std::move(registration)) {}
    TcpStream(TcpStream&&) noexcept = default;
    // Not defaulted: member-wise assignment would close the old descriptor while it is still
    // registered. The old registration goes first, then the old descriptor.
    TcpStream& operator=(TcpStream&& o) noexcept {
        if (this != &o) {
            registration_ = std::move(o.registration_);
            fd_ = std::move(o.fd_);
        }
        return *this;
    }

    // One recv (no flags) into `buf` once the socket is readable: the byte count, 0 at the end of
    // the stream, or the operating system's error.
    runtime::Poll<Result<std::size_t>> poll_read(runtime::Context& cx, std::span<char> buf);
    // One send with MSG_NOSIGNAL (a closed peer yields EPIPE, never SIGPIPE) once the socket is
    // writable: the count taken or the error.
    runtime::Poll<Result<std::size_t>> poll_write(runtime::Context& cx, std::span<const char> buf);

    // Futures over poll_read / poll_write; they borrow the stream and the buffer.
    class ReadSome;
    class WriteSome;
    ReadSome read_some(std::span<char> buf);
    WriteSome write_some(std::span<const char> buf);

  private:
    // Destroyed in reverse order: the registration goes before the descriptor closes, so the
    // reactor never sees a descriptor number that may already be reused.
    UniqueFd fd_;
    runtime::Registration registration_;
};

class TcpStream::ReadSome {
  public:
    ReadSome(TcpStream& s, std::span<char> buf) : stream_(&s), buf_(buf) {}
    runtime::Poll<Result<std::size_t>> poll(runtime::Context& cx) {
        return stream_->poll_read(cx, buf_);
    }

  private:
    TcpStream* stream_;
    std::span<char> buf_;
};

class TcpStream::WriteSome {
  public:
    WriteSome(TcpStream& s, std::span<const char> buf) : stream_(&s), buf_(buf) {}
    runtime::Poll<Result<std::size_t>> poll(runtime::Context& cx) {
        return stream_->poll_write(cx, buf_);
    }

  private:
    TcpStream* stream_;
    std::span<const char> buf_;
};

inline TcpStream::ReadSome TcpStream::read_some(std::span<char> buf) {
    return {*this, buf};
}
inline TcpStream::WriteSome TcpStream::write_some(std::span<const char> buf) {
    return {*this, buf};
}

// One connect attempt: a non-blocking, close-on-exec socket of the address's family, the connect
// started, the socket registered, a wait for writability, then SO_ERROR. No socket option is set
// and there is no time-out. On failure the attempt's socket is closed.
runtime::Task<Result<TcpStream>> connect_stream(SocketAddress address);

}  // namespace morvane::irr
