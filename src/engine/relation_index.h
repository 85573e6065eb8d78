// Positions of packages by the names through which the package relations
// can hold (see relations.h), so that the few packages related to one are
// found without testing every pair.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/name_index.h"
#include "model/package.h"

class RelationIndex {
  public:
    // Positions are added in ascending order.
    void add(const Package& p, size_t position);

    // Appends the positions of the packages e for which conflictsWith(p, e)
    // may hold.
    void conflictedBy(const Package& p, std::vector<size_t>& out) const;
    // ... for which conflictsWith(e, p) may hold.
    void conflictingWith(const Package& p, std::vector<size_t>& out) const;
    // ... for which dependsOn(p, e) may hold.
    void neededBy(const Package& p, std::vector<size_t>& out) const;

  private:
    NameIndex answering_;  // by name, provisions and members' names
    NameIndex reaching_;   // by the names their conflicts can reach
};
