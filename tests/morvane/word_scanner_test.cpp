// The word scanner on its own: the words it finds in a text given whole or in reads of any size,
// at every White_Space, at every offset of its block and word scans, against a reference split.
#include "morvane/src/word_scanner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/morvane/reference_split.hpp"

namespace morvane::irr {
namespace {

using namespace std::string_literals;
using testing::reference_split;
using Words = std::vector<std::string>;

// The words the scanner finds in `text` (UTF-8, fewer than a million words) when it arrives in
// reads of `step` bytes, all at once by default.
Words scan(std::string_view text, std::size_t step = std::string_view::npos) {
    WordScanner scanner(std::size_t{1} << 20);
    RawBuffer<WordSpan> spans;
    for (std::size_t got = step; got < text.size(); got += step)
        scanner.advance(text.substr(0, got), spans);
    EXPECT_FALSE(scanner.finish(text, spans).has_value()) << text;
    Words out;
    for (std::size_t i = 0; i < spans.size(); ++i)
        out.emplace_back(text.substr(spans[i].offset, spans[i].length));
    return out;
}

TEST(WordScanner, KeepsOrderAndRepeatsAndDropsEmptyPieces) {
    EXPECT_EQ(scan("192.0.2.0/24 198.51.100.0/24\n"), (Words{"192.0.2.0/24", "198.51.100.0/24"}));
    EXPECT_EQ(scan("a a\t\tb a"), (Words{"a", "a", "b", "a"}));
    EXPECT_EQ(scan("\n \n  \n"), Words{});
    EXPECT_EQ(scan(""), Words{});
    EXPECT_EQ(scan("not/a/prefix"), Words{"not/a/prefix"});
}

TEST(WordScanner, SplitsAtEveryUnicodeWhiteSpace) {
    const char* spaces[] = {"\t",           "\n",           "\v",
                            "\f",           "\r",           " ",
                            "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
                            "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",
                            "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
                            "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (const char* sp : spaces) {
        EXPECT_EQ(scan("x"s + sp + "y" + sp), (Words{"x", "y"})) << sp;
    }
    // Characters sharing a lead byte with White_Space stay inside words:
    // U+00A9, U+1681, U+200B, U+2030, U+205E, U+3001, U+0084.
    const std::string near =
        "\xC2\xA9\xE1\x9A\x81\xE2\x80\x8B\xE2\x80\xB0\xE2\x81\x9E\xE3\x80\x81"
        "\xC2\x84";
    EXPECT_EQ(scan(near + " " + near), (Words{near, near}));
}

TEST(WordScanner, LongWordsAtEveryOffset) {
    // Separators at every position relative to the 8-byte word scan of a text that is not
    // ASCII; control and high bytes that are not White_Space stay inside words.
    for (const std::string& sp : {" "s, "\n"s, "\xC2\xA0"s, "\xE2\x80\xAF"s}) {
        for (std::size_t at = 1; at < 20; ++at) {
            const std::string a = std::string(at - 1, 'a') + "\x01";
            const std::string b = "\xC3\xA9" + std::string(at + 3, 'b') + "\x7F";
            EXPECT_EQ(scan(a + sp + b + sp + sp), (Words{a, b})) << at;
        }
    }
}

TEST(WordScanner, MatchesTheReferenceAcrossBlockBoundariesAndReads) {
    // Pieces drawn at random, so words and separators straddle the 64-byte blocks of the ASCII
    // scan, texts end exactly on and just off a block edge, reads end anywhere, and a multi-byte
    // White_Space (which sends the scan code point by code point) appears anywhere, including
    // after a few ASCII blocks.
    const std::vector<std::string> pieces = {"a",         "10.0.0.0/24", " ",        "\n",
                                             "\t\r",      "\x1F",        "\xC3\xA9", "\xE2\x82\xAC",
                                             "xyzxyzxyz", "  "};
    const std::vector<std::string> rare = {"\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\x8B", "\xC2\xA9"};
    std::uint64_t seed = 12345;
    const auto next = [&] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::size_t>(seed >> 33);
    };
    for (int round = 0; round < 400; ++round) {
        std::string text;
        const std::size_t target = next() % 300;
        while (text.size() < target) {
            text +=
                (next() % 40 == 0) ? rare[next() % rare.size()] : pieces[next() % pieces.size()];
        }
        EXPECT_EQ(scan(text), reference_split(text)) << round;
        EXPECT_EQ(scan(text, 1 + next() % 100), reference_split(text)) << round;
        for (std::size_t edge :
             {std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{128}}) {
            std::string cut(edge, 'w');
            cut.replace(0, std::min(edge, text.size()),
                        text.substr(0, std::min(edge, text.size())));
            // `cut` may end inside a multi-byte character; keep it well-formed with ASCII.
            for (std::size_t i = cut.size();
                 i > 0 && (static_cast<unsigned char>(cut[i - 1]) & 0x80); --i)
                cut[i - 1] = 'z';
            EXPECT_EQ(scan(cut), reference_split(cut)) << round << " " << edge;
        }
    }
}

}  // namespace
}  // namespace morvane::irr
