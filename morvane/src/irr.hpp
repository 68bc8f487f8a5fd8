#pragma once
// IRRClient: one TCP connection to an IRRd-speaking routing-registry whois server.
//
// All operations are coroutines on the background runtime: every network wait suspends the task,
// never a worker thread. A client exists only connected. It serves one query: the answer's
// trailing "C" line is left unread, and after a failed or abandoned query the only sound next
// step is to drop the client, which deregisters and closes the socket.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/src/reply_reader.hpp"
#include "morvane/src/result.hpp"
#include "morvane/src/tcp_stream.hpp"
#include "morvane/src/word_list.hpp"
#include "runtime/task.hpp"

namespace morvane::irr {

// The most prefixes one answer may hold. Real "!g" answers run to about 100,000 prefixes; 2^20
// leaves ten times that. The reply's bytes are bounded by the framing (1 GiB), but not what they
// become: 1 GiB of one-character words would be 512 Mi prefixes, about 28 GiB of Python objects.
// The reply fails as soon as its words are counted past the bound, while it arrives: one over the
// bound costs the bytes received up to that word (2 MiB for one-character words) plus 8 MiB of
// spans, whatever it declares or goes on sending; one at the bound costs its bytes plus
// per-prefix overhead (8-byte spans here, list slots and str headers in Python) of about
// 100 MiB.
inline constexpr std::size_t kMaxPrefixes = std::size_t{1} << 20;

class IRRClient {
  public:
    IRRClient(IRRClient&&) noexcept = default;
    IRRClient& operator=(IRRClient&&) noexcept = default;

    // `address` is "host:port" or a literal IP socket address ("192.0.2.1:43", "[2001:db8::1]:43").
    // A host name is resolved on the runtime's blocking threads; the resolved addresses are tried
    // in the resolver's order and the last attempt's error is reported if none connects. Must run
    // inside a task on a runtime.
    static runtime::Task<Result<IRRClient>> connect(std::string address);

    // Writes `text` (which must stay alive until the task completes) and reads one framed answer:
    // the payload text, or the error. The client must outlive the returned task.
    runtime::Task<Result<std::string>> query(std::string_view text);

    // The prefixes `asn` originates ("!gAS<asn>"): the payload's White_Space-separated words,
    // in order, repeats included, never checked, found while the answer arrives. More than
    // kMaxPrefixes of them is an error, raised as soon as they are counted. The client must
    // outlive the task.
    runtime::Task<Result<WordList>> route_words(std::int32_t asn);

    // The same as one string per prefix.
    runtime::Task<Result<std::vector<std::string>>> route(std::int32_t asn);

  private:
    // Writes `text` and reads one framed answer into `reader`; the error, if any.
    runtime::Task<std::optional<ClientError>> exchange(std::string_view text, ReplyReader& reader);

    explicit IRRClient(TcpStream s) : stream(std::move(s)) {}

    TcpStream stream;
};

}  // namespace morvane::irr
