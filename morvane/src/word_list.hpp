#pragma once
// WordList: the words of one reply payload, as the payload itself plus where each word lies. It
// owns the reply's storage, which goes back to the reply cache when the list is destroyed; a
// word stays valid as long as the list. Making one string per word is left to the consumer (the
// Python conversion makes each str straight from the payload).
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/src/reply_storage.hpp"

namespace morvane::irr {

class WordList {
  public:
    WordList(PooledReplyStorage storage, bool ascii) : storage_(storage.release()), ascii_(ascii) {}
    // Out of line and hand-written rather than a unique_ptr member: g++ 12 misreads the owner
    // inside the variant of a moved Result as maybe-uninitialised when it sees the destructor.
    WordList(WordList&& other) noexcept;
    WordList& operator=(WordList&& other) noexcept;
    ~WordList();

    std::size_t size() const { return storage_->words.size(); }
    std::string_view operator[](std::size_t i) const {
        const WordSpan w = storage_->words[i];
        return {storage_->payload.data() + w.offset, w.length};
    }
    std::span<const WordSpan> spans() const { return storage_->words; }
    const char* text() const { return storage_->payload.data(); }
    // Every byte of the payload is ASCII (so is every word).
    bool ascii() const { return ascii_; }

    std::vector<std::string> to_strings() const {
        std::vector<std::string> out;
        out.reserve(size());
        for (std::size_t i = 0; i < size(); ++i) out.emplace_back((*this)[i]);
        return out;
    }

  private:
    ReplyStorage* storage_;  // owned; never null but after a move
    bool ascii_;
};

}  // namespace morvane::irr
