#include "engine/resolution.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "engine/candidate_index.h"
#include "engine/labeled_sequence.h"
#include "engine/package_index.h"
#include "engine/relations.h"

namespace {

// The filter of resolveCandidates, for input[index]: every other entry of the
// full input counts, also one that was itself dropped, except one below the
// downgrade limit: a file that may not be installed must not keep an allowed
// one out.
bool survives(Installer& installer, const std::vector<Package*>& input,
              const CandidateIndex& candidates, size_t index, uint32_t limit, bool verbose) {
    const bool downgrade = limit != NO_DOWNGRADE;
    const Package& i = *input[index];
    if (downgrade && i.version < limit) {
        installer.warning("ommitting package %s: not allowed", nameWithVersion(i).c_str());
        return false;
    }
    // Only entries related by name can drop it, and in flagged state the
    // first one built later; the scan ends there.
    std::vector<size_t> others;
    candidates.related(index, others);
    if (installer.flagged) {
        const size_t later = candidates.firstBuiltAfter(i.buildTime);
        if (later < input.size()) {
            others.erase(std::upper_bound(others.begin(), others.end(), later), others.end());
            if (others.empty() || others.back() != later) others.push_back(later);
        }
    }
    for (size_t k : others) {
        const Package& j = *input[k];
        if (downgrade && j.version < limit) continue;
        if (installer.flagged && j.buildTime > i.buildTime) {
            if (verbose)
                installer.warning("ommiting older package %s: router in flagged state",
                                  nameWithVersion(i).c_str());
            return false;
        }
        int r = compareRelated(j, i);
        if (downgrade) r = -r;
        if (r < 0) continue;
        if (r > 0) {
            if (verbose)
                installer.warning(downgrade
                                      ? "omitting package %s: older package is already provided"
                                      : "omitting package %s: newer package is already provided",
                                  nameWithVersion(i).c_str());
            return false;
        }
        // Equal: a bundle wins over a loose copy of its member; otherwise
        // neither is wanted twice.
        if (i.isBundle && !j.isBundle) continue;
        return false;
    }
    return true;
}

// ensureDependencies may meet a cycle (bundle references, mutual needs).
// Visiting a package again while an earlier visit of it is still running,
// with no action changed in between, would only repeat that visit forever;
// such a visit is cut. Every other visit runs as it comes.
//
// Chains of needs can be as long as the package list, so the visits in
// progress live on a stack of their own rather than the call stack.
class DependencyWalk {
  public:
    DependencyWalk(Installer& installer, const PackageIndex& index, int level)
        : installer_(installer), index_(index), level_(level) {}

    void ensure(InstalledPackage& p) {
        enter(p);
        run();
    }

    void require(InstalledPackage& q, const InstalledPackage& dependent) {
        if (keepFor(q, dependent)) ensure(q);
    }

  private:
    // A running visit and where it resumes.
    struct Visit {
        InstalledPackage* package;
        unsigned changes;  // the count of changes when it began
        int previous;      // the package's next older running visit, or -1
        bool bundleSeen = false;
        size_t nextNeed = 0;
    };

    void enter(InstalledPackage& p) {
        // Only the newest running visit of p can have begun at the current
        // count: the count never decreases.
        const auto newest = newest_.try_emplace(&p, -1).first;
        const int previous = newest->second;
        if (previous >= 0 && active_[size_t(previous)].changes == changes_) return;
        newest->second = int(active_.size());
        active_.push_back({&p, changes_, previous});
    }

    void run() {
        while (!active_.empty()) {
            if (InstalledPackage* next = resume(active_.back())) {
                enter(*next);
                continue;
            }
            const Visit& done = active_.back();
            if (done.previous < 0)
                newest_.erase(done.package);
            else
                newest_[done.package] = done.previous;
            active_.pop_back();
        }
    }

    // Goes on with the visit up to the next package to visit, which it
    // returns; null when the visit is over.
    InstalledPackage* resume(Visit& visit) {
        InstalledPackage& p = *visit.package;
        if (!visit.bundleSeen) {
            visit.bundleSeen = true;
            if (!p.bundleRef.name.empty())
                if (InstalledPackage* bundle = index_.first(p.bundleRef.name))
                    if (keepFor(*bundle, p)) return bundle;
        }
        std::vector<InstalledPackage*> providers;
        while (visit.nextNeed < p.depends.size()) {
            const PackageRef& d = p.depends[visit.nextNeed++];
            providers.clear();
            index_.providers(d, true, providers);
            if (classifyProviders(providers) == PROVIDERS_MET) continue;
            if (providers.empty()) return nullptr;  // nobody offers it: the visit ends
            std::list<Package*> choice(providers.begin(), providers.end());
            resolveCandidates(installer_, choice, NO_DOWNGRADE, false);
            // Equal, unbundled providers cancel each other out: nothing to pick.
            if (choice.empty()) continue;
            InstalledPackage& q = *static_cast<InstalledPackage*>(choice.back());
            if (keepFor(q, p)) return &q;
        }
        return nullptr;
    }

    // Cancels q's leaving, or schedules its enabling, for the dependent's
    // sake; true when q is then to be visited.
    bool keepFor(InstalledPackage& q, const InstalledPackage& dependent) {
        if (q.scheduledAction == ACTION_UNINSTALL || q.scheduledAction == ACTION_DISABLE) {
            if (level_ != 0)
                installer_.warning("can not %s %s: %s depends on it",
                                   scheduledActionName(q.scheduledAction),
                                   nameWithVersion(q).c_str(), dependent.name.c_str());
            setAction(q, ACTION_NONE);
            return true;
        }
        if (q.disabled) {
            setAction(q, ACTION_ENABLE);
            return true;
        }
        return false;
    }

    void setAction(InstalledPackage& p, int32_t action) {
        if (p.scheduledAction == action) return;
        p.scheduledAction = action;
        ++changes_;
    }

    Installer& installer_;
    const PackageIndex& index_;
    int level_;
    std::vector<Visit> active_;
    std::unordered_map<const InstalledPackage*, int> newest_;
    unsigned changes_ = 0;
};

}  // namespace

void resolveCandidates(Installer& installer, std::list<Package*>& list, uint32_t limit,
                       bool verbose) {
    // Filter against the whole input, then order the survivors.
    const std::vector<Package*> input(list.begin(), list.end());
    const CandidateIndex candidates(input, limit);
    LabeledSequence ordered(input.size());
    std::vector<size_t> near;
    for (size_t k = 0; k < input.size(); ++k) {
        if (!survives(installer, input, candidates, k, limit, verbose)) continue;
        const Package& i = *input[k];
        // Place it right after the last entry it needs or that conflicts
        // with it; at the front when there is none.
        near.clear();
        candidates.orderingCandidates(k, near);
        std::erase_if(near, [&](size_t e) { return !ordered.contains(e); });
        std::sort(near.begin(), near.end(),
                  [&](size_t a, size_t b) { return ordered.label(a) > ordered.label(b); });
        auto last = std::find_if(near.begin(), near.end(), [&](size_t e) {
            return dependsOn(i, *input[e]) || conflictsWith(*input[e], i);
        });
        if (last == near.end())
            ordered.pushFront(k);
        else
            ordered.insertAfter(*last, k);
    }
    std::list<Package*> result;
    for (size_t k : ordered.ids()) result.push_back(input[k]);
    list.swap(result);
}

int classifyProviders(const std::vector<InstalledPackage*>& providers) {
    bool onlyDisabled = false;
    for (const InstalledPackage* p : providers) {
        const int32_t action = p->scheduledAction;
        if (p->disabled ? action == ACTION_ENABLE : action == ACTION_NONE) return PROVIDERS_MET;
        if (p->disabled || action == ACTION_DISABLE) onlyDisabled = true;
    }
    return onlyDisabled ? PROVIDERS_DISABLED : PROVIDERS_MISSING;
}

void ensureDependencies(Installer& installer, const PackageIndex& index, InstalledPackage& package,
                        int level) {
    DependencyWalk(installer, index, level).ensure(package);
}
