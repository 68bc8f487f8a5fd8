#include "morvane/src/socket_address.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/decimal.hpp"

namespace morvane::irr {
namespace {

// A port in a literal address: decimal digits only (leading zeros allowed), at most 65535.
std::optional<in_port_t> parse_literal_port(std::string_view text) {
    if (text.empty()) return std::nullopt;
    unsigned value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(ch - '0');
        if (value > 65535) return std::nullopt;
    }
    return static_cast<in_port_t>(value);
}

// An address of type Sockaddr (sockaddr_in or sockaddr_in6) that `fill(host, address)` sets up
// from the literal `host`, or nothing when `fill` finds it is not such a literal.
template <class Sockaddr, class Fill>
std::optional<SocketAddress> from_literal(std::string_view host, Fill fill) {
    const std::string text(host);
    SocketAddress out;
    if (!fill(text.c_str(), *reinterpret_cast<Sockaddr*>(&out.storage))) return std::nullopt;
    out.length = sizeof(Sockaddr);
    return out;
}

std::optional<SocketAddress> parse_v4(std::string_view host, in_port_t port) {
    if (host.size() > 15) return std::nullopt;
    return from_literal<sockaddr_in>(host, [port](const char* text, sockaddr_in& sin) {
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        return ::inet_pton(AF_INET, text, &sin.sin_addr) == 1;
    });
}

std::optional<SocketAddress> parse_v6(std::string_view host, in_port_t port) {
    std::uint32_t scope = 0;
    if (const auto pct = host.find('%'); pct != std::string_view::npos) {
        const auto id = parse_u64(host.substr(pct + 1));
        if (!id.value || *id.value > 0xFFFFFFFFu || host[pct + 1] == '+') return std::nullopt;
        scope = static_cast<std::uint32_t>(*id.value);
        host = host.substr(0, pct);
    }
    if (host.size() > INET6_ADDRSTRLEN) return std::nullopt;
    return from_literal<sockaddr_in6>(host, [port, scope](const char* text, sockaddr_in6& sin6) {
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(port);
        sin6.sin6_scope_id = scope;
        return ::inet_pton(AF_INET6, text, &sin6.sin6_addr) == 1;
    });
}

struct AddrinfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

}  // namespace

std::optional<SocketAddress> parse_socket_address(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto port = parse_literal_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    const std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return parse_v6(host.substr(1, host.size() - 2), *port);
    }
    return parse_v4(host, *port);
}

Result<std::vector<SocketAddress>> resolve_socket_address(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return ClientError(ErrorKind::invalid_input, "invalid socket address");
    }
    const auto port = parse_u64(std::string_view(text).substr(colon + 1));
    if (!port.value || *port.value > 65535) {
        return ClientError(ErrorKind::invalid_input, "invalid port value");
    }
    const std::string host = text.substr(0, colon);
    if (host.find('\0') != std::string::npos) {
        return ClientError(ErrorKind::invalid_input, "host name contained an unexpected NUL byte");
    }

    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    errno = 0;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
    if (rc != 0) return ClientError::from_resolver(rc, errno);
    const std::unique_ptr<addrinfo, AddrinfoDeleter> list(raw);

    std::vector<SocketAddress> out;
    const auto net_port = htons(static_cast<in_port_t>(*port.value));
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        SocketAddress addr;
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            std::memcpy(&addr.storage, ai->ai_addr, sizeof(sockaddr_in));
            reinterpret_cast<sockaddr_in*>(&addr.storage)->sin_port = net_port;
            addr.length = sizeof(sockaddr_in);
        } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
            std::memcpy(&addr.storage, ai->ai_addr, sizeof(sockaddr_in6));
            reinterpret_cast<sockaddr_in6*>(&addr.storage)->sin6_port = net_port;
            addr.length = sizeof(sockaddr_in6);
        } else {
            continue;
        }
        out.push_back(addr);
    }
    return out;
}

}  // namespace morvane::irr
