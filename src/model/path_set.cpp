#include "model/path_set.h"

#include <algorithm>

namespace {

std::string_view text(const char* path) {
    return StringArena::view(path);
}

bool before(const char* a, const char* b) {
    return text(a) < text(b);
}

}  // namespace

PathSet::PathSet(const PathSet& other) {
    *this = other;
}

PathSet& PathSet::operator=(const PathSet& other) {
    if (this == &other) return *this;
    clear();
    for (std::string_view path : other) insert(path);
    return *this;
}

void PathSet::insert(std::string_view path) {
    add(text_.add(path));
}

void PathSet::insertShared(const std::shared_ptr<StringArena>& arena, const char* copy) {
    if (std::find(shared_.begin(), shared_.end(), arena) == shared_.end()) shared_.push_back(arena);
    add(copy);
}

void PathSet::add(const char* copy) {
    // Extraction adds in the package's own order, mostly ascending.
    if (settled_ && !paths_.empty() && !before(paths_.back(), copy)) settled_ = false;
    paths_.push_back(copy);
}

void PathSet::settle() const {
    if (settled_) return;
    std::sort(paths_.begin(), paths_.end(), before);
    paths_.erase(std::unique(paths_.begin(), paths_.end(),
                             [](const char* a, const char* b) { return text(a) == text(b); }),
                 paths_.end());
    settled_ = true;
}

bool PathSet::contains(std::string_view path) const {
    settle();
    auto at = std::lower_bound(paths_.begin(), paths_.end(), path,
                               [](const char* p, std::string_view key) { return text(p) < key; });
    return at != paths_.end() && text(*at) == path;
}

size_t PathSet::size() const {
    settle();
    return paths_.size();
}

void PathSet::clear() {
    paths_.clear();
    text_.clear();
    shared_.clear();
    settled_ = true;
}

PathSet::const_iterator PathSet::begin() const {
    settle();
    return const_iterator(paths_.begin());
}

PathSet::const_iterator PathSet::end() const {
    settle();
    return const_iterator(paths_.end());
}
