#include "tests/morvane/scripted_server.hpp"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace morvane::irr::testing {

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 4096) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listener_);
        throw std::runtime_error("bind/listen");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
        // Wake every blocked accept/recv: held connections and the listener.
        for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (auto& t : holders_) t.join();
    ::close(listener_);
}

void ScriptedServer::accept_loop() {
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            std::lock_guard lock(mu_);
            if (stopping_) return;
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard lock(mu_);
            if (stopping_) {
                ::close(fd);
                return;
            }
            open_fds_.push_back(fd);
        }
        // Held connections get a thread each; the others are served right here, one after the
        // other, which keeps a thousand short connections cheap.
        if (script_.hold) {
            holders_.emplace_back([this, fd] { serve(fd); });
        } else {
            serve(fd);
        }
    }
}

void ScriptedServer::serve(int fd) {
    std::string got;
    char c;
    while (got.empty() || got.back() != '\n') {
        if (::recv(fd, &c, 1, 0) != 1) break;
        got += c;
    }
    for (std::size_t i = 0; i < script_.chunks.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::string& chunk = script_.chunks[i];
        for (std::size_t off = 0; off < chunk.size();) {
            const ssize_t n = ::send(fd, chunk.data() + off, chunk.size() - off, MSG_NOSIGNAL);
            if (n <= 0) break;
            off += static_cast<std::size_t>(n);
        }
    }
    bool peer_closed = false;
    if (script_.hold) {
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
        std::lock_guard lock(mu_);
        peer_closed = !stopping_;
    }
    std::lock_guard lock(mu_);
    open_fds_.erase(std::find(open_fds_.begin(), open_fds_.end(), fd));
    ::close(fd);
    received_.push_back(std::move(got));
    ++closed_;
    if (peer_closed) ++peer_closes_;
    cv_.notify_all();
}

std::vector<std::string> ScriptedServer::received() {
    std::lock_guard lock(mu_);
    return received_;
}

bool ScriptedServer::wait_closed(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return closed_ >= count; });
}

std::size_t ScriptedServer::peer_closes() {
    std::lock_guard lock(mu_);
    return peer_closes_;
}

}  // namespace morvane::irr::testing
