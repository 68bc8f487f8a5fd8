#pragma once
// Unicode White_Space handling for reply text: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000. All functions take well-formed UTF-8.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/src/raw_buffer.hpp"
#include "morvane/src/word_span.hpp"

namespace morvane::irr {

// Byte length of the White_Space code point that starts `s`, or 0 if `s` does not start with one.
std::size_t leading_whitespace_len(std::string_view s);

// `s` without White_Space at either end.
std::string_view trim_whitespace(std::string_view s);

// The non-empty pieces of `s` between White_Space code points, in order, repeats included, each
// copied once into its own string.
std::vector<std::string> split_whitespace(std::string_view s);

struct WordSplit {
    std::size_t count = 0;            // pieces in the text
    std::vector<std::string> pieces;  // as split_whitespace; left empty when count > the bound
};

// split_whitespace with a bound: the pieces are counted first, and when there are more than
// `max_words` of them nothing is allocated for them.
WordSplit split_whitespace(std::string_view s, std::size_t max_words);

// The same pieces as spans of `s`, appended to `out` unless there are more than `max_words` of
// them; returns how many there are. Any well-formed UTF-8 text (the reply path's fallback for
// text that is not ASCII).
std::size_t split_whitespace_spans(std::string_view s, std::size_t max_words,
                                   RawBuffer<WordSpan>& out);

// The words that start in `s`, a well-formed piece of a longer text cut between code points;
// `in_word` tells whether the text before `s` ends inside a word, and becomes whether `s` does.
std::size_t count_word_starts(std::string_view s, bool& in_word);

}  // namespace morvane::irr
