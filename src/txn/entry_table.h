// The entries of a manifest by target path. A manifest of a 20,000-file
// package holds 20,000 of them, so they are kept compactly: the paths in an
// arena, one small slot per entry, and an open-addressed index of the slots
// by target. Entries are put in byte-wise order of their targets (a path
// before the paths it is a prefix of) when they are first walked after a
// change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "txn/string_arena.h"

enum class EntryKind : uint8_t { Move = 0, StagedFile = 1, Symlink = 3, Remove = 4 };

struct ManifestEntry {
    EntryKind kind = EntryKind::Move;
    std::string_view source;  // file to move, or link text; empty for Remove
};

class EntryTable {
  public:
    struct Item {
        std::string_view target;
        ManifestEntry entry;
    };

  private:
    struct Slot {
        const char* target;
        const char* source;
        EntryKind kind;
        bool live;
    };

  public:
    class const_iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Item;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = value_type;
        const_iterator(std::deque<Slot>::const_iterator at, std::deque<Slot>::const_iterator end)
            : at_(at), end_(end) {
            skipDead();
        }
        Item operator*() const;
        const_iterator& operator++() {
            ++at_;
            skipDead();
            return *this;
        }
        bool operator==(const const_iterator& other) const { return at_ == other.at_; }

      private:
        void skipDead() {
            while (at_ != end_ && !at_->live) ++at_;
        }
        std::deque<Slot>::const_iterator at_, end_;
    };

    std::optional<ManifestEntry> find(std::string_view target) const;
    // The table's own copy of a target that has an entry (null otherwise),
    // and the arena that holds it: a holder of the arena may keep the copy
    // after the entry or the table is gone.
    const char* storedTarget(std::string_view target) const;
    const std::shared_ptr<StringArena>& arena() const { return text_; }
    // Adds the entry of `target`, or replaces it.
    void set(std::string_view target, EntryKind kind, std::string_view source);
    // False when `target` had no entry.
    bool erase(std::string_view target);
    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    void clear();

    // In byte-wise order of the targets. Any change ends a walk.
    const_iterator begin() const;
    const_iterator end() const;

  private:
    // The index position of `target`: its slot's, or the free one where it
    // would go.
    size_t position(std::string_view target) const;
    void reindex(size_t capacity) const;
    void settle() const;

    std::shared_ptr<StringArena> text_ = std::make_shared<StringArena>();
    mutable std::deque<Slot> slots_;
    mutable std::vector<uint32_t> index_;  // slot number + 1; 0 is free
    mutable bool settled_ = true;
    size_t live_ = 0;
};
