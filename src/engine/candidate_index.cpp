#include "engine/candidate_index.h"

#include <algorithm>
#include <string>

#include "engine/resolution.h"

CandidateIndex::CandidateIndex(const std::vector<Package*>& input, uint32_t limit) : input_(input) {
    const bool downgrade = limit != NO_DOWNGRADE;
    uint32_t latest = 0;
    latestBuild_.reserve(input.size());
    for (size_t k = 0; k < input.size(); ++k) {
        const Package& p = *input[k];
        named_.add(p.name, k);
        for (const auto& m : p.members) memberNamed_.add(m->name, k);
        relations_.add(p, k);
        if (!(downgrade && p.version < limit)) latest = std::max(latest, p.buildTime);
        latestBuild_.push_back(latest);
    }
}

void CandidateIndex::related(size_t position, std::vector<size_t>& out) const {
    const Package& p = *input_[position];
    std::vector<std::string> names{p.name};
    for (const auto& m : p.members) names.push_back(m->name);
    named_.collect(names, out);
    memberNamed_.collect({p.name}, out);
    sortUnique(out);
    std::erase(out, position);
}

size_t CandidateIndex::firstBuiltAfter(uint32_t buildTime) const {
    return size_t(std::upper_bound(latestBuild_.begin(), latestBuild_.end(), buildTime) -
                  latestBuild_.begin());
}

void CandidateIndex::orderingCandidates(size_t position, std::vector<size_t>& out) const {
    const Package& p = *input_[position];
    relations_.neededBy(p, out);
    relations_.conflictingWith(p, out);
    sortUnique(out);
}
