// A sequence of ids that tells in constant time which of two comes first:
// every entry carries a label that grows along the sequence, with gaps left
// for later insertions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

class LabeledSequence {
  public:
    // Ids are below `capacity`; each is inserted at most once.
    explicit LabeledSequence(size_t capacity);

    void pushFront(size_t id);
    void insertAfter(size_t before, size_t id);

    bool contains(size_t id) const { return present_[id] != 0; }
    // Greater for an entry further back; only for contained ids.
    uint64_t label(size_t id) const { return labels_[id]; }
    const std::list<size_t>& ids() const { return ids_; }

  private:
    using Position = std::list<size_t>::iterator;

    void insertBefore(Position at, size_t id);
    uint64_t freeLabel(Position at) const;  // between at's neighbours; 0 when none is free
    void relabel();

    std::list<size_t> ids_;
    std::vector<Position> where_;
    std::vector<uint64_t> labels_;
    std::vector<uint8_t> present_;
};
