#include "morvane/src/reply_reader.hpp"

#include <algorithm>
#include <cstring>

#include "base/fault.hpp"
#include "base/utf8.hpp"
#include "morvane/src/reply_header.hpp"

namespace morvane::irr {

ReplyReader::ReplyReader() : buf_(new char[kReaderCapacity]), storage_(acquire_reply_storage()) {}

ReplyReader::ReplyReader(SplitWords split) : ReplyReader() {
    scanner_.emplace(split.max_words);
}

std::span<char> ReplyReader::read_buffer() {
    if (status_ != Status::need_more) throw Fault("ReplyReader: read_buffer() after the end");
    // Every need_more leaves the buffer fully consumed, so a new read may start at its front.
    const std::size_t missing = declared_ - got_;
    if (in_payload_ && missing >= kReaderCapacity) {
        make_room(std::min<std::size_t>(missing, kReaderCapacity));
        direct_ = true;
        RawBuffer<char>& payload = storage_->payload;
        const std::size_t room = std::min<std::size_t>(payload.capacity() - got_, missing);
        return {payload.data() + got_, room};
    }
    direct_ = false;
    pos_ = filled_ = 0;
    return {buf_.get(), kReaderCapacity};
}

ReplyReader::Status ReplyReader::on_read(std::size_t n) {
    if (status_ != Status::need_more) throw Fault("ReplyReader: on_read() after the end");
    if (direct_) {
        if (n == 0) return fail_early_eof();
        if (received(n) != Status::need_more) return status_;
        return got_ == declared_ ? finish_payload() : status_;
    }
    if (n == 0) {
        // End of stream: in the header stage the bytes collected so far are the whole header.
        if (!in_payload_ && finish_header() != Status::need_more) return status_;
        return fail_early_eof();
    }
    pos_ = 0;
    filled_ = n;
    return consume_buffered();
}

ReplyReader::Status ReplyReader::feed(std::string_view chunk) {
    if (status_ != Status::need_more) return status_;
    if (chunk.empty()) return on_read(0);
    while (!chunk.empty() && status_ == Status::need_more) {
        const std::span<char> dst = read_buffer();
        const std::size_t n = std::min(dst.size(), chunk.size());
        std::memcpy(dst.data(), chunk.data(), n);
        chunk.remove_prefix(n);
        on_read(n);
    }
    return status_;
}

std::string ReplyReader::take_payload() {
    if (status_ != Status::done) throw Fault("ReplyReader: take_payload() before done");
    return std::string(storage_->payload.data(), got_);
}

WordList ReplyReader::take_words() {
    if (status_ != Status::done || !scanner_ || !storage_) {
        throw Fault("ReplyReader: take_words() before done, twice, or without SplitWords");
    }
    return WordList(std::move(storage_), scanner_->ascii());
}

ReplyReader::Status ReplyReader::consume_buffered() {
    if (!in_payload_) {
        const char* start = buf_.get() + pos_;
        const std::size_t avail = filled_ - pos_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - start) + 1 : avail;
        if (line_.size() + take > kMaxHeaderLine) {
            return fail(ClientError(
                ErrorKind::invalid_data,
                "reply header line longer than " + std::to_string(kMaxHeaderLine) + " bytes"));
        }
        line_.append(start, take);
        pos_ += take;
        if (!lf) return status_;
        if (finish_header() != Status::need_more) return status_;
    }
    const std::size_t take = std::min<std::size_t>(filled_ - pos_, declared_ - got_);
    if (take > 0) {
        make_room(take);
        std::memcpy(storage_->payload.data() + got_, buf_.get() + pos_, take);
        pos_ += take;
        if (received(take) != Status::need_more) return status_;
    }
    return got_ == declared_ ? finish_payload() : status_;
}

ReplyReader::Status ReplyReader::finish_header() {
    Result<std::uint64_t> length = parse_header_line(line_);
    if (!length) return fail(length.take_error());
    if (length.value() > kMaxPayload) {
        return fail(ClientError(ErrorKind::invalid_data, "reply declares " +
                                                             std::to_string(length.value()) +
                                                             " bytes, more than the limit of " +
                                                             std::to_string(kMaxPayload)));
    }
    declared_ = length.value();
    in_payload_ = true;
    std::string().swap(line_);
    // Room for the spans of a reply of typical prefixes (12 bytes or more with their separator),
    // or of all the reply may hold (so that a reply over the bound does not copy them all into a
    // buffer twice as large just before it fails); a reused storage usually has it already.
    if (scanner_) {
        storage_->words.reserve(std::min<std::uint64_t>(scanner_->max_spans(), declared_ / 12 + 1));
    }
    return declared_ == 0 ? finish_payload() : status_;
}

ReplyReader::Status ReplyReader::finish_payload() {
    const std::string_view text(storage_->payload.data(), got_);
    const auto bad = scanner_ ? scanner_->finish(text, storage_->words) : validate_utf8(text);
    if (scanner_ && scanner_->over()) return fail_too_many_words();
    if (bad) return fail(ClientError(ErrorKind::invalid_data, bad->message()));
    status_ = Status::done;
    return status_;
}

ReplyReader::Status ReplyReader::fail(ClientError error) {
    error_ = std::move(error);
    status_ = Status::failed;
    return status_;
}

ReplyReader::Status ReplyReader::fail_too_many_words() {
    const std::size_t bound = scanner_->max_words();
    return fail(ClientError(ErrorKind::invalid_data, "reply holds " + std::to_string(bound + 1) +
                                                         " prefixes, more than the limit of " +
                                                         std::to_string(bound)));
}

ReplyReader::Status ReplyReader::fail_early_eof() {
    // The words that did arrive count against the bound all the same, so whether a reply is
    // refused for them does not depend on where the reads happened to end.
    if (scanner_) {
        (void)scanner_->finish(std::string_view(storage_->payload.data(), got_), storage_->words);
        if (scanner_->over()) return fail_too_many_words();
    }
    return fail(ClientError(ErrorKind::unexpected_eof, "early eof"));
}

void ReplyReader::make_room(std::size_t need) {
    RawBuffer<char>& payload = storage_->payload;
    if (payload.capacity() - got_ >= need) return;
    // Capacity is reserved up to the declared length (at most kEagerReserve ahead of the data,
    // doubling beyond); the reserve copies only the bytes received, and reserved pages of a new
    // allocation stay untouched until written, so the memory in use follows what the server
    // actually sent, not what it claims.
    payload.reserve(std::min<std::size_t>(
        declared_, std::max({got_ + need, 2 * payload.capacity(), kEagerReserve})));
}

ReplyReader::Status ReplyReader::received(std::size_t n) {
    got_ += n;
    RawBuffer<char>& payload = storage_->payload;
    payload.set_size(got_);
    if (!scanner_) return status_;
    scanner_->advance(std::string_view(payload.data(), got_), storage_->words);
    return scanner_->over() ? fail_too_many_words() : status_;
}

}  // namespace morvane::irr
