#include "engine/labeled_sequence.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace {

constexpr uint64_t MIDDLE = uint64_t(1) << 63;
// The room left at either end, so that a run of insertions at the front
// or the back rarely meets the end of the label range.
constexpr uint64_t STEP = uint64_t(1) << 32;

}  // namespace

LabeledSequence::LabeledSequence(size_t capacity)
    : where_(capacity), labels_(capacity), present_(capacity) {}

void LabeledSequence::pushFront(size_t id) {
    insertBefore(ids_.begin(), id);
}

void LabeledSequence::insertAfter(size_t before, size_t id) {
    insertBefore(std::next(where_[before]), id);
}

void LabeledSequence::insertBefore(Position at, size_t id) {
    uint64_t label = freeLabel(at);
    if (label == 0) {
        relabel();
        label = freeLabel(at);
    }
    where_[id] = ids_.insert(at, id);
    labels_[id] = label;
    present_[id] = 1;
}

uint64_t LabeledSequence::freeLabel(Position at) const {
    // Labels 0 and the maximum stay unused as the open ends.
    const bool first = at == ids_.begin();
    const bool last = at == ids_.end();
    const uint64_t low = first ? 0 : labels_[*std::prev(at)];
    const uint64_t high = last ? std::numeric_limits<uint64_t>::max() : labels_[*at];
    if (high - low < 2) return 0;
    if (first && last) return MIDDLE;
    if (last) return low + std::min(STEP, (high - low) / 2);
    if (first) return high - std::min(STEP, (high - low) / 2);
    return low + (high - low) / 2;
}

void LabeledSequence::relabel() {
    // Even gaps around the middle, with room for the entry being inserted.
    const uint64_t count = ids_.size() + 1;
    const uint64_t gap = std::min(STEP, std::numeric_limits<uint64_t>::max() / (count + 2));
    uint64_t label = MIDDLE - gap * (count / 2);
    for (size_t id : ids_) {
        labels_[id] = label;
        label += gap;
    }
}
