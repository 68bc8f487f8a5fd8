#pragma once
// ReplyStorage: the memory one reply lives in, its payload bytes and the boundaries of its words,
// and the process-wide cache that hands it from one reply to the next.
//
// A 1.6 MB answer freshly allocated and freed per lookup costs more in page faults (the allocator
// maps and unmaps it) than its parsing; so a finished reply's storage goes back to a small cache
// instead, and the next reply starts with memory that is already mapped. The cache is bounded in
// entries and in bytes (kCachedReplies, kCachedBytes): a storage that would not fit, such as one
// left by a huge reply, is freed, so memory does not grow after one large answer. The cache is
// only ever try-locked: a contended or inherited (after fork) lock means "allocate anew" or
// "free", never a wait.
#include <cstddef>
#include <memory>

#include "morvane/src/raw_buffer.hpp"
#include "morvane/src/word_span.hpp"

namespace morvane::irr {

struct ReplyStorage {
    RawBuffer<char> payload;
    RawBuffer<WordSpan> words;

    // Bytes held (capacities), what the cache's budget counts.
    std::size_t footprint() const;
};

inline constexpr std::size_t kCachedReplies = 8;
inline constexpr std::size_t kCachedBytes = std::size_t{16} << 20;

// Gives a storage back to the cache (emptied), or frees it when the cache has no room for it.
struct ReplyStorageReturn {
    void operator()(ReplyStorage* storage) const noexcept;
};
using PooledReplyStorage = std::unique_ptr<ReplyStorage, ReplyStorageReturn>;

// An empty storage: the most recently returned one, or a new one.
PooledReplyStorage acquire_reply_storage();

// Bytes the cache holds now (tests and benchmarks).
std::size_t cached_reply_bytes();

// Frees every storage the cache holds (tests and benchmarks: a known starting state).
void drop_cached_replies();

}  // namespace morvane::irr
