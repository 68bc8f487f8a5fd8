// The reply path of the registry client on arbitrary server bytes: framing (header line, declared
// length, payload) delivered in arbitrary read sizes, UTF-8 validation, trimming and the
// White_Space split. Every outcome is compared with a naive model computed from the whole stream
// at once, so the result must not depend on how the bytes were cut into reads.
//
// Input layout: [mode][seed][repeat] then the stream. mode bits 0-1 choose the read sizes (whole
// buffers, single bytes, 1..64, 1..3*kReaderCapacity), bit 2 withholds the end of the stream, bit 3
// repeats the stream to up to 16 KiB (repeat*64 bytes) so replies larger than the reader's
// buffer (direct payload reads) are reached.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/reference.hpp"
#include "morvane/src/reply_header.hpp"
#include "morvane/src/reply_reader.hpp"
#include "morvane/src/whitespace.hpp"
#include "runtime/utf8.hpp"

namespace morvane::fuzz {
namespace {

using irr::ReplyReader;
using Status = ReplyReader::Status;

struct Expected {
    Status status = Status::need_more;
    irr::ErrorKind kind = irr::ErrorKind::other;
    std::string message;  // empty: not compared
    std::string_view payload;
};

Expected failed(irr::ErrorKind kind, std::string message = {}) {
    return {Status::failed, kind, std::move(message), {}};
}

std::string utf8_message(const Utf8Verdict& v) {
    return morvane::Utf8Error{v.valid_up_to, v.error_len}.message();
}

// What the reader must conclude from `stream`, followed by the end of the stream if `eof`.
Expected model(std::string_view stream, bool eof) {
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
    if (rest.size() < *length.value) {
        if (eof) return failed(irr::ErrorKind::unexpected_eof, "early eof");
        return {};
    }
    const std::string_view payload = rest.substr(0, *length.value);
    const Utf8Verdict v = check_utf8(payload);
    if (!v.ok) return failed(irr::ErrorKind::invalid_data, utf8_message(v));
    return {Status::done, {}, {}, payload};
}

void check_text_functions(std::string_view text) {
    CHECK(irr::split_whitespace(text) == split(text));
    CHECK(irr::trim_whitespace(text) == trim(text));
    const std::size_t lead = irr::leading_whitespace_len(text);
    const auto cps = decode(text);
    CHECK(lead == (!cps.empty() && is_white_space(cps[0].value) ? cps[0].len : 0));
}

}  // namespace
}  // namespace morvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane::fuzz;
    Bytes in(data, size);
    const std::uint8_t mode = in.take();
    Rng rng(in.take());
    const std::uint8_t repeat = in.take();
    std::string stream(in.rest());
    const bool repeated = (mode & 8) && !stream.empty();
    if (repeated) {
        const std::size_t target = std::size_t{repeat} * 64;
        while (stream.size() < target) stream.append(stream, 0, target - stream.size());
    }
    const bool eof = !(mode & 4);

    // The validator and the text functions on their own, on the raw (often invalid) bytes:
    // validation must agree exactly; split and trim must at least stay in bounds. A repeated
    // stream holds nothing new for them.
    const auto verdict = morvane::validate_utf8(stream);
    const Utf8Verdict naive = check_utf8(stream);
    CHECK(verdict.has_value() == !naive.ok);
    if (verdict) {
        CHECK(verdict->valid_up_to == naive.valid_up_to && verdict->error_len == naive.error_len);
    }
    if (naive.ok && !repeated) check_text_functions(stream);
    if (!naive.ok && !repeated) {
        (void)morvane::irr::split_whitespace(stream);
        (void)morvane::irr::trim_whitespace(stream);
    }

    // The reader, fed the way a socket would: each read fills some prefix of the buffer it offers.
    ReplyReader reader;
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
        CHECK(reader.payload_capacity() <=
              std::max({recycled, irr::kEagerReserve, 2 * (pos + irr::kReaderCapacity)}));
    }
    if (reader.status() == Status::need_more && eof) {
        (void)reader.read_buffer();
        reader.on_read(0);
    }

    const Expected want = model(stream, eof);
    CHECK(reader.status() == want.status);
    if (want.status == Status::failed) {
        CHECK(reader.error().kind() == want.kind);
        CHECK(!reader.error().message().empty());
        if (!want.message.empty()) CHECK(reader.error().message() == want.message);
    }
    if (want.status == Status::done) {
        const std::string payload = reader.take_payload();
        CHECK(payload == want.payload);
        check_text_functions(payload);
    }
    return 0;
}
