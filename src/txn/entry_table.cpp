#include "txn/entry_table.h"

#include <algorithm>
#include <functional>

namespace {

std::string_view text(const char* copy) {
    return copy ? StringArena::view(copy) : std::string_view();
}

}  // namespace

EntryTable::Item EntryTable::const_iterator::operator*() const {
    return Item{text(at_->target), ManifestEntry{at_->kind, text(at_->source)}};
}

size_t EntryTable::position(std::string_view target) const {
    const size_t mask = index_.size() - 1;
    for (size_t at = std::hash<std::string_view>()(target) & mask;; at = (at + 1) & mask) {
        const uint32_t slot = index_[at];
        if (slot == 0 || text(slots_[slot - 1].target) == target) return at;
    }
}

void EntryTable::reindex(size_t capacity) const {
    index_.assign(capacity, 0);
    for (size_t i = 0; i < slots_.size(); ++i)
        index_[position(text(slots_[i].target))] = uint32_t(i + 1);
}

std::optional<ManifestEntry> EntryTable::find(std::string_view target) const {
    if (index_.empty()) return std::nullopt;
    const uint32_t slot = index_[position(target)];
    if (slot == 0 || !slots_[slot - 1].live) return std::nullopt;
    const Slot& s = slots_[slot - 1];
    return ManifestEntry{s.kind, text(s.source)};
}

void EntryTable::set(std::string_view target, EntryKind kind, std::string_view source) {
    // At most three quarters full, so that probes stay short.
    if (4 * (slots_.size() + 1) > 3 * index_.size())
        reindex(std::max<size_t>(64, 2 * index_.size()));
    const size_t at = position(target);
    const char* sourceCopy = source.empty() ? nullptr : text_->add(source);
    if (index_[at] != 0) {
        Slot& slot = slots_[index_[at] - 1];
        if (!slot.live) ++live_;
        slot.live = true;
        slot.kind = kind;
        slot.source = sourceCopy;
        return;
    }
    const char* targetCopy = text_->add(target);
    if (settled_ && !slots_.empty() && !(text(slots_.back().target) < target)) settled_ = false;
    slots_.push_back(Slot{targetCopy, sourceCopy, kind, true});
    index_[at] = uint32_t(slots_.size());
    ++live_;
}

const char* EntryTable::storedTarget(std::string_view target) const {
    if (index_.empty()) return nullptr;
    const uint32_t slot = index_[position(target)];
    return slot == 0 || !slots_[slot - 1].live ? nullptr : slots_[slot - 1].target;
}

bool EntryTable::erase(std::string_view target) {
    if (index_.empty()) return false;
    const uint32_t slot = index_[position(target)];
    if (slot == 0 || !slots_[slot - 1].live) return false;
    // The slot stays, so that the index needs no gaps mended; it goes when
    // the entries are next put in order.
    slots_[slot - 1].live = false;
    --live_;
    return true;
}

void EntryTable::clear() {
    slots_.clear();
    index_.clear();
    // Others may still hold copies from the old arena.
    text_ = std::make_shared<StringArena>();
    settled_ = true;
    live_ = 0;
}

void EntryTable::settle() const {
    if (settled_ && live_ == slots_.size()) return;
    std::erase_if(slots_, [](const Slot& s) { return !s.live; });
    // Entries mostly come in order (a package's files, then its record):
    // only those after the first one out of order are sorted, then merged.
    auto byTarget = [](const Slot& a, const Slot& b) { return text(a.target) < text(b.target); };
    const auto inOrder = std::is_sorted_until(slots_.begin(), slots_.end(), byTarget);
    std::sort(inOrder, slots_.end(), byTarget);
    std::inplace_merge(slots_.begin(), inOrder, slots_.end(), byTarget);
    reindex(index_.size());
    settled_ = true;
}

EntryTable::const_iterator EntryTable::begin() const {
    settle();
    return const_iterator(slots_.begin(), slots_.end());
}

EntryTable::const_iterator EntryTable::end() const {
    settle();
    return const_iterator(slots_.end(), slots_.end());
}
