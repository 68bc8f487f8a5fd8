#include "morvane/src/irr.hpp"

#include <optional>
#include <utility>

#include "morvane/src/route_query.hpp"
#include "morvane/src/socket_address.hpp"
#include "runtime/runtime.hpp"

namespace morvane::irr {

runtime::Task<Result<IRRClient>> IRRClient::connect(std::string address) {
    std::vector<SocketAddress> candidates;
    if (std::optional<SocketAddress> literal = parse_socket_address(address)) {
        candidates.push_back(*literal);
    } else {
        // getaddrinfo blocks, so it runs on a blocking thread while this task waits. The job is
        // started outside the co_await expression: g++ 12 destroys temporaries with non-trivial
        // destructors (here the lambda and its captured text) twice when they appear inside one.
        auto job = runtime::spawn_blocking(
            [text = std::move(address)] { return resolve_socket_address(text); });
        auto lookup = co_await job;
        if (lookup.faulted()) co_return ClientError(ErrorKind::other, "task panicked");
        if (lookup.cancelled()) co_return ClientError(ErrorKind::other, "task was cancelled");
        Result<std::vector<SocketAddress>> resolved = lookup.take();
        if (!resolved) co_return resolved.take_error();
        candidates = resolved.take();
    }

    std::optional<ClientError> last_error;
    for (const SocketAddress& candidate : candidates) {
        Result<TcpStream> attempt = co_await connect_stream(candidate);
        if (attempt) co_return IRRClient(attempt.take());
        last_error = attempt.take_error();
    }
    if (last_error) co_return std::move(*last_error);
    co_return ClientError(ErrorKind::invalid_input, "could not resolve to any address");
}

runtime::Task<std::optional<ClientError>> IRRClient::exchange(std::string_view text,
                                                              ReplyReader& reader) {
    std::span<const char> rest(text.data(), text.size());
    while (!rest.empty()) {
        Result<std::size_t> written = co_await stream.write_some(rest);
        if (!written) co_return written.take_error();
        if (written.value() == 0) co_return ClientError(ErrorKind::write_zero, "write zero");
        rest = rest.subspan(written.value());
    }
    for (;;) {
        Result<std::size_t> got = co_await stream.read_some(reader.read_buffer());
        if (!got) co_return got.take_error();
        switch (reader.on_read(got.value())) {
            case ReplyReader::Status::done:
                co_return std::nullopt;
            case ReplyReader::Status::failed:
                co_return reader.error();
            case ReplyReader::Status::need_more:
                break;
        }
    }
}

runtime::Task<Result<std::string>> IRRClient::query(std::string_view text) {
    // The reader (with its 8,192-byte buffer) lives for this query only; whatever it holds past
    // the payload, such as the "C" line, is dropped with it.
    ReplyReader reader;
    std::optional<ClientError> failed = co_await exchange(text, reader);
    if (failed) co_return std::move(*failed);
    co_return reader.take_payload();
}

runtime::Task<Result<WordList>> IRRClient::route_words(std::int32_t asn) {
    // The line lives in this frame until the exchange, which borrows it, has completed.
    const std::string line = route_query(asn);
    ReplyReader reader(ReplyReader::SplitWords{kMaxPrefixes});
    std::optional<ClientError> failed = co_await exchange(line, reader);
    if (failed) co_return std::move(*failed);
    co_return reader.take_words();
}

runtime::Task<Result<std::vector<std::string>>> IRRClient::route(std::int32_t asn) {
    Result<WordList> words = co_await route_words(asn);
    if (!words) co_return words.take_error();
    co_return words.value().to_strings();
}

}  // namespace morvane::irr
