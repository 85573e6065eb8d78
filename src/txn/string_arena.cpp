#include "txn/string_arena.h"

#include <algorithm>

const char* StringArena::add(std::string_view text) {
    const uint32_t length = uint32_t(text.size());
    const size_t size = sizeof length + text.size() + 1;
    char* at;
    if (size > BLOCK / 4) {
        // A long string gets a block of its own, put before the one being
        // filled, which stays last (with no block yet, the next string
        // starts one).
        auto block = std::make_unique_for_overwrite<char[]>(size);
        at = block.get();
        blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(block));
        if (blocks_.size() == 1) used_ = blockSize_ = 0;
    } else {
        if (used_ + size > blockSize_) {
            blockSize_ = std::max(size, std::min(BLOCK, std::max(FIRST_BLOCK, 2 * blockSize_)));
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(blockSize_));
            used_ = 0;
        }
        at = blocks_.back().get() + used_;
        used_ += size;
    }
    std::memcpy(at, &length, sizeof length);
    at += sizeof length;
    std::memcpy(at, text.data(), text.size());
    at[text.size()] = '\0';
    return at;
}

void StringArena::clear() {
    blocks_.clear();
    blockSize_ = used_ = 0;
}
