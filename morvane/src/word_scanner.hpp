#pragma once
// WordScanner: finds the words of a reply payload while its bytes arrive, so that little is left
// to do after the last read, and checks in the same pass that the text is ASCII.
//
// Every registry answer is ASCII. While the bytes seen are, each whole 64-byte block is scanned
// once, as it lands, for its word boundaries (ASCII white space separates words; the word count
// and every span are found here, and ASCII needs no further UTF-8 check). The first byte outside
// ASCII ends the incremental scan: finish() then validates the whole text as UTF-8 and splits it
// on all of White_Space, exactly as split_whitespace() does.
//
// At most `max_words` spans are ever stored: past that the scan only counts, and finish() leaves
// the spans empty.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "morvane/src/raw_buffer.hpp"
#include "morvane/src/word_span.hpp"
#include "runtime/utf8.hpp"

namespace morvane::irr {

class WordScanner {
  public:
    explicit WordScanner(std::size_t max_words) : max_words_(max_words) {}

    // `text` is the payload so far: it only ever grows by appending (its storage may move between
    // calls). Scans the whole blocks not yet scanned, appending their words' spans to `out`.
    void advance(std::string_view text, RawBuffer<WordSpan>& out);

    // `text` is the whole payload, `out` what advance() appended. The UTF-8 error, if any;
    // otherwise `out` holds every word's span in order, or nothing when there are more than
    // max_words (count() tells how many there are).
    std::optional<Utf8Error> finish(std::string_view text, RawBuffer<WordSpan>& out);

    std::size_t max_words() const { return max_words_; }
    // Words in the text; after finish().
    std::size_t count() const { return count_; }
    // Whether the whole text is ASCII (so is every word); after finish().
    bool ascii() const { return ascii_; }

  private:
    // One block of up to 64 bytes at `offset`; `valid` masks its real bytes. False (and nothing
    // recorded) when it holds a byte outside ASCII.
    bool scan_block(const unsigned char* block, std::size_t offset, std::uint64_t valid,
                    RawBuffer<WordSpan>& out);

    std::size_t max_words_;
    std::size_t count_ = 0;
    std::size_t scanned_ = 0;       // bytes scanned (whole blocks)
    std::uint32_t word_start_ = 0;  // start of the word running into the next block
    bool in_word_ = false;          // the last scanned byte belongs to a word
    bool ascii_ = true;             // false once a byte outside ASCII was seen: no more scanning
};

}  // namespace morvane::irr
