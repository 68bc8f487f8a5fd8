// Pure text handling of replies: the header's length field and its White_Space trim, the query
// line, and which part of an error's message is the C library's.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "morvane/src/client_error.hpp"
#include "morvane/src/reply_header.hpp"
#include "morvane/src/route_query.hpp"
#include "morvane/src/whitespace.hpp"

namespace morvane::irr {
namespace {

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
    // Each text with what the trim leaves of it. U+200B (zero width space) is not White_Space.
    const std::pair<std::string_view, std::string_view> texts[] = {
        {"  a b \n", "a b"},
        {"\xE2\x80\x80x\xE3\x80\x80", "x"},
        {" \t\r\n", ""},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xE2\x80\x8B", "\xE2\x80\x8B"}};
    for (const auto& [text, left] : texts) EXPECT_EQ(trim_whitespace(text), left) << text;
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
