// Framing of one answer, fed in every possible split across reads.
#include "morvane/src/reply_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "morvane/src/reply_storage.hpp"
#include "tests/morvane/reference_split.hpp"

namespace morvane::irr {
namespace {

// Outcome as text: the payload, or "error: <message>", or "pending".
std::string outcome(ReplyReader& r) {
    switch (r.status()) {
        case ReplyReader::Status::done:
            return r.take_payload();
        case ReplyReader::Status::failed:
            return "error: " + r.error().message();
        default:
            return "pending";
    }
}

// Feeds `wire` (then the end of the stream if `eof`) in one piece, byte by byte, and split in two
// at every boundary; every way must give the same outcome, which is returned.
std::string decode(const std::string& wire, bool eof = true) {
    auto run = [&](std::size_t step, std::size_t first) {
        ReplyReader r;
        std::size_t i = 0;
        if (first > 0) {
            r.feed(std::string_view(wire).substr(0, first));
            i = first;
        }
        while (i < wire.size() && r.status() == ReplyReader::Status::need_more) {
            r.feed(std::string_view(wire).substr(i, step));
            i += step;
        }
        if (eof) r.feed({});
        return outcome(r);
    };
    const std::string whole = run(wire.size() + 1, 0);
    EXPECT_EQ(run(1, 0), whole) << "byte by byte";
    for (std::size_t cut = 1; cut < wire.size(); ++cut) {
        EXPECT_EQ(run(wire.size(), cut), whole) << "split at " << cut;
    }
    return whole;
}

TEST(ReplyReader, GoodAnswers) {
    EXPECT_EQ(decode("A29\n192.0.2.0/24 198.51.100.0/24\nC\n"), "192.0.2.0/24 198.51.100.0/24\n");
    EXPECT_EQ(decode("A13\r\n192.0.2.0/24\nC\n"), "192.0.2.0/24\n");
    EXPECT_EQ(decode("X3\nabcdef"), "abc");
    EXPECT_EQ(decode("A5\n\xC2\xA0\xE2\x80\x80"), "\xC2\xA0\xE2\x80\x80");
}

TEST(ReplyReader, CompleteWithoutTheEndOfTheStream) {
    // The reply is done as soon as its declared bytes are in: the "C" line is never awaited.
    EXPECT_EQ(decode("A3\nabc", false), "abc");
    EXPECT_EQ(decode("A0\n", false), "");
    EXPECT_EQ(decode("A0"), "");
    EXPECT_EQ(decode("A13\nabcde", false), "pending");
    EXPECT_EQ(decode("A13", false), "pending");
}

TEST(ReplyReader, Failures) {
    EXPECT_EQ(decode("D\n"), "error: cannot parse integer from empty string");
    EXPECT_EQ(decode("F Unknown AS\n"), "error: invalid digit found in string");
    EXPECT_EQ(decode("A13\nabcde"), "error: early eof");
    EXPECT_EQ(decode("A13"), "error: early eof");
    EXPECT_EQ(decode(""), "error: connection closed before a reply header arrived");
    EXPECT_EQ(decode("A\xFF"
                     "3\nabc"),
              "error: stream did not contain valid UTF-8");
    EXPECT_EQ(decode("A7\nabcde\xFFx"), "error: invalid utf-8 sequence of 1 bytes from index 5");
    EXPECT_EQ(decode("A4\nabc\xC3"), "error: incomplete utf-8 byte sequence from index 3");
}

TEST(ReplyReader, HeaderLineIsBounded) {
    const std::string endless(kMaxHeaderLine + 1, '7');
    EXPECT_EQ(decode("A" + endless, false), "error: reply header line longer than 4096 bytes");
    // Exactly at the bound is still a header.
    EXPECT_EQ(decode("A" + std::string(kMaxHeaderLine - 3, ' ') + "1\nx"), "x");
}

TEST(ReplyReader, DeclaredLengthIsBoundedAndCostsNothingUpFront) {
    ReplyReader capped;
    capped.feed("A1073741825\n");
    EXPECT_EQ(outcome(capped),
              "error: reply declares 1073741825 bytes, more than the limit of "
              "1073741824");

    // A fresh storage, so that what is reserved is the reader's doing, not a cached reply's.
    drop_cached_replies();
    ReplyReader huge;
    huge.feed("A1073741824\nsome bytes");
    EXPECT_EQ(huge.status(), ReplyReader::Status::need_more);
    EXPECT_LE(huge.payload_capacity(), kEagerReserve);
    // Past the eager reserve the capacity keeps within twice what arrived.
    std::size_t fed = 10;
    for (const std::size_t until : {kEagerReserve, 3 * kEagerReserve}) {
        for (; fed < until; fed += kReaderCapacity) huge.feed(std::string(kReaderCapacity, 'x'));
        EXPECT_LE(huge.payload_capacity(), std::max(kEagerReserve, 2 * fed)) << fed;
    }
    huge.feed({});
    EXPECT_EQ(outcome(huge), "error: early eof");
}

TEST(ReplyReader, LargePayloadThroughDirectReads) {
    std::string data;
    for (int i = 0; data.size() < 10'000'000; ++i) data += "10." + std::to_string(i) + ".0/24 ";
    const std::string wire = "A" + std::to_string(data.size()) + "\n" + data + "C\n";
    // Irregular read sizes, so copies from the reader's buffer and direct reads interleave.
    ReplyReader r;
    std::size_t i = 0, step = 1;
    while (r.status() == ReplyReader::Status::need_more && i < wire.size()) {
        const std::span<char> dst = r.read_buffer();
        const std::size_t n = std::min({dst.size(), wire.size() - i, step});
        wire.copy(dst.data(), n, i);
        r.on_read(n);
        i += n;
        step = step * 7 % 100'003 + 1;
    }
    ASSERT_EQ(r.status(), ReplyReader::Status::done);
    EXPECT_EQ(r.take_payload(), data);
}

TEST(ReplyReader, GarbageNeverCrashesAndAlwaysEnds) {
    // Random bytes biased towards the characters the framing cares about, in random chunks:
    // every run must end (done or failed) once the stream ends, and never throw.
    std::mt19937 rng(12345);
    const std::string alphabet = "A0123456789+- \r\n\xC2\xA0\xE3\x80\xFFx";
    for (int run = 0; run < 3000; ++run) {
        std::string wire;
        const int len = static_cast<int>(rng() % 40);
        for (int i = 0; i < len; ++i) wire += alphabet[rng() % alphabet.size()];
        ReplyReader r;
        for (std::size_t i = 0; i < wire.size() && r.status() == ReplyReader::Status::need_more;) {
            const std::size_t step = 1 + rng() % 5;
            r.feed(std::string_view(wire).substr(i, step));
            i += step;
        }
        r.feed({});
        EXPECT_NE(r.status(), ReplyReader::Status::need_more) << wire;
    }
}

TEST(ReplyReader, WordsFoundWhileArrivingMatchTheWholeTextSplit) {
    // Random texts from an alphabet of ASCII and multi-byte white space, word bytes and non-ASCII
    // letters, in random reads, with a bound that is sometimes exceeded, by one word or more: the
    // words must be the reference split's of the whole payload, the ASCII flag true for ASCII
    // alone, and a text of more words than the bound must fail.
    std::mt19937 rng(2024);
    const std::vector<std::string> alphabet = {
        " ", "\n", "\t", "x", "1", "/", ".", "prefix", "\xC2\xA0", "\xC3\xA9", "\xE3\x80\x80"};
    for (int run = 0; run < 2000; ++run) {
        const bool ascii_only = run % 2 == 0;
        std::string data;
        const int pieces = static_cast<int>(rng() % 200);
        for (int i = 0; i < pieces; ++i)
            data += alphabet[rng() % (ascii_only ? 8 : alphabet.size())];
        const std::vector<std::string> want = testing::reference_split(data);
        std::size_t bound = want.size() + rng() % 3;
        if (run % 5 == 0) bound = want.size() / 2;
        if (run % 5 == 1 && !want.empty()) bound = want.size() - 1;
        ReplyReader r(ReplyReader::SplitWords{bound});
        const std::string wire = "A" + std::to_string(data.size()) + "\n" + data + "C\n";
        for (std::size_t i = 0; r.status() == ReplyReader::Status::need_more;) {
            const std::size_t step = 1 + rng() % 150;
            r.feed(std::string_view(wire).substr(i, step));
            i += step;
        }
        if (want.size() > bound) {
            EXPECT_EQ(outcome(r), "error: reply holds " + std::to_string(bound + 1) +
                                      " prefixes, more than the limit of " + std::to_string(bound))
                << data;
            continue;
        }
        ASSERT_EQ(r.status(), ReplyReader::Status::done) << data;
        const WordList words = r.take_words();
        const bool ascii = std::all_of(data.begin(), data.end(), [](char c) { return c >= 0; });
        EXPECT_EQ(words.ascii(), ascii) << data;
        EXPECT_EQ(words.to_strings(), want) << data;
    }
    // Not UTF-8: the same error as the plain reader's, however the bytes arrive; here a sequence
    // that is still viable where one read ends and broken by the next one's first byte.
    const std::string data = "\xC3\xA9" + std::string(62, 'x') + "\xF0\xBE\xF0\x84 y";
    const std::string wire = "A" + std::to_string(data.size()) + "\n" + data;
    for (const std::size_t step : {std::size_t{1}, wire.size()}) {
        ReplyReader bad(ReplyReader::SplitWords{10});
        for (std::size_t i = 0; i < wire.size(); i += step) bad.feed(wire.substr(i, step));
        EXPECT_EQ(outcome(bad), "error: invalid utf-8 sequence of 2 bytes from index 64") << step;
    }
}

TEST(ReplyReader, TooManyWordsFailWhileTheReplyArrives) {
    // A reply declaring 1 GiB of words, fed 100 bytes at a time: it must fail within a scan
    // block (64 bytes) of its 101st word, whether the text is ASCII or not.
    const std::string too_many = "reply holds 101 prefixes, more than the limit of 100";
    for (const std::string word : {"a ", "\xC3\xA9\xE3\x80\x80"}) {
        ReplyReader r(ReplyReader::SplitWords{100});
        r.feed("A1073741824\n");
        std::string sent;
        while (r.status() == ReplyReader::Status::need_more && sent.size() < 100'000) {
            std::string chunk;
            while (chunk.size() < 100) chunk += word;
            r.feed(chunk);
            sent += chunk;
        }
        EXPECT_EQ(outcome(r), "error: " + too_many) << word;
        EXPECT_LE(sent.size(), 101 * word.size() + 64 + 100) << word;
    }
    // A stream that ends early still counts the words that arrived.
    ReplyReader cut(ReplyReader::SplitWords{2});
    cut.feed("A100\na b c");
    cut.feed({});
    EXPECT_EQ(outcome(cut), "error: reply holds 3 prefixes, more than the limit of 2");
    // The count stops at the first malformed sequence: the words after it are not counted, and
    // the text fails as not being UTF-8; the words before it are.
    ReplyReader after(ReplyReader::SplitWords{2});
    after.feed("A12\na\xFF b c d e f");
    EXPECT_EQ(outcome(after), "error: invalid utf-8 sequence of 1 bytes from index 1");
    ReplyReader before(ReplyReader::SplitWords{2});
    before.feed("A11\na b c \xFF d e");
    EXPECT_EQ(outcome(before), "error: reply holds 3 prefixes, more than the limit of 2");
}

TEST(ReplyStorage, CacheKeepsRecentStoragesWithinItsBounds) {
    // More storages than entries, 1 MiB each: the cache keeps the first kCachedReplies returned
    // (the rest find it full and are freed), emptied but with their memory, and hands the last
    // one it took out first. Whatever earlier tests of this process left in it goes first.
    drop_cached_replies();
    std::vector<PooledReplyStorage> held;
    for (std::size_t i = 0; i < kCachedReplies + 2; ++i) {
        held.push_back(acquire_reply_storage());
        held.back()->payload.reserve(std::size_t{1} << 20);
        held.back()->payload.set_size(10);
    }
    const ReplyStorage* last = held[kCachedReplies - 1].get();
    held.clear();  // destroyed front to back
    EXPECT_EQ(cached_reply_bytes(), kCachedReplies << 20);
    PooledReplyStorage again = acquire_reply_storage();
    EXPECT_EQ(again.get(), last);
    EXPECT_EQ(again->payload.size(), 0u);
    EXPECT_EQ(again->payload.capacity(), std::size_t{1} << 20);
    // A storage that would take the cache over its byte bound is freed instead.
    PooledReplyStorage huge = acquire_reply_storage();
    huge->payload.reserve(kCachedBytes);
    const std::size_t before = cached_reply_bytes();
    huge.reset();
    EXPECT_EQ(cached_reply_bytes(), before);
}

}  // namespace
}  // namespace morvane::irr
