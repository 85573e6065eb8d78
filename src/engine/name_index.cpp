#include "engine/name_index.h"

#include <algorithm>

void NameIndex::add(const std::string& name, size_t position) {
    std::vector<size_t>& list = positions_[name];
    if (list.empty() || list.back() != position) list.push_back(position);
}

const std::vector<size_t>& NameIndex::at(const std::string& name) const {
    static const std::vector<size_t> none;
    auto it = positions_.find(name);
    return it == positions_.end() ? none : it->second;
}

void NameIndex::collect(const std::vector<std::string>& names, std::vector<size_t>& out) const {
    for (const std::string& name : names) {
        const std::vector<size_t>& list = at(name);
        out.insert(out.end(), list.begin(), list.end());
    }
}

void sortUnique(std::vector<size_t>& positions) {
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
}
