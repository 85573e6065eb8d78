#include "engine/schedule.h"

#include <algorithm>
#include <functional>
#include <list>
#include <queue>
#include <string>

#include "engine/package_index.h"
#include "engine/relations.h"
#include "engine/resolution.h"
#include "engine/settled.h"
#include "pdb/database.h"
#include "txn/manifest.h"

namespace {

using Packages = std::vector<std::unique_ptr<InstalledPackage>>;

// Enabled and staying so, or disabled and about to be enabled.
bool willBeEnabled(const InstalledPackage& p) {
    return p.scheduledAction == ACTION_ENABLE || (!p.disabled && p.scheduledAction == ACTION_NONE);
}

// A bundle's action carries over to its members.
void bundlesToMembers(const PackageIndex& index) {
    for (size_t k = 0; k < index.size(); ++k) {
        InstalledPackage& m = index.at(k);
        if (m.bundleRef.name.empty()) continue;
        const InstalledPackage* b = index.first(m.bundleRef.name);
        if (!b) continue;
        switch (b->scheduledAction) {
            case ACTION_DISABLE:
                if (m.scheduledAction != ACTION_UNINSTALL) m.scheduledAction = ACTION_DISABLE;
                break;
            case ACTION_UNINSTALL:
                m.scheduledAction = ACTION_UNINSTALL;
                break;
            case ACTION_ENABLE:
                if (m.disabled) m.scheduledAction = ACTION_ENABLE;
                break;
        }
    }
}

// What will be enabled keeps, or gets, what it needs.
void needsOfEnabled(Installer& installer, const PackageIndex& index, int level) {
    // ensureDependencies only changes actions; the list itself stays put.
    for (size_t k = 0; k < index.size(); ++k) {
        InstalledPackage& p = index.at(k);
        if (willBeEnabled(p)) ensureDependencies(installer, index, p, level);
    }
}

// Of two conflicting packages only one stays or becomes enabled.
void resolveConflicts(Installer& installer, const PackageIndex& index, int level) {
    // Packages that no relation links to p pass through the scan of p
    // unchanged, so only the candidates are scanned, in list order.
    std::vector<size_t> candidates;
    for (size_t k = 0; k < index.size(); ++k) {
        InstalledPackage& p = index.at(k);
        if (!willBeEnabled(p)) continue;
        candidates.clear();
        index.conflictCandidates(k, candidates);
        for (size_t c : candidates) {
            InstalledPackage& q = index.at(c);
            const bool stays = !q.disabled && q.scheduledAction == ACTION_NONE;
            const bool comes = q.disabled && q.scheduledAction == ACTION_ENABLE;
            if (!stays && !comes) continue;
            bool loses = false;
            if (conflictsWith(p, q)) {
                if (stays) q.scheduledAction = ACTION_DISABLE;
                // Two enables that exclude each other: the scan of q would
                // find p still pending and pass it by, and both would be
                // enabled. The one scanned first gives way.
                loses = comes && p.scheduledAction == ACTION_ENABLE && conflictsWith(q, p);
            } else if (p.scheduledAction == ACTION_ENABLE && conflictsWith(q, p)) {
                if (stays) q.scheduledAction = ACTION_DISABLE;
                loses = comes;
            }
            if (loses) {
                p.scheduledAction = ACTION_NONE;
                if (level != 0)
                    installer.warning("can not enable %s: %s conflicts with it", p.name.c_str(),
                                      nameWithVersion(q).c_str());
                break;
            }
        }
    }
}

// The change a package's needs call for: uninstalled when nobody meets a
// need, disabled when only disabled packages do. Returns true on a change.
bool applyNeeds(const PackageIndex& index, InstalledPackage& p,
                std::vector<InstalledPackage*>& providers) {
    for (const PackageRef& d : p.depends) {
        providers.clear();
        index.providers(d, true, providers);
        const int met = classifyProviders(providers);
        if (met == PROVIDERS_MISSING && p.scheduledAction != ACTION_UNINSTALL) {
            p.scheduledAction = ACTION_UNINSTALL;
            return true;
        }
        if (met == PROVIDERS_DISABLED && p.scheduledAction != ACTION_UNINSTALL &&
            p.scheduledAction != ACTION_DISABLE &&
            !(p.disabled && p.scheduledAction == ACTION_NONE)) {
            p.scheduledAction = ACTION_DISABLE;
            return true;
        }
    }
    return false;
}

// Applies the first change (in list order) that the needs call for, again
// and again until none is left. A change may break a need of any package,
// also of one before it, so the order of the changes is that of a scan
// restarted from the first package after each change. What a package calls
// for depends only on its own action and those of its providers; so only
// the changed package and its dependents are looked at again, the first of
// them first.
void settleNeeds(const PackageIndex& index) {
    std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> pending;
    std::vector<uint8_t> queued(index.size(), 1);
    for (size_t k = 0; k < index.size(); ++k) pending.push(k);
    std::vector<InstalledPackage*> providers;
    std::vector<size_t> dependents;
    while (!pending.empty()) {
        const size_t k = pending.top();
        pending.pop();
        queued[k] = 0;
        if (!applyNeeds(index, index.at(k), providers)) continue;
        dependents.assign(1, k);
        index.dependents(k, dependents);
        for (size_t d : dependents) {
            if (queued[d]) continue;
            queued[d] = 1;
            pending.push(d);
        }
    }
}

// A bundle record stays only while a member of it stays enabled.
void bundleRecords(const PackageIndex& index) {
    for (size_t k = 0; k < index.size(); ++k) {
        InstalledPackage& p = index.at(k);
        if (!p.isBundle || p.scheduledAction == ACTION_UNINSTALL) continue;
        bool marked = false;
        bool kept = false;
        for (size_t c : index.membersOf(p.name)) {
            const InstalledPackage& m = index.at(c);
            if (isPlaceholder(m)) continue;
            if (willBeEnabled(m)) {
                kept = true;
                break;
            }
            if (m.disabled ? m.scheduledAction != ACTION_UNINSTALL
                           : m.scheduledAction == ACTION_DISABLE)
                marked = true;
        }
        if (kept) continue;
        if (!marked || !p.disabled)
            p.scheduledAction = ACTION_UNINSTALL;
        else if (p.scheduledAction == ACTION_ENABLE)
            p.scheduledAction = ACTION_NONE;
    }
}

std::string stateFile(const InstalledPackage& p, const char* file) {
    return PackageDatabase::recordDir(p) + file;
}

void disablePackage(Installer& installer, FileManifest& manifest, InstalledPackage& p, int level) {
    if (level != 0) installer.setProgress("disabling " + nameWithVersion(p) + "...");
    PackageDatabase::stageStateFile(manifest, stateFile(p, "enabled"), nullptr);
    PackageDatabase::stageStateFile(manifest, stateFile(p, "disabled"),
                                    p.userState ? "user" : "auto");
    p.disabled = 1;
    p.scheduledAction = ACTION_NONE;
    if (level != 0) installer.info("disabled %s", nameWithVersion(p).c_str());
}

// Makes the pending actions consistent, in this order, then stages them.
bool applyPending(Installer& installer, FileManifest& manifest, int level) {
    const PackageIndex index(installer);
    bundlesToMembers(index);
    needsOfEnabled(installer, index, level);
    resolveConflicts(installer, index, level);
    settleNeeds(index);
    bundleRecords(index);

    // Never leave the router without an enabled package.

    const Packages& all = installer.packages();
    if (!all.empty() &&
        std::none_of(all.begin(), all.end(), [](const auto& p) { return willBeEnabled(*p); })) {
        for (const auto& p : all) p->scheduledAction = ACTION_NONE;
        if (level != 0) installer.error("can not uninstall or disable all packages");
        return false;
    }

    // Collect first, then act: uninstalling takes records out of the list.
    std::vector<InstalledPackage*> leaving;
    std::list<Package*> coming;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        const int32_t action = (*it)->scheduledAction;
        if (action == ACTION_UNINSTALL || action == ACTION_DISABLE) leaving.push_back(it->get());
    }
    for (const auto& p : all)
        if (p->scheduledAction == ACTION_ENABLE) coming.push_back(p.get());
    const bool anything = !leaving.empty() || !coming.empty();
    resolveCandidates(installer, coming, NO_DOWNGRADE, false);
    std::vector<InstalledPackage*> enable;
    for (auto it = coming.rbegin(); it != coming.rend(); ++it)
        enable.push_back(static_cast<InstalledPackage*>(*it));

    for (InstalledPackage* p : leaving) {
        if (p->scheduledAction == ACTION_UNINSTALL) {
            PackageDatabase::removeRecord(*p, manifest);
            installer.remove(p);
        } else {
            disablePackage(installer, manifest, *p, level);
        }
    }
    enablePackages(installer, manifest, enable, level);
    return anything;
}

}  // namespace

bool applySchedule(Installer& installer, FileManifest& manifest, int level) {
    const bool anything = applyPending(installer, manifest, level);
    installer.settled = allSettled(installer);
    return anything;
}

void applyScheduleAfterInstall(Installer& installer, FileManifest& manifest,
                               const InstalledPackage& added, const InstalledPackage* replaced,
                               bool settledBefore) {
    // On a settled list the schedule would do nothing (see settled.h).
    if (settledBefore && settledAfterChange(installer, added, replaced)) {
        installer.settled = true;
        return;
    }
    applySchedule(installer, manifest, 0);
}

void enablePackages(Installer& installer, FileManifest& manifest,
                    const std::vector<InstalledPackage*>& list, int level) {
    for (InstalledPackage* p : list) {
        if (level != 0) installer.setProgress("enabling " + nameWithVersion(*p) + "...");
        PackageDatabase::stageStateFile(manifest, stateFile(*p, "disabled"), nullptr);
        PackageDatabase::stageStateFile(manifest, stateFile(*p, "enabled"),
                                        p->userState ? "user" : nullptr);
        p->disabled = 0;
        p->scheduledAction = ACTION_NONE;
        if (level != 0) installer.info("enabled %s", nameWithVersion(*p).c_str());
    }
    if (!list.empty()) installer.settled = false;
}
