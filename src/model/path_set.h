// A set of paths in byte-wise order, kept compactly: the text of each path
// once, in an arena, and one pointer to it. A package of 20,000 files costs
// about 40 bytes a path instead of a tree node and a string each. Paths are
// added as they come and put in order (and made unique) when first read.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "txn/string_arena.h"

class PathSet {
  public:
    class const_iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = value_type;
        explicit const_iterator(std::vector<const char*>::const_iterator at) : at_(at) {}
        std::string_view operator*() const { return StringArena::view(*at_); }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator==(const const_iterator& other) const { return at_ == other.at_; }

      private:
        std::vector<const char*>::const_iterator at_;
    };

    PathSet() = default;
    PathSet(const PathSet& other);
    PathSet& operator=(const PathSet& other);
    PathSet(PathSet&&) = default;
    PathSet& operator=(PathSet&&) = default;

    void insert(std::string_view path);
    // Adds a path already copied into `arena` (see StringArena::add),
    // sharing the copy instead of making another.
    void insertShared(const std::shared_ptr<StringArena>& arena, const char* copy);
    bool contains(std::string_view path) const;
    size_t size() const;
    bool empty() const { return paths_.empty(); }
    void clear();

    const_iterator begin() const;
    const_iterator end() const;

  private:
    void add(const char* copy);
    void settle() const;

    StringArena text_;
    std::vector<std::shared_ptr<StringArena>> shared_;  // arenas of shared copies
    mutable std::vector<const char*> paths_;
    mutable bool settled_ = true;
};
