// The base's text helpers that the other floors use: a fault payload's text (FuturePanic,
// PanicException), UTF-8 validation (replies, the worker-count variable) and the ASCII check (the
// bridge's str conversion).
#include <gtest/gtest.h>

#include <exception>
#include <string>

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

std::string utf8_message(std::string_view bytes) {
    const auto err = validate_utf8(bytes);
    return err ? err->message() : "valid";
}

TEST(Utf8, AcceptsWellFormedText) {
    EXPECT_EQ(utf8_message(""), "valid");
    EXPECT_EQ(utf8_message("192.0.2.0/24 198.51.100.0/24\n"), "valid");
    EXPECT_EQ(utf8_message("\xC2\xA0 \xE2\x80\xA8 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"), "valid");
    EXPECT_EQ(utf8_message(std::string(100, 'a') + "\xE3\x80\x80" + std::string(40, 'b')), "valid");
}

TEST(Utf8, InvalidSequencesReportLengthAndPosition) {
    EXPECT_EQ(utf8_message("abcde\xFF rest"), "invalid utf-8 sequence of 1 bytes from index 5");
    EXPECT_EQ(utf8_message("\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(utf8_message("ab\xC0\x80"), "invalid utf-8 sequence of 1 bytes from index 2");
    EXPECT_EQ(utf8_message("\xC3x"), "invalid utf-8 sequence of 1 bytes from index 0");
    // Overlong three-byte form, surrogate, above U+10FFFF: rejected at the second byte.
    EXPECT_EQ(utf8_message("\xE0\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(utf8_message("\xED\xA0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(utf8_message("\xF4\x90\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");
    // A bad third or fourth byte makes a sequence of 2 or 3.
    EXPECT_EQ(utf8_message("x\xE2\x82x"), "invalid utf-8 sequence of 2 bytes from index 1");
    EXPECT_EQ(utf8_message("\xF0\x9F\x98x"), "invalid utf-8 sequence of 3 bytes from index 0");
    // Found after a long ASCII run (the 16-byte fast path).
    EXPECT_EQ(utf8_message(std::string(37, 'a') + "\xFF"),
              "invalid utf-8 sequence of 1 bytes from index 37");
}

TEST(Utf8, SequenceCutOffByTheEnd) {
    EXPECT_EQ(utf8_message("abc\xC3"), "incomplete utf-8 byte sequence from index 3");
    EXPECT_EQ(utf8_message("\xE2\x82"), "incomplete utf-8 byte sequence from index 0");
    EXPECT_EQ(utf8_message("ok \xF0\x9F\x98"), "incomplete utf-8 byte sequence from index 3");
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
