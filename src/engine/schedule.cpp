#include "engine/schedule.h"

#include <algorithm>
#include <list>
#include <string>

#include "engine/relations.h"
#include "engine/resolution.h"
#include "pdb/database.h"
#include "txn/manifest.h"

namespace {

using Packages = std::vector<std::unique_ptr<InstalledPackage>>;

// Enabled and staying so, or disabled and about to be enabled.
bool willBeEnabled(const InstalledPackage& p) {
    return p.scheduledAction == ACTION_ENABLE || (!p.disabled && p.scheduledAction == ACTION_NONE);
}

// A bundle's action carries over to its members.
void bundlesToMembers(Installer& installer) {
    for (const auto& m : installer.packages) {
        if (m->bundleRef.name.empty()) continue;
        const InstalledPackage* b = findPackage(installer, m->bundleRef.name);
        if (!b) continue;
        switch (b->scheduledAction) {
            case ACTION_DISABLE:
                if (m->scheduledAction != ACTION_UNINSTALL) m->scheduledAction = ACTION_DISABLE;
                break;
            case ACTION_UNINSTALL:
                m->scheduledAction = ACTION_UNINSTALL;
                break;
            case ACTION_ENABLE:
                if (m->disabled) m->scheduledAction = ACTION_ENABLE;
                break;
        }
    }
}

// What will be enabled keeps, or gets, what it needs.
void needsOfEnabled(Installer& installer, int level) {
    // ensureDependencies only changes actions; the list itself stays put.
    for (size_t k = 0; k < installer.packages.size(); ++k) {
        InstalledPackage& p = *installer.packages[k];
        if (willBeEnabled(p)) ensureDependencies(installer, p, level);
    }
}

// Of two conflicting packages only one stays or becomes enabled.
void resolveConflicts(Installer& installer, int level) {
    const Packages& all = installer.packages;
    for (const auto& pp : all) {
        InstalledPackage& p = *pp;
        if (!willBeEnabled(p)) continue;
        for (const auto& qp : all) {
            InstalledPackage& q = *qp;
            if (&q == &p) continue;
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

// One pass over every package's needs: a package whose need nobody meets
// goes, one whose need only disabled packages meet is disabled. Returns
// true after the first change, so that the caller starts over.
bool oneNeedsPass(Installer& installer) {
    std::vector<InstalledPackage*> providers;
    for (const auto& pp : installer.packages) {
        InstalledPackage& p = *pp;
        for (const PackageRef& d : p.depends) {
            providers.clear();
            findProviders(installer, d, true, providers);
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
    }
    return false;
}

// A bundle record stays only while a member of it stays enabled.
void bundleRecords(Installer& installer) {
    for (const auto& pp : installer.packages) {
        InstalledPackage& p = *pp;
        if (!p.isBundle || p.scheduledAction == ACTION_UNINSTALL) continue;
        bool marked = false;
        bool kept = false;
        for (const auto& mp : installer.packages) {
            const InstalledPackage& m = *mp;
            if (isPlaceholder(m) || m.bundleRef.name != p.name) continue;
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

}  // namespace

// Makes the pending actions consistent, in this order, then stages them.
bool applySchedule(Installer& installer, FileManifest& manifest, int level) {
    bundlesToMembers(installer);
    needsOfEnabled(installer, level);
    resolveConflicts(installer, level);
    // Each change may break a need that an earlier package relied on.
    while (oneNeedsPass(installer)) continue;
    bundleRecords(installer);

    // Never leave the router without an enabled package.

    Packages& all = installer.packages;
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
}
