// The ceiling for the benchmark: a single-threaded epoll client that does what one fetch_routes
// call does and nothing more. Per lookup it resolves the host name with getaddrinfo (as the module
// does, on this thread since there is nothing else to do meanwhile), opens a non-blocking TCP
// connection, sends "!gAS<n>", reads the "A<len>" header and the payload, splits the payload into
// one owned string per word and closes. `concurrency` lookups are in flight at any time.
//
//   epoll_client --host H --port P --lookups N --concurrency C
//                --expect-count K --expect-first F --expect-last L [--timeout S]
//
// Prints one JSON object on stdout. Every result is checked (count, first and last prefix);
// a mismatch counts as an error. Exits 1 on any error, 2 on bad usage, 3 on the time limit.
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string host = "127.0.0.1";
    std::string port = "43";
    long lookups = 1000;
    long concurrency = 1;
    long expect_count = 2;
    std::string expect_first, expect_last;
    double timeout = 120;
};

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

double thread_cpu() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// VmRSS or VmHWM of this process, in KiB.
long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
            return std::atol(line.c_str() + n + 1);
        }
    }
    return -1;
}

void reset_peak_rss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";  // resets VmHWM to the current RSS
}

enum class State { kConnecting, kHeader, kPayload };

// One lookup in flight; slots are reused for the next lookup when one ends.
struct Lookup {
    Fd fd;
    State state = State::kConnecting;
    std::string query;
    std::string header;
    std::unique_ptr<char[]> payload;  // allocated once at the declared size, not zeroed
    size_t size = 0;
    size_t filled = 0;

    void reset() {
        fd.reset();
        state = State::kConnecting;
        header.clear();
        payload.reset();
        size = filled = 0;
    }
};

constexpr std::array<bool, 256> kSpace = [] {
    std::array<bool, 256> t{};
    for (unsigned char c : {' ', '\n', '\t', '\r', '\f', '\v'}) t[c] = true;
    return t;
}();

inline bool is_space(char c) {
    return kSpace[static_cast<unsigned char>(c)];
}

std::vector<std::string> split(const char* p, size_t n) {
    size_t count = 0;  // a counting pass is cheaper than growing the vector
    for (size_t i = 0; i < n; ++i) count += !is_space(p[i]) && (i + 1 == n || is_space(p[i + 1]));
    std::vector<std::string> words;
    words.reserve(count);
    size_t i = 0;
    while (i < n) {
        while (i < n && is_space(p[i])) ++i;
        size_t start = i;
        while (i < n && !is_space(p[i])) ++i;
        if (i > start) words.emplace_back(p + start, i - start);
    }
    return words;
}

class Client {
  public:
    explicit Client(const Options& opt) : opt_(opt), slots_(static_cast<size_t>(opt.concurrency)) {
        if (epfd_.get() < 0) fail_hard("epoll_create1");
    }

    void run() {
        for (size_t s = slots_.size(); s-- > 0;) free_.push_back(s);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(opt_.timeout);
        std::vector<epoll_event> events(1024);
        while (finished_ < opt_.lookups) {
            // Refilling here rather than from finish() keeps a run of failing starts iterative.
            while (!free_.empty() && started_ < opt_.lookups) {
                const size_t slot = free_.back();
                free_.pop_back();
                start(slot);
            }
            if (finished_ == opt_.lookups) break;
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "epoll_client: time limit reached\n");
                std::exit(3);
            }
            int n = ::epoll_wait(epfd_.get(), events.data(), static_cast<int>(events.size()), 1000);
            if (n < 0 && errno != EINTR) fail_hard("epoll_wait");
            for (int i = 0; i < n; ++i) service(static_cast<size_t>(events[i].data.u64));
        }
    }

    long errors() const { return errors_; }
    const std::string& first_error() const { return first_error_; }

  private:
    [[noreturn]] static void fail_hard(const char* what) {
        std::perror(what);
        std::exit(1);
    }

    void error(size_t slot, const std::string& what) {
        if (errors_++ == 0) first_error_ = what;
        finish(slot);
    }

    // Starts lookup number `started_` in `slot`; a failure to even start ends it at once.
    void start(size_t slot) {
        Lookup& l = slots_[slot];
        l.reset();
        l.query = "!gAS" + std::to_string(3333 + started_++) + "\n";
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (int rc = ::getaddrinfo(opt_.host.c_str(), opt_.port.c_str(), &hints, &res); rc != 0) {
            return error(slot, std::string("getaddrinfo: ") + ::gai_strerror(rc));
        }
        std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(res, &::freeaddrinfo);
        int last = 0;
        for (addrinfo* a = res; a; a = a->ai_next) {
            l.fd.reset(::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (l.fd.get() < 0) return error(slot, std::string("socket: ") + std::strerror(errno));
            if (::connect(l.fd.get(), a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS) {
                epoll_event e{};
                e.events = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
                e.data.u64 = slot;
                if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, l.fd.get(), &e) < 0)
                    fail_hard("epoll_ctl");
                return;
            }
            last = errno;
            l.fd.reset();
        }
        error(slot, std::string("connect: ") + std::strerror(last));
    }

    void finish(size_t slot) {
        slots_[slot].reset();
        ++finished_;
        free_.push_back(slot);
    }

    void service(size_t slot) {
        Lookup& l = slots_[slot];
        if (l.fd.get() < 0) return;
        if (l.state == State::kConnecting) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(l.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
            if (err) return error(slot, std::string("connect: ") + std::strerror(err));
            // The query is a few bytes: a fresh connection's send buffer always takes it whole.
            ssize_t w = ::send(l.fd.get(), l.query.data(), l.query.size(), MSG_NOSIGNAL);
            if (w == -1 && (errno == EAGAIN || errno == ENOTCONN)) return;  // not connected yet
            if (w != static_cast<ssize_t>(l.query.size())) return error(slot, "short send");
            l.state = State::kHeader;
        }
        char buf[8192];
        for (;;) {
            ssize_t r;
            if (l.state == State::kPayload) {
                r = ::recv(l.fd.get(), l.payload.get() + l.filled, l.size - l.filled, 0);
            } else {
                r = ::recv(l.fd.get(), buf, sizeof buf, 0);
            }
            if (r < 0) {
                if (errno == EAGAIN) return;
                if (errno == EINTR) continue;
                return error(slot, std::string("recv: ") + std::strerror(errno));
            }
            if (r == 0) return error(slot, "early eof");
            if (l.state == State::kHeader) {
                const char* nl = static_cast<const char*>(std::memchr(buf, '\n', size_t(r)));
                if (!nl) {
                    l.header.append(buf, size_t(r));
                    if (l.header.size() > 64) return error(slot, "header too long");
                    continue;
                }
                l.header.append(buf, size_t(nl - buf));
                if (l.header.empty() || l.header[0] != 'A')
                    return error(slot, "no data: " + l.header);
                char* end = nullptr;
                long size = std::strtol(l.header.c_str() + 1, &end, 10);
                if (size < 0 || size > (1L << 30)) return error(slot, "bad header: " + l.header);
                l.size = size_t(size);
                l.payload = std::make_unique_for_overwrite<char[]>(l.size);
                l.filled = std::min(size_t(buf + r - (nl + 1)), l.size);
                std::memcpy(l.payload.get(), nl + 1, l.filled);
                l.state = State::kPayload;
            } else {
                l.filled += size_t(r);
            }
            if (l.filled == l.size) return complete(slot);
        }
    }

    void complete(size_t slot) {
        Lookup& l = slots_[slot];
        std::vector<std::string> prefixes = split(l.payload.get(), l.size);
        if (static_cast<long>(prefixes.size()) != opt_.expect_count ||
            (!prefixes.empty() &&
             (prefixes.front() != opt_.expect_first || prefixes.back() != opt_.expect_last))) {
            return error(slot,
                         "wrong prefix list (" + std::to_string(prefixes.size()) + " prefixes)");
        }
        finish(slot);
    }

    const Options& opt_;
    Fd epfd_{::epoll_create1(EPOLL_CLOEXEC)};
    std::vector<Lookup> slots_;
    std::vector<size_t> free_;  // slots with no lookup in flight
    long started_ = 0;
    long finished_ = 0;
    long errors_ = 0;
    std::string first_error_;
};

Options parse(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "epoll_client: %s needs a value\n", a.c_str());
            std::exit(2);
        }
        std::string v = argv[++i];
        if (a == "--host")
            opt.host = v;
        else if (a == "--port")
            opt.port = v;
        else if (a == "--lookups")
            opt.lookups = std::atol(v.c_str());
        else if (a == "--concurrency")
            opt.concurrency = std::atol(v.c_str());
        else if (a == "--expect-count")
            opt.expect_count = std::atol(v.c_str());
        else if (a == "--expect-first")
            opt.expect_first = v;
        else if (a == "--expect-last")
            opt.expect_last = v;
        else if (a == "--timeout")
            opt.timeout = std::atof(v.c_str());
        else {
            std::fprintf(stderr, "epoll_client: unknown option %s\n", a.c_str());
            std::exit(2);
        }
    }
    if (opt.lookups < 1 || opt.concurrency < 1 || opt.timeout <= 0) {
        std::fprintf(stderr,
                     "epoll_client: --lookups, --concurrency and --timeout must be positive\n");
        std::exit(2);
    }
    opt.concurrency = std::min(opt.concurrency, opt.lookups);
    return opt;
}

// Loads the resolver's modules and files once, so the baseline RSS does not count them as a
// per-lookup cost.
void warm_resolver(const Options& opt) {
    addrinfo* res = nullptr;
    if (::getaddrinfo(opt.host.c_str(), opt.port.c_str(), nullptr, &res) == 0) ::freeaddrinfo(res);
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        out += c;
    }
    return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
    const Options opt = parse(argc, argv);
    // Keep freed reply buffers in the heap instead of handing them back to the kernel after each
    // lookup: page faults on fresh pages would otherwise be a third of a large reply's cost.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    warm_resolver(opt);
    const long rss_base = status_kib("VmRSS");
    reset_peak_rss();
    Client client(opt);  // its per-lookup slots count as in-flight memory
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = thread_cpu();
    client.run();
    const double cpu = thread_cpu() - c0;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf(
        "{\"lookups\": %ld, \"errors\": %ld, \"first_error\": %s, \"elapsed\": %.6f, "
        "\"loop_cpu\": %.6f, \"total_cpu\": %.6f, \"rss_base_kib\": %ld, \"rss_peak_kib\": %ld, "
        "\"in_flight\": %ld}\n",
        opt.lookups, client.errors(), json_string(client.first_error()).c_str(), elapsed, cpu, cpu,
        rss_base, status_kib("VmHWM"), opt.concurrency);
    return client.errors() ? 1 : 0;
}
