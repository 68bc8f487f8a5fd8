#pragma once
// Socket addresses for connect: literal "a.b.c.d:port" / "[v6%scope]:port" text, or a
// "host:port" text resolved by the system resolver.
#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/src/result.hpp"

namespace morvane::irr {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// The address when `text` is a literal IPv4 or IPv6 socket address, else nullopt.
std::optional<SocketAddress> parse_socket_address(std::string_view text);

// Splits "host:port" at its last colon and resolves host with getaddrinfo (stream sockets),
// keeping the resolver's order and its IPv4 and IPv6 entries. Blocks: run it on a blocking thread.
Result<std::vector<SocketAddress>> resolve_socket_address(const std::string& text);

}  // namespace morvane::irr
