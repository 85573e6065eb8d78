#include "engine/settled.h"

#include <algorithm>
#include <string>
#include <vector>

#include "engine/relations.h"
#include "engine/resolution.h"

namespace {

// By an enabled provider when `p` is enabled; by any when it is disabled.
bool needsMet(const Installer& installer, const InstalledPackage& p) {
    std::vector<InstalledPackage*> providers;
    for (const PackageRef& d : p.depends) {
        providers.clear();
        findProviders(installer, d, true, providers);
        const int met = classifyProviders(providers);
        if (p.disabled ? met == PROVIDERS_MISSING : met != PROVIDERS_MET) return false;
    }
    return true;
}

bool bundleEnabled(const Installer& installer, const InstalledPackage& p) {
    if (p.bundleRef.name.empty()) return true;
    const InstalledPackage* bundle = findPackage(installer, p.bundleRef.name);
    return !bundle || !bundle->disabled;
}

// Its partners answer to a name that its conflicts reach (relations.h).
bool conflictsWithEnabled(const Installer& installer, const InstalledPackage& p) {
    std::vector<std::string> names;
    conflictReach(p, names);
    for (const std::string& name : names)
        for (const InstalledPackage* q : installer.index().offering(name))
            if (q != &p && !q->disabled && conflictsWith(p, *q)) return true;
    return false;
}

// As bundleRecords leaves it.
bool bundleKept(const Installer& installer, const InstalledPackage& bundle) {
    bool disabledMember = false;
    for (const InstalledPackage* m : installer.index().bundledIn(bundle.name)) {
        if (isPlaceholder(*m)) continue;
        if (!m->disabled) return true;
        disabledMember = true;
    }
    return bundle.disabled && disabledMember;
}

void appendAll(std::vector<const InstalledPackage*>& out, const RecordIndex::Records& records) {
    out.insert(out.end(), records.begin(), records.end());
}

// The records that `joined` may unsettle: those whose conflicts reach a name
// it offers, and the members that may now take it for their bundle (they
// look it up by name). One more provider or member takes nothing away.
void unsettledByJoining(const Installer& installer, const InstalledPackage& joined,
                        std::vector<const InstalledPackage*>& out) {
    std::vector<std::string> names;
    answersTo(joined, names);
    for (const std::string& name : names) appendAll(out, installer.index().reaching(name));
    if (!joined.name.empty()) appendAll(out, installer.index().bundledIn(joined.name));
}

// The records that `left` may unsettle: those that need a name it offered,
// the members that took it for their bundle, and the bundle it was a member
// of. One package less to conflict with takes nothing away.
void unsettledByLeaving(const Installer& installer, const InstalledPackage& left,
                        std::vector<const InstalledPackage*>& out) {
    std::vector<std::string> names;
    answersTo(left, names);
    for (const std::string& name : names) appendAll(out, installer.index().needing(name));
    if (!left.name.empty()) appendAll(out, installer.index().bundledIn(left.name));
    appendAll(out, installer.index().named(left.bundleRef.name));
}

}  // namespace

bool isSettled(const Installer& installer, const InstalledPackage& p) {
    if (p.scheduledAction != ACTION_NONE || !needsMet(installer, p)) return false;
    if (!p.disabled && (!bundleEnabled(installer, p) || conflictsWithEnabled(installer, p)))
        return false;
    return !p.isBundle || bundleKept(installer, p);
}

bool allSettled(const Installer& installer) {
    const auto& all = installer.packages();
    return std::all_of(all.begin(), all.end(),
                       [&](const auto& p) { return isSettled(installer, *p); });
}

bool settledAfterChange(const Installer& installer, const InstalledPackage& added,
                        const InstalledPackage* replaced) {
    // Every other record looks at the same records as before, all settled.
    std::vector<const InstalledPackage*> again{&added};
    unsettledByJoining(installer, added, again);
    if (replaced) unsettledByLeaving(installer, *replaced, again);
    return std::all_of(again.begin(), again.end(),
                       [&](const InstalledPackage* p) { return isSettled(installer, *p); });
}
