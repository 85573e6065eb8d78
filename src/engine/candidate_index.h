// Lookups by name over the input of resolveCandidates (package files and
// bundles with their members), by position in that input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/name_index.h"
#include "engine/relation_index.h"
#include "model/package.h"

class CandidateIndex {
  public:
    // Entries below `limit` (downgrade mode) count against no other.
    CandidateIndex(const std::vector<Package*>& input, uint32_t limit);

    // Positions of the other entries with the same name, with a member of
    // that name, or named as one of its members; ascending.
    void related(size_t position, std::vector<size_t>& out) const;
    // The first position of an entry that counts and was built after
    // `buildTime`; the input's size when there is none.
    size_t firstBuiltAfter(uint32_t buildTime) const;
    // Positions of the entries e for which dependsOn(entry, e) or
    // conflictsWith(e, entry) may hold; ascending.
    void orderingCandidates(size_t position, std::vector<size_t>& out) const;

  private:
    const std::vector<Package*>& input_;
    NameIndex named_;
    NameIndex memberNamed_;  // bundles by their members' names
    RelationIndex relations_;
    // The latest build time among the counting entries up to each position:
    // never decreasing, so the first later build is found by bisection.
    std::vector<uint32_t> latestBuild_;
};
