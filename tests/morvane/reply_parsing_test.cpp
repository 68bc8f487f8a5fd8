// Pure text handling of replies: the header's length field, White_Space splitting, the query
// line, and which part of an error's message is the C library's.
#include <gtest/gtest.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "morvane/src/client_error.hpp"
#include "morvane/src/reply_header.hpp"
#include "morvane/src/route_query.hpp"
#include "morvane/src/whitespace.hpp"

namespace morvane::irr {
namespace {

using namespace std::string_literals;

std::string length_of(std::string_view line) {
    auto r = parse_header_line(line);
    return r ? std::to_string(r.value()) : r.error().message();
}

TEST(HeaderLine, LengthForms) {
    EXPECT_EQ(length_of("A29\n"), "29");
    EXPECT_EQ(length_of("A13\r\n"), "13");
    EXPECT_EQ(length_of("A+13\n"), "13");
    EXPECT_EQ(length_of("A0013\n"), "13");
    EXPECT_EQ(length_of("A 13\n"), "13");
    EXPECT_EQ(length_of("X13\n"), "13");
    EXPECT_EQ(length_of("A0\n"), "0");
    EXPECT_EQ(length_of("A7"), "7");  // stream ended without a line feed
    EXPECT_EQ(length_of("A\xE3\x80\x80"
                        "42\xC2\x85\n"),
              "42");  // Unicode White_Space trimmed
    EXPECT_EQ(length_of("A18446744073709551615\n"), "18446744073709551615");
    // The first character is skipped unlooked-at, even a digit or a line feed.
    EXPECT_EQ(length_of("913\n"), "13");
    EXPECT_EQ(length_of("\n"), std::string(kEmptyNumber));
}

TEST(HeaderLine, ParseErrors) {
    EXPECT_EQ(length_of("D\n"), std::string(kEmptyNumber));
    EXPECT_EQ(length_of("C\n"), std::string(kEmptyNumber));
    EXPECT_EQ(length_of("A \t\r\n"), std::string(kEmptyNumber));
    EXPECT_EQ(length_of("F Unrecognized command\n"), std::string(kInvalidDigit));
    EXPECT_EQ(length_of("F 12\n"), "12");
    EXPECT_EQ(length_of("A-1\n"), std::string(kInvalidDigit));
    EXPECT_EQ(length_of("A+\n"), std::string(kInvalidDigit));
    EXPECT_EQ(length_of("A-\n"), std::string(kInvalidDigit));
    EXPECT_EQ(length_of("A++1\n"), std::string(kInvalidDigit));
    EXPECT_EQ(length_of("A1 2\n"), std::string(kInvalidDigit));
    EXPECT_EQ(length_of("A" + std::string(20, '9') + "\n"), std::string(kNumberTooLarge));
    EXPECT_EQ(length_of("A18446744073709551616\n"), std::string(kNumberTooLarge));
    // Whichever comes first, reading from the left.
    EXPECT_EQ(length_of("A" + std::string(20, '9') + "x\n"), std::string(kNumberTooLarge));
    EXPECT_EQ(length_of("A12x" + std::string(20, '9') + "\n"), std::string(kInvalidDigit));
    // A non-ASCII character inside the number is an invalid digit, not a crash.
    EXPECT_EQ(length_of("A1\xC3\xA9\n"), std::string(kInvalidDigit));
}

TEST(HeaderLine, NoUsableLengthField) {
    EXPECT_EQ(length_of("A1\xFF\n"), std::string(kHeaderNotUtf8));
    EXPECT_EQ(length_of("A1\xC3"), std::string(kHeaderNotUtf8));
    EXPECT_EQ(length_of(""), std::string(kNoReply));
    EXPECT_EQ(length_of("\xC3\xA9"
                        "13\n"),
              std::string(kMultibyteCode));
    EXPECT_EQ(parse_header_line("A1\xFF\n").error().kind(), ErrorKind::invalid_data);
}

TEST(Whitespace, TrimAtBothEnds) {
    EXPECT_EQ(trim_whitespace("  a b \n"), "a b");
    EXPECT_EQ(trim_whitespace("\xE2\x80\x80x\xE3\x80\x80"), "x");
    EXPECT_EQ(trim_whitespace(" \t\r\n"), "");
    EXPECT_EQ(trim_whitespace("\xC3\xA9"), "\xC3\xA9");
    // U+200B (zero width space) is not White_Space.
    EXPECT_EQ(trim_whitespace("\xE2\x80\x8B"), "\xE2\x80\x8B");
}

using Words = std::vector<std::string>;

TEST(Whitespace, SplitKeepsOrderAndRepeatsAndDropsEmptyPieces) {
    EXPECT_EQ(split_whitespace("192.0.2.0/24 198.51.100.0/24\n"),
              (Words{"192.0.2.0/24", "198.51.100.0/24"}));
    EXPECT_EQ(split_whitespace("a a\t\tb a"), (Words{"a", "a", "b", "a"}));
    EXPECT_EQ(split_whitespace("\n \n  \n"), Words{});
    EXPECT_EQ(split_whitespace(""), Words{});
    EXPECT_EQ(split_whitespace("not/a/prefix"), Words{"not/a/prefix"});
}

TEST(Whitespace, BoundedSplitCountsAndRefusesBeyondTheBound) {
    // ASCII separators only, and with a multi-byte one (the two scans count separately).
    for (const std::string& text : {"a b\tc a\n"s,
                                    "a b\xE2\x80\x83"
                                    "c a"s}) {
        const auto at = split_whitespace(text, 4);
        EXPECT_EQ(at.count, 4u);
        EXPECT_EQ(at.pieces, (Words{"a", "b", "c", "a"})) << text;
        const auto beyond = split_whitespace(text, 3);
        EXPECT_EQ(beyond.count, 4u);
        EXPECT_TRUE(beyond.pieces.empty() && beyond.pieces.capacity() == 0) << text;
    }
}

TEST(Whitespace, SplitAtEveryUnicodeWhiteSpace) {
    const char* spaces[] = {"\t",           "\n",           "\v",
                            "\f",           "\r",           " ",
                            "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
                            "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",
                            "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
                            "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (const char* sp : spaces) {
        EXPECT_EQ(split_whitespace("x"s + sp + "y" + sp), (Words{"x", "y"})) << sp;
    }
    // Characters sharing a lead byte with White_Space stay inside words:
    // U+00A9, U+1681, U+200B, U+2030, U+205E, U+3001, U+0084.
    const std::string near =
        "\xC2\xA9\xE1\x9A\x81\xE2\x80\x8B\xE2\x80\xB0\xE2\x81\x9E\xE3\x80\x81"
        "\xC2\x84";
    EXPECT_EQ(split_whitespace(near + " " + near), (Words{near, near}));
}

TEST(Whitespace, SplitLongWordsAtEveryOffset) {
    // Separators at every position relative to the 8-byte word scan; control and high bytes
    // that are not White_Space stay inside words.
    for (const std::string& sp : {" "s, "\n"s, "\xC2\xA0"s, "\xE2\x80\xAF"s}) {
        for (std::size_t at = 1; at < 20; ++at) {
            const std::string a = std::string(at - 1, 'a') + "\x01";
            const std::string b = "\xC3\xA9" + std::string(at + 3, 'b') + "\x7F";
            EXPECT_EQ(split_whitespace(a + sp + b + sp + sp), (Words{a, b})) << at;
        }
    }
}

// Reference split: decodes code points and tests each against the White_Space list.
Words naive_split(const std::string& s) {
    const auto is_space = [](char32_t c) {
        return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
               (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
               c == 0x205F || c == 0x3000;
    };
    Words out;
    std::string word;
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = len == 1 ? lead : lead & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (s[i + k] & 0x3F);
        if (is_space(c)) {
            if (!word.empty()) out.push_back(std::exchange(word, {}));
        } else {
            word.append(s, i, len);
        }
        i += len;
    }
    if (!word.empty()) out.push_back(word);
    return out;
}

TEST(Whitespace, SplitMatchesReferenceAcrossBlockBoundaries) {
    // Pieces drawn at random, so words and separators straddle the 64-byte blocks of the ASCII
    // scan, texts end exactly on and just off a block edge, and a multi-byte White_Space (which
    // sends the split to the full scan) appears anywhere, including after a few ASCII blocks.
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
        EXPECT_EQ(split_whitespace(text), naive_split(text)) << round;
        for (std::size_t edge :
             {std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{128}}) {
            std::string cut(edge, 'w');
            cut.replace(0, std::min(edge, text.size()),
                        text.substr(0, std::min(edge, text.size())));
            // `cut` may end inside a multi-byte character; keep it well-formed with ASCII.
            while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0x80))
                cut.back() = 'z';
            EXPECT_EQ(split_whitespace(cut), naive_split(cut)) << round << " " << edge;
        }
    }
}

TEST(RouteQuery, ExactBytes) {
    EXPECT_EQ(route_query(3333), "!gAS3333\n");
    EXPECT_EQ(route_query(3333).size(), 9u);
    EXPECT_EQ(route_query(0), "!gAS0\n");
    EXPECT_EQ(route_query(-1), "!gAS-1\n");
    EXPECT_EQ(route_query(2147483647), "!gAS2147483647\n");
    EXPECT_EQ(route_query(-2147483647 - 1), "!gAS-2147483648\n");
}

// The binding decodes the marked bytes with the locale's codec and the rest as UTF-8, so the
// mark must cover the C library's text exactly.
std::string marked(const ClientError& error) {
    return error.message().substr(error.locale_text().offset, error.locale_text().size);
}

TEST(ClientErrorText, MarksExactlyTheCLibrarysText) {
    const ClientError refused = ClientError::from_errno(ECONNREFUSED);
    EXPECT_EQ(marked(refused), std::strerror(ECONNREFUSED));
    EXPECT_EQ(refused.message(), marked(refused) + " (os error 111)");

    const ClientError unresolved = ClientError::from_resolver(EAI_AGAIN, 0);
    EXPECT_EQ(marked(unresolved), ::gai_strerror(EAI_AGAIN));
    EXPECT_EQ(unresolved.message(), "failed to lookup address information: " + marked(unresolved));
    // EAI_SYSTEM is reported as the operating-system error it carries.
    EXPECT_EQ(marked(ClientError::from_resolver(EAI_SYSTEM, EMFILE)), std::strerror(EMFILE));
}

}  // namespace
}  // namespace morvane::irr
