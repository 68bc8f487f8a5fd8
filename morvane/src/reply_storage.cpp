#include "morvane/src/reply_storage.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

namespace morvane::irr {

std::size_t ReplyStorage::footprint() const {
    return payload.capacity() + words.capacity() * sizeof(WordSpan);
}

namespace {

// Lock order: the cache's mutex is a leaf, held for a few pointer moves; nothing is allocated or
// freed under it except the fixed slot array's entries.
struct ReplyCache {
    std::mutex mutex;
    ReplyStorage* slots[kCachedReplies] = {};
    std::size_t count = 0;
    std::size_t bytes = 0;
};

// Never destroyed: blocking threads may return storages while static destructors run.
ReplyCache& cache() {
    static ReplyCache* const instance = new ReplyCache;
    return *instance;
}

}  // namespace

void ReplyStorageReturn::operator()(ReplyStorage* storage) const noexcept {
    if (storage == nullptr) return;
    storage->payload.clear();
    storage->words.clear();
    const std::size_t size = storage->footprint();
    ReplyCache& c = cache();
    {
        std::unique_lock lock(c.mutex, std::try_to_lock);
        if (lock && c.count < kCachedReplies && c.bytes + size <= kCachedBytes) {
            c.slots[c.count++] = storage;
            c.bytes += size;
            return;
        }
    }
    delete storage;
}

PooledReplyStorage acquire_reply_storage() {
    ReplyCache& c = cache();
    {
        std::unique_lock lock(c.mutex, std::try_to_lock);
        if (lock && c.count > 0) {
            ReplyStorage* storage = c.slots[--c.count];
            c.bytes -= storage->footprint();
            return PooledReplyStorage(storage);
        }
    }
    return PooledReplyStorage(new ReplyStorage);
}

std::size_t cached_reply_bytes() {
    ReplyCache& c = cache();
    std::lock_guard lock(c.mutex);
    return c.bytes;
}

void drop_cached_replies() {
    ReplyCache& c = cache();
    ReplyStorage* taken[kCachedReplies] = {};
    std::size_t count = 0;
    {
        std::lock_guard lock(c.mutex);
        count = std::exchange(c.count, 0);
        std::copy_n(c.slots, count, taken);
        c.bytes = 0;
    }
    for (std::size_t i = 0; i < count; ++i) delete taken[i];
}

}  // namespace morvane::irr
