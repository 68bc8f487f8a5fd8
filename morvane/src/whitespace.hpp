#pragma once
// Unicode White_Space in reply text, code point by code point: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000. The header's length
// field is trimmed with it, and the word scanner (word_scanner.hpp) falls back to it for a
// payload that is not ASCII. All functions take well-formed UTF-8.
#include <cstddef>
#include <string_view>

#include "morvane/src/raw_buffer.hpp"
#include "morvane/src/word_span.hpp"

namespace morvane::irr {

// `s` without White_Space at either end.
std::string_view trim_whitespace(std::string_view s);

// The spans of the non-empty pieces of `s` between White_Space code points, in order, repeats
// included, appended to `out` unless there are more than `max_words` of them; returns how many
// there are.
std::size_t split_whitespace_spans(std::string_view s, std::size_t max_words,
                                   RawBuffer<WordSpan>& out);

// The words that start in `s`, a well-formed piece of a longer text cut between code points;
// `in_word` tells whether the text before `s` ends inside a word, and becomes whether `s` does.
std::size_t count_word_starts(std::string_view s, bool& in_word);

}  // namespace morvane::irr
