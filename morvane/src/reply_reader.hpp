#pragma once
// ReplyReader: the framing of one registry answer, free of any I/O. The caller asks where the next
// socket read should land (read_buffer()), performs the read, and reports its size (on_read()).
// The reader behaves as a buffered reader of kReaderCapacity bytes: it collects the header line,
// then exactly the declared number of payload bytes, starting with what is already buffered behind
// the header. While its buffer is empty and at least kReaderCapacity payload bytes are missing,
// read_buffer() points straight into the payload so large replies are not copied twice.
//
// Hostile servers: the header line is bounded by kMaxHeaderLine and the declared length by
// kMaxPayload. Payload storage (from the reply cache, see reply_storage.hpp) is reserved ahead of
// the data by at most kEagerReserve or the bytes received so far (it grows by doubling), never by
// the declared length, and it is never initialised: only the bytes that actually arrive are
// written, so a header that declares a huge length costs no memory until data comes.
//
// A reader made with SplitWords also finds the payload's words while the bytes arrive
// (WordScanner), refuses the reply as soon as they are more than its bound, and hands the payload
// over as a WordList, without copying it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "morvane/src/client_error.hpp"
#include "morvane/src/reply_storage.hpp"
#include "morvane/src/word_list.hpp"
#include "morvane/src/word_scanner.hpp"

namespace morvane::irr {

inline constexpr std::size_t kReaderCapacity = 8192;
inline constexpr std::size_t kMaxHeaderLine = 4096;
inline constexpr std::uint64_t kMaxPayload = std::uint64_t{1} << 30;
// Payload capacity reserved at once for answers up to this size (typical "!g" answers are
// kilobytes to a few megabytes); larger ones grow by doubling as their bytes arrive.
inline constexpr std::size_t kEagerReserve = 4 * 1024 * 1024;

class ReplyReader {
  public:
    enum class Status { need_more, done, failed };

    // Asks a reader to split the payload into words (a route answer's prefixes). A payload of
    // more than `max_words` fails, as soon as the count passes the bound, with "reply holds
    // {max_words + 1} prefixes, more than the limit of {max_words}": the count at which the
    // reader stopped, the rest of the reply never being read.
    struct SplitWords {
        std::size_t max_words;
    };

    ReplyReader();
    explicit ReplyReader(SplitWords split);

    // Where the next read must put its bytes; valid while status() is need_more and until the
    // next call of on_read() or read_buffer().
    std::span<char> read_buffer();
    // `n` bytes were read into the last read_buffer(); 0 means the stream ended.
    Status on_read(std::size_t n);
    // Test and fuzz entry: feeds `chunk` as if socket reads delivered it, in as many reads as the
    // buffers need; an empty chunk is the end of the stream. Bytes after a complete reply are
    // ignored.
    Status feed(std::string_view chunk);

    Status status() const { return status_; }
    // The payload text (a copy); after done.
    std::string take_payload();
    // The payload and its words; once, after done, from a SplitWords reader.
    WordList take_words();
    // The failure; after failed.
    const ClientError& error() const { return *error_; }
    // Bytes of payload storage reserved; only the payload received is ever written to it.
    std::size_t payload_capacity() const { return storage_->payload.capacity(); }

  private:
    Status consume_buffered();
    Status finish_header();
    Status finish_payload();
    Status fail(ClientError error);
    Status fail_too_many_words();
    // The stream ended before the whole payload arrived.
    Status fail_early_eof();
    // Grows the payload storage so that at least `need` bytes fit behind got_.
    void make_room(std::size_t need);
    // got_ grew by `n` bytes; fails once the payload holds more words than a SplitWords bound.
    Status received(std::size_t n);

    Status status_ = Status::need_more;
    std::unique_ptr<char[]> buf_;
    std::size_t pos_ = 0;     // next unconsumed byte in buf_
    std::size_t filled_ = 0;  // end of the valid bytes in buf_
    bool direct_ = false;     // the last read_buffer() pointed into payload_
    bool in_payload_ = false;
    std::string line_;
    std::uint64_t declared_ = 0;
    PooledReplyStorage storage_;  // payload bytes [0, got_) received; words when splitting
    std::size_t got_ = 0;
    std::optional<WordScanner> scanner_;  // when splitting
    std::optional<ClientError> error_;
};

}  // namespace morvane::irr
