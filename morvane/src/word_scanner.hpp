#pragma once
// WordScanner: finds the words of a reply payload while its bytes arrive, so that little is left
// to do after the last read, and checks in the same pass that the text is well-formed UTF-8.
//
// Every registry answer is ASCII. While the bytes seen are, each whole 64-byte block is scanned
// once, as it lands, for its word boundaries (ASCII white space separates words; the word count
// and every span are found here, and ASCII needs no further UTF-8 check). From the first block
// holding a byte outside ASCII on, the scan goes code point by code point instead: it validates
// the text and counts its words on all of White_Space, and finish() splits the whole text once
// more for the spans (split_whitespace_spans()).
//
// The count is bounded by `max_words`: the scan stops as soon as it passes the bound (over()), so
// that the reader can refuse the reply before the rest of it arrives. It also stops at the first
// malformed UTF-8 sequence, which finish() reports; words after it are never counted.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/utf8.hpp"
#include "morvane/src/raw_buffer.hpp"
#include "morvane/src/word_span.hpp"

namespace morvane::irr {

class WordScanner {
  public:
    explicit WordScanner(std::size_t max_words) : max_words_(max_words) {}

    // `text` is the payload so far: it only ever grows by appending (its storage may move between
    // calls). Scans the whole blocks (or, past ASCII, the whole code points) not yet scanned,
    // appending their words' spans to `out`, until the count passes the bound.
    void advance(std::string_view text, RawBuffer<WordSpan>& out);

    // `text` is all the payload there is; `out` holds what advance() appended. Scans the rest.
    // Unless over(): the UTF-8 error, if any; otherwise `out` holds every word's span in order.
    std::optional<Utf8Error> finish(std::string_view text, RawBuffer<WordSpan>& out);

    std::size_t max_words() const { return max_words_; }
    // The most spans the scan ever asks room for: the bound's, and those of the block in which
    // the count passes it.
    std::size_t max_spans() const { return max_words_ + kBlockSpans; }
    // The count has passed the bound: the text holds more than max_words words.
    bool over() const { return count_ > max_words_; }
    // Whether the whole text is ASCII (so is every word); after finish().
    bool ascii() const { return ascii_; }

  private:
    // At most 32 words start in a 64-byte block, and one more may end in it.
    static constexpr std::size_t kBlockSpans = 33;

    // One block of up to 64 bytes at `offset`; `valid` masks its real bytes. False (and nothing
    // recorded) when it holds a byte outside ASCII.
    bool scan_block(const unsigned char* block, std::size_t offset, std::uint64_t valid,
                    RawBuffer<WordSpan>& out);
    // Past ASCII: validates and counts from scanned_ to the last code point known to be complete
    // (to the end of `text` when `whole`).
    void scan_code_points(std::string_view text, bool whole);

    std::size_t max_words_;
    std::size_t count_ = 0;
    std::size_t scanned_ = 0;       // bytes scanned (whole blocks, then whole code points)
    std::uint32_t word_start_ = 0;  // start of the word running into the next block
    bool in_word_ = false;          // the last scanned byte belongs to a word
    bool ascii_ = true;             // false once a byte outside ASCII was seen
    std::optional<Utf8Error> bad_;  // the first malformed sequence: nothing after it is scanned
};

}  // namespace morvane::irr
