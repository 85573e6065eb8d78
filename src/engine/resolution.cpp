#include "engine/resolution.h"

#include <iterator>
#include <vector>

#include "engine/flagged.h"
#include "engine/relations.h"

namespace {

bool relatedByName(const Package& p, const std::string& name) {
    if (p.name == name) return true;
    for (const auto& m : p.members)
        if (m->name == name) return true;
    return false;
}

bool related(const Package& a, const Package& b) {
    return relatedByName(a, b.name) || relatedByName(b, a.name);
}

// The filter of resolveCandidates, for input[index]: every other entry of the
// full input counts, also one that was itself dropped, except one below the
// downgrade limit: a file that may not be installed must not keep an allowed
// one out.
bool survives(Installer& installer, const std::vector<Package*>& input, size_t index,
              uint32_t limit, bool verbose) {
    const bool downgrade = limit != NO_DOWNGRADE;
    const Package& i = *input[index];
    if (downgrade && i.version < limit) {
        installer.warning("ommitting package %s: not allowed", nameWithVersion(i).c_str());
        return false;
    }
    for (size_t k = 0; k < input.size(); ++k) {
        if (k == index) continue;
        const Package& j = *input[k];
        if (downgrade && j.version < limit) continue;
        if (flaggedState && j.buildTime > i.buildTime) {
            if (verbose)
                installer.warning("ommiting older package %s: router in flagged state",
                                  nameWithVersion(i).c_str());
            return false;
        }
        if (!related(i, j)) continue;
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
class DependencyWalk {
  public:
    DependencyWalk(Installer& installer, int level) : installer_(installer), level_(level) {}

    void ensure(InstalledPackage& p) {
        for (const Visit& v : active_)
            if (v.package == &p && v.changes == changes_) return;
        active_.push_back({&p, changes_});
        ensureBody(p);
        active_.pop_back();
    }

    void require(InstalledPackage& q, const InstalledPackage& dependent) {
        if (q.scheduledAction == ACTION_UNINSTALL || q.scheduledAction == ACTION_DISABLE) {
            if (level_ != 0)
                installer_.warning("can not %s %s: %s depends on it",
                                   scheduledActionName(q.scheduledAction),
                                   nameWithVersion(q).c_str(), dependent.name.c_str());
            setAction(q, ACTION_NONE);
            ensure(q);
        } else if (q.disabled) {
            setAction(q, ACTION_ENABLE);
            ensure(q);
        }
    }

  private:
    struct Visit {
        const InstalledPackage* package;
        unsigned changes;
    };

    void ensureBody(InstalledPackage& p) {
        if (!p.bundleRef.name.empty())
            if (InstalledPackage* bundle = findPackage(installer_, p.bundleRef.name))
                require(*bundle, p);
        std::vector<InstalledPackage*> providers;
        for (const PackageRef& d : p.depends) {
            providers.clear();
            findProviders(installer_, d, true, providers);
            if (classifyProviders(providers) == PROVIDERS_MET) continue;
            if (providers.empty()) break;
            std::list<Package*> choice(providers.begin(), providers.end());
            resolveCandidates(installer_, choice, NO_DOWNGRADE, false);
            // Equal, unbundled providers cancel each other out: nothing to pick.
            if (choice.empty()) continue;
            require(*static_cast<InstalledPackage*>(choice.back()), p);
        }
    }

    void setAction(InstalledPackage& p, int32_t action) {
        if (p.scheduledAction == action) return;
        p.scheduledAction = action;
        ++changes_;
    }

    Installer& installer_;
    int level_;
    std::vector<Visit> active_;
    unsigned changes_ = 0;
};

}  // namespace

void resolveCandidates(Installer& installer, std::list<Package*>& list, uint32_t limit,
                       bool verbose) {
    // Filter against the whole input, then order the survivors.
    const std::vector<Package*> input(list.begin(), list.end());
    std::list<Package*> ordered;
    for (size_t k = 0; k < input.size(); ++k) {
        if (!survives(installer, input, k, limit, verbose)) continue;
        Package* i = input[k];
        // Place it right after the last entry it needs or that conflicts
        // with it; at the front when there is none.
        auto at = ordered.end();
        while (at != ordered.begin()) {
            Package* e = *std::prev(at);
            if (dependsOn(*i, *e) || conflictsWith(*e, *i)) break;
            --at;
        }
        ordered.insert(at, i);
    }
    list.swap(ordered);
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

void ensureDependencies(Installer& installer, InstalledPackage& package, int level) {
    DependencyWalk(installer, level).ensure(package);
}

void requireEnabled(Installer& installer, InstalledPackage& provider,
                    const InstalledPackage& dependent, int level) {
    DependencyWalk(installer, level).require(provider, dependent);
}
