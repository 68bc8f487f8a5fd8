// The reply path of the registry client on arbitrary server bytes: framing (header line, declared
// length, payload) delivered in arbitrary read sizes, UTF-8 validation, the header's White_Space
// trim, and the words found while the payload arrives (the word scanner), under a bound on their
// count.
// Every outcome is compared with a naive model computed from the whole stream at once, so the
// result must not depend on how the bytes were cut into reads.
//
// Input layout: [mode][seed][repeat], with mode bit 4 a [bound] byte, then the stream. mode bits
// 0-1 choose the read sizes (whole buffers, single bytes, 1..64, 1..3*kReaderCapacity), bit 2
// withholds the end of the stream, bit 3 repeats the stream to up to 16 KiB (repeat*64 bytes) so
// replies larger than the reader's buffer (direct payload reads) are reached, and bit 4 makes the
// reader split the payload into words, at most `bound` (0..255) of them: small enough for both
// sides of the bound to be reached. Bit 5 keeps the reply cache as earlier inputs left it, so the
// reader may start with a recycled storage, its old bytes still in it; otherwise it starts with a
// fresh one, whose growth is then exercised from nothing.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.hpp"
#include "fuzz/reference.hpp"
#include "morvane/src/reply_header.hpp"
#include "morvane/src/reply_reader.hpp"
#include "morvane/src/reply_storage.hpp"
#include "morvane/src/whitespace.hpp"

namespace morvane::fuzz {
namespace {

using irr::ReplyReader;
using Status = ReplyReader::Status;

struct Expected {
    Status status = Status::need_more;
    irr::ErrorKind kind = irr::ErrorKind::other;
    std::string message;  // empty: not compared
    std::string_view payload;
    // need_more, or failed for too many words already: the reader counts a word once the 64-byte
    // block it starts in has arrived, and which words those are depends on where reads ended.
    bool or_too_many = false;
};

Expected failed(irr::ErrorKind kind, std::string message = {}) {
    return {Status::failed, kind, std::move(message), {}};
}

std::string utf8_message(const Utf8Verdict& v) {
    return morvane::Utf8Error{v.valid_up_to, v.error_len}.message();
}

std::string too_many(std::size_t bound) {
    return "reply holds " + std::to_string(bound + 1) + " prefixes, more than the limit of " +
           std::to_string(bound);
}

// The reader's verdict on the words of the `received` payload bytes when it splits them under
// `bound`, if the words decide it: they count up to the first malformed sequence, the payload's
// end or the stream's (`ended`: no byte will follow); otherwise only those at least a block
// behind the last byte received are sure to be counted.
std::optional<Expected> words_verdict(std::string_view received, bool ended, std::size_t bound) {
    const Utf8Verdict v = check_utf8(received);
    const std::vector<std::size_t> starts =
        word_starts(received.substr(0, v.ok ? received.size() : v.valid_up_to));
    if (starts.size() <= bound) return std::nullopt;
    Expected over = failed(irr::ErrorKind::invalid_data, too_many(bound));
    if (ended) return over;
    const std::size_t sure = received.size() < 64 ? 0 : received.size() - 63;
    std::size_t counted = 0;
    while (counted < starts.size() && starts[counted] < sure) ++counted;
    if (counted > bound) return over;
    Expected either = over;
    either.status = Status::need_more;
    either.or_too_many = true;
    return either;
}

// What the reader must conclude from `stream`, followed by the end of the stream if `eof`, when
// it splits words under `bound` if one is given.
Expected model(std::string_view stream, bool eof, std::optional<std::size_t> bound) {
    const std::size_t lf = stream.find('\n');
    std::string_view line;
    if (lf != std::string_view::npos) {
        if (lf + 1 > irr::kMaxHeaderLine) return failed(irr::ErrorKind::invalid_data);
        line = stream.substr(0, lf + 1);
    } else {
        if (stream.size() > irr::kMaxHeaderLine) return failed(irr::ErrorKind::invalid_data);
        if (!eof) return {};
        line = stream;
    }
    const std::string_view rest = stream.substr(line.size());
    if (!check_utf8(line).ok) {
        return failed(irr::ErrorKind::invalid_data, std::string(irr::kHeaderNotUtf8));
    }
    if (line.empty()) return failed(irr::ErrorKind::unexpected_eof, std::string(irr::kNoReply));
    if (static_cast<unsigned char>(line[0]) >= 0x80) {
        return failed(irr::ErrorKind::invalid_data, std::string(irr::kMultibyteCode));
    }
    const U64 length = parse_u64(trim(line.substr(1)));
    if (!length.value) return failed(irr::ErrorKind::other, length.error);
    if (*length.value > irr::kMaxPayload) return failed(irr::ErrorKind::invalid_data);
    const std::string_view payload = rest.substr(0, *length.value);
    const bool complete = payload.size() == *length.value;
    if (bound) {
        if (auto verdict = words_verdict(payload, complete || eof, *bound)) return *verdict;
    }
    if (!complete) {
        if (eof) return failed(irr::ErrorKind::unexpected_eof, "early eof");
        return {};
    }
    const Utf8Verdict v = check_utf8(payload);
    if (!v.ok) return failed(irr::ErrorKind::invalid_data, utf8_message(v));
    return {Status::done, {}, {}, payload};
}

}  // namespace
}  // namespace morvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane::fuzz;
    Bytes in(data, size);
    const std::uint8_t mode = in.take();
    Rng rng(in.take());
    const std::uint8_t repeat = in.take();
    const std::optional<std::size_t> bound =
        (mode & 16) ? std::optional<std::size_t>(in.take()) : std::nullopt;
    std::string stream(in.rest());
    const bool repeated = (mode & 8) && !stream.empty();
    if (repeated) {
        const std::size_t target = std::size_t{repeat} * 64;
        while (stream.size() < target) stream.append(stream, 0, target - stream.size());
    }
    const bool eof = !(mode & 4);

    // The validator and the header's trim on their own, on the raw (often invalid) bytes:
    // validation must agree exactly; the trim must match the model on UTF-8 and at least stay in
    // bounds on the rest. A repeated stream holds nothing new for them.
    const auto verdict = morvane::validate_utf8(stream);
    const Utf8Verdict naive = check_utf8(stream);
    CHECK(verdict.has_value() == !naive.ok);
    if (verdict) {
        CHECK(verdict->valid_up_to == naive.valid_up_to && verdict->error_len == naive.error_len);
    }
    if (!repeated) {
        const std::string_view trimmed = morvane::irr::trim_whitespace(stream);
        if (naive.ok) CHECK(trimmed == trim(stream));
    }

    // The reader, fed the way a socket would: each read fills some prefix of the buffer it offers.
    if (!(mode & 32)) morvane::irr::drop_cached_replies();
    ReplyReader reader = bound ? ReplyReader(ReplyReader::SplitWords{*bound}) : ReplyReader();
    // Payload capacity runs ahead of the received bytes by at most the eager reserve or their
    // own size, whatever length the header declares; a recycled storage may bring more along.
    const std::size_t recycled = reader.payload_capacity();
    std::size_t pos = 0;
    while (reader.status() == Status::need_more && pos < stream.size()) {
        const std::span<char> dst = reader.read_buffer();
        CHECK(!dst.empty());
        std::size_t n = std::min(dst.size(), stream.size() - pos);
        switch (mode & 3) {
            case 0:
                break;
            case 1:
                n = 1;
                break;
            case 2:
                n = std::min(n, 1 + rng.below(64));
                break;
            default:
                n = std::min(n, 1 + rng.below(3 * morvane::irr::kReaderCapacity));
        }
        std::memcpy(dst.data(), stream.data() + pos, n);
        pos += n;
        reader.on_read(n);
        CHECK(reader.payload_capacity() <= std::max({recycled, morvane::irr::kEagerReserve,
                                                     2 * (pos + morvane::irr::kReaderCapacity)}));
    }
    if (reader.status() == Status::need_more && eof) {
        (void)reader.read_buffer();
        reader.on_read(0);
    }

    const Expected want = model(stream, eof, bound);
    if (want.or_too_many && reader.status() == Status::failed) {
        CHECK(reader.error().message() == want.message);
        return 0;
    }
    CHECK(reader.status() == want.status);
    if (want.status == Status::failed) {
        CHECK(reader.error().kind() == want.kind);
        CHECK(!reader.error().message().empty());
        if (!want.message.empty()) CHECK(reader.error().message() == want.message);
    }
    if (want.status == Status::done) {
        if (bound) {
            const morvane::irr::WordList words = reader.take_words();
            CHECK(words.to_strings() == split(want.payload));
            CHECK(words.ascii() ==
                  std::all_of(want.payload.begin(), want.payload.end(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
        } else {
            CHECK(reader.take_payload() == want.payload);
        }
    }
    return 0;
}
