// The base's text helpers that the other floors use: a fault payload's text (FuturePanic,
// PanicException), UTF-8 validation (replies, the worker-count variable) and the ASCII check (the
// bridge's str conversion).
#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <utility>

#include "base/fault.hpp"
#include "base/utf8.hpp"

namespace morvane {
namespace {

template <class E>
std::exception_ptr payload_of(E thrown) {
    try {
        throw thrown;
    } catch (...) {
        return std::current_exception();
    }
}

TEST(FaultText, TextsAndTheFallback) {
    EXPECT_STREQ(fault_text(payload_of(Fault("broken invariant"))), "broken invariant");
    EXPECT_STREQ(fault_text(payload_of(std::logic_error("logic"))), "logic");
    EXPECT_STREQ(fault_text(payload_of(std::string("owned text"))), "owned text");
    EXPECT_STREQ(fault_text(payload_of("borrowed text")), "borrowed text");
    EXPECT_STREQ(fault_text(payload_of(7)), "unknown error");
    EXPECT_STREQ(fault_text(nullptr), "unknown error");
}

TEST(FaultText, TextLivesAsLongAsThePayload) {
    std::exception_ptr payload = payload_of(std::string(200, 'x'));
    const char* text = fault_text(payload);
    EXPECT_EQ(std::string(text), std::string(200, 'x'));
}

// Where validation stops: the valid bytes before the bad sequence, and its length (0 when the
// end of the text cut it off).
using Stop = std::pair<std::size_t, std::size_t>;
Stop stop_of(std::string_view bytes) {
    const auto err = validate_utf8(bytes);
    return err ? Stop{err->valid_up_to, err->error_len} : Stop{bytes.size(), 0};
}

TEST(Utf8, AcceptsWellFormedText) {
    EXPECT_FALSE(validate_utf8(""));
    EXPECT_FALSE(validate_utf8("192.0.2.0/24 198.51.100.0/24\n"));
    EXPECT_FALSE(validate_utf8("\xC2\xA0 \xE2\x80\xA8 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"));
    EXPECT_FALSE(validate_utf8(std::string(100, 'a') + "\xE3\x80\x80" + std::string(40, 'b')));
}

TEST(Utf8, InvalidSequencesReportLengthAndPosition) {
    EXPECT_EQ(stop_of("abcde\xFF rest"), Stop(5, 1));
    EXPECT_EQ(stop_of("\x80"), Stop(0, 1));
    EXPECT_EQ(stop_of("ab\xC0\x80"), Stop(2, 1));
    EXPECT_EQ(stop_of("\xC3x"), Stop(0, 1));
    // Overlong three-byte form, surrogate, above U+10FFFF: rejected at the second byte.
    EXPECT_EQ(stop_of("\xE0\x80\x80"), Stop(0, 1));
    EXPECT_EQ(stop_of("\xED\xA0\x80"), Stop(0, 1));
    EXPECT_EQ(stop_of("\xF4\x90\x80\x80"), Stop(0, 1));
    // A bad third or fourth byte makes a sequence of 2 or 3.
    EXPECT_EQ(stop_of("x\xE2\x82x"), Stop(1, 2));
    EXPECT_EQ(stop_of("\xF0\x9F\x98x"), Stop(0, 3));
    // Found after a long ASCII run (the 16-byte fast path).
    EXPECT_EQ(stop_of(std::string(37, 'a') + "\xFF"), Stop(37, 1));
}

TEST(Utf8, SequenceCutOffByTheEnd) {
    EXPECT_EQ(stop_of("abc\xC3"), Stop(3, 0));
    EXPECT_EQ(stop_of("\xE2\x82"), Stop(0, 0));
    EXPECT_EQ(stop_of("ok \xF0\x9F\x98"), Stop(3, 0));
}

TEST(Utf8, MessagesGiveTheLengthAndThePosition) {
    EXPECT_EQ((Utf8Error{5, 1}).message(), "invalid utf-8 sequence of 1 bytes from index 5");
    EXPECT_EQ((Utf8Error{1, 3}).message(), "invalid utf-8 sequence of 3 bytes from index 1");
    EXPECT_EQ((Utf8Error{3, 0}).message(), "incomplete utf-8 byte sequence from index 3");
}

TEST(Utf8, AsciiCheckFindsAHighByteAnywhere) {
    EXPECT_TRUE(is_ascii(""));
    EXPECT_TRUE(is_ascii("10.0.0.0/24 \x7F\x01"));
    EXPECT_TRUE(is_ascii(std::string(100, 'a')));
    // Within and after the 16-byte fast path, and in the tail behind it.
    for (const std::size_t at : {0, 7, 15, 16, 31, 32, 40}) {
        std::string text(41, 'a');
        text[at] = '\x80';
        EXPECT_FALSE(is_ascii(text)) << at;
    }
}

}  // namespace
}  // namespace morvane
