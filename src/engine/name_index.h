// List positions by name, for finding the few entries a name relates to
// without scanning the whole list.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

class NameIndex {
  public:
    // Positions are added in ascending order; adding one twice under the
    // same name keeps it once.
    void add(const std::string& name, size_t position);
    // The positions under `name`, ascending; empty when there are none.
    const std::vector<size_t>& at(const std::string& name) const;
    // Appends the positions under each of `names` (see sortUnique).
    void collect(const std::vector<std::string>& names, std::vector<size_t>& out) const;

  private:
    std::unordered_map<std::string, std::vector<size_t>> positions_;
};

// Ascending, each position once.
void sortUnique(std::vector<size_t>& positions);
