// A registry whois server for benchmarks: answers IRRd "!g" origin queries with a fixed-size
// prefix list so fast that the client under test is always the bottleneck.
//
//   irr_server [--host 127.0.0.1] [--port 0] [--prefixes 2] [--threads 1]
//
// Prints "port <n>" on stdout once listening. Speaks just enough of the protocol for the clients
// we compare: "!!" (keep the connection open across queries), "!gAS<n>" (answer), "!q" (close),
// any other "!" command gets "C". Without "!!" the connection closes after the first answer, the
// way a registry treats a one-shot query. Each thread runs its own epoll loop on a SO_REUSEPORT
// listener; connections never move between threads.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    long prefixes = 2;
    int threads = 1;
};

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

// The reply's data block: `count` distinct IPv4 /24 prefixes separated by single spaces.
std::string make_reply(long count) {
    std::string data;
    data.reserve(static_cast<size_t>(count) * 16);
    for (long i = 0; i < count; ++i) {
        if (i) data += ' ';
        data += std::to_string(10 + (i >> 16) % 200) + '.' + std::to_string((i >> 8) & 255) + '.' +
                std::to_string(i & 255) + ".0/24";
    }
    return "A" + std::to_string(data.size() + 1) + "\n" + data + "\nC\n";
}

struct Connection {
    int fd;
    bool persistent = false;
    bool closing = false;
    std::string in;
    std::string out;
    size_t out_off = 0;
};

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

int open_listener(const Options& opt, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, opt.host.c_str(), &addr.sin_addr) != 1) die("inet_pton");
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) die("bind");
    if (::listen(fd, 65535) < 0) die("listen");
    return fd;
}

int bound_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) die("getsockname");
    return ntohs(addr.sin_port);
}

class Loop {
  public:
    Loop(int listener, const std::string& reply) : listener_(listener), reply_(reply) {
        if (epfd_.get() < 0) die("epoll_create1");
        add(listener_, EPOLLIN);
    }

    void run() {
        std::vector<epoll_event> events(1024);
        for (;;) {
            int n = ::epoll_wait(epfd_.get(), events.data(), static_cast<int>(events.size()), -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                die("epoll_wait");
            }
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd == listener_) {
                    accept_all();
                } else {
                    service(fd, events[i].events);
                }
            }
        }
    }

  private:
    void add(int fd, uint32_t ev) {
        epoll_event e{};
        e.events = ev;
        e.data.fd = fd;
        if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, fd, &e) < 0) die("epoll_ctl");
    }

    void accept_all() {
        for (;;) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN, or a transient error: the next event retries
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            conns_[fd].fd = fd;
            add(fd, EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP);
        }
    }

    void drop(int fd) {
        conns_.erase(fd);
        ::close(fd);
    }

    // Appends the answers for every complete line in `c.in`.
    void answer(Connection& c) {
        size_t start = 0;
        for (;;) {
            size_t nl = c.in.find('\n', start);
            if (nl == std::string::npos) break;
            std::string_view line(c.in.data() + start, nl - start);
            start = nl + 1;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (c.closing) continue;
            if (line == "!!") {
                c.persistent = true;
            } else if (line.starts_with("!g")) {
                c.out += reply_;
                if (!c.persistent) c.closing = true;
            } else if (line == "!q") {
                c.closing = true;
            } else if (line.starts_with("!")) {
                c.out += "C\n";
            } else if (!line.empty()) {
                c.out += "D\n";
                if (!c.persistent) c.closing = true;
            }
        }
        c.in.erase(0, start);
    }

    void service(int fd, uint32_t ev) {
        auto it = conns_.find(fd);
        if (it == conns_.end()) return;
        Connection& c = it->second;
        if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            char buf[16384];
            for (;;) {
                ssize_t r = ::recv(fd, buf, sizeof buf, 0);
                if (r > 0) {
                    c.in.append(buf, static_cast<size_t>(r));
                    if (c.in.size() > (1u << 20)) return drop(fd);  // no line is that long
                    continue;
                }
                if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    if (c.out.size() == c.out_off) return drop(fd);
                    c.closing = true;
                }
                break;
            }
            answer(c);
        }
        while (c.out_off < c.out.size()) {
            ssize_t w =
                ::send(fd, c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
            if (w > 0) {
                c.out_off += static_cast<size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                return;  // EPOLLOUT (edge-triggered) resumes us
            } else {
                return drop(fd);
            }
        }
        c.out.clear();
        c.out_off = 0;
        if (c.closing) drop(fd);
    }

    int listener_;
    const std::string& reply_;
    Fd epfd_{::epoll_create1(EPOLL_CLOEXEC)};
    std::unordered_map<int, Connection> conns_;
};

Options parse(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--host")
            opt.host = next();
        else if (a == "--port")
            opt.port = std::atoi(next().c_str());
        else if (a == "--prefixes")
            opt.prefixes = std::atol(next().c_str());
        else if (a == "--threads")
            opt.threads = std::max(1, std::atoi(next().c_str()));
        else {
            std::fprintf(stderr,
                         "usage: irr_server [--host H] [--port P] [--prefixes N] [--threads T]\n");
            std::exit(2);
        }
    }
    return opt;
}

}  // namespace

int main(int argc, char** argv) {
    const Options opt = parse(argc, argv);
    const std::string reply = make_reply(opt.prefixes);
    Fd first(open_listener(opt, opt.port));
    const int port = bound_port(first.get());
    std::vector<std::unique_ptr<Fd>> listeners;
    for (int t = 1; t < opt.threads; ++t)
        listeners.push_back(std::make_unique<Fd>(open_listener(opt, port)));
    std::printf("port %d\n", port);
    std::fflush(stdout);
    std::vector<std::thread> threads;
    for (auto& l : listeners) {
        int fd = l->get();
        threads.emplace_back([fd, &reply] { Loop(fd, reply).run(); });
    }
    Loop(first.get(), reply).run();
}
