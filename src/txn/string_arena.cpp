#include "txn/string_arena.h"

const char* StringArena::add(std::string_view text) {
    const uint32_t length = uint32_t(text.size());
    const size_t size = sizeof length + text.size() + 1;
    char* at;
    if (size > BLOCK / 4) {
        // A long string gets a block of its own, put before the one being
        // filled, which stays last (with nothing being filled, used_ says
        // the last block is full).
        auto block = std::make_unique_for_overwrite<char[]>(size);
        at = block.get();
        blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(block));
    } else {
        if (used_ + size > BLOCK) {
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(BLOCK));
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
    used_ = BLOCK;
}
