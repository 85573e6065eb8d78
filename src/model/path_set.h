// A set of paths in byte-wise order, kept compactly: the text of each path
// once, in an arena, and one pointer to it. A package of 20,000 files costs
// about 40 bytes a path instead of a tree node and a string each. Paths are
// added as they come and put in order (and made unique) when first read.
#pragma once

#include <cstddef>
#include <deque>
#include <iterator>
#include <string_view>

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
        explicit const_iterator(std::deque<const char*>::const_iterator at) : at_(at) {}
        std::string_view operator*() const { return StringArena::view(*at_); }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator==(const const_iterator& other) const { return at_ == other.at_; }

      private:
        std::deque<const char*>::const_iterator at_;
    };

    PathSet() = default;
    PathSet(const PathSet& other);
    PathSet& operator=(const PathSet& other);
    PathSet(PathSet&&) = default;
    PathSet& operator=(PathSet&&) = default;

    void insert(std::string_view path);
    bool contains(std::string_view path) const;
    size_t size() const;
    bool empty() const { return paths_.empty(); }
    void clear();

    const_iterator begin() const;
    const_iterator end() const;

  private:
    void settle() const;

    StringArena text_;
    // A deque: no spare capacity, and no copy when it grows.
    mutable std::deque<const char*> paths_;
    mutable bool settled_ = true;
};
