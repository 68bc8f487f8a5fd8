#include "morvane/src/word_list.hpp"

#include <utility>

namespace morvane::irr {

WordList::WordList(WordList&& other) noexcept
    : storage_(std::exchange(other.storage_, nullptr)), ascii_(other.ascii_) {}

WordList& WordList::operator=(WordList&& other) noexcept {
    if (this != &other) {
        ReplyStorageReturn{}(std::exchange(storage_, std::exchange(other.storage_, nullptr)));
        ascii_ = other.ascii_;
    }
    return *this;
}

WordList::~WordList() {
    ReplyStorageReturn{}(storage_);  // a moved-from list holds null, which is ignored
}

}  // namespace morvane::irr
