// Fault payload -> text for FuturePanic.
#include "bridge/panic_message.hpp"

#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "runtime/fault.hpp"

namespace morvane::bridge {
namespace {

template <class E>
std::exception_ptr payload_of(E thrown) {
    try {
        throw thrown;
    } catch (...) {
        return std::current_exception();
    }
}

TEST(PanicMessage, TextsAndTheFallback) {
    EXPECT_STREQ(get_panic_message(payload_of(Fault("broken invariant"))), "broken invariant");
    EXPECT_STREQ(get_panic_message(payload_of(std::logic_error("logic"))), "logic");
    EXPECT_STREQ(get_panic_message(payload_of(std::string("owned text"))), "owned text");
    EXPECT_STREQ(get_panic_message(payload_of("borrowed text")), "borrowed text");
    EXPECT_STREQ(get_panic_message(payload_of(7)), "unknown error");
    EXPECT_STREQ(get_panic_message(nullptr), "unknown error");
}

TEST(PanicMessage, TextLivesAsLongAsThePayload) {
    std::exception_ptr payload = payload_of(std::string(200, 'x'));
    const char* text = get_panic_message(payload);
    EXPECT_EQ(std::string(text), std::string(200, 'x'));
}

}  // namespace
}  // namespace morvane::bridge
