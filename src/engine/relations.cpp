#include "engine/relations.h"

namespace {

// The first entry of `refs` named `name`, or null.
const PackageRef* firstNamed(const std::vector<PackageRef>& refs, const std::string& name) {
    for (const PackageRef& r : refs)
        if (r.name == name) return &r;
    return nullptr;
}

const Package* memberNamed(const Package& bundle, const std::string& name) {
    for (const auto& m : bundle.members)
        if (m->name == name) return m.get();
    return nullptr;
}

// -1, 0 or +1 by version, then build time.
int compareBuilds(const Package& a, const Package& b) {
    if (a.version != b.version) return a.version > b.version ? 1 : -1;
    if (a.buildTime != b.buildTime) return a.buildTime > b.buildTime ? 1 : -1;
    return 0;
}

}  // namespace

bool satisfies(const Package& p, const PackageRef& ref) {
    return p.name == ref.name && p.version >= ref.minVersion &&
           (ref.maxVersion == 0 || ref.maxVersion >= p.version);
}

bool providesMatch(const Package& p, const PackageRef& ref) {
    for (const PackageRef& e : p.provides) {
        if (e.name != ref.name) continue;
        // The provided range lies wholly above the wanted one.
        bool excluded = e.minVersion != 0 && ref.maxVersion != 0 && e.minVersion > ref.maxVersion;
        if (!excluded && (e.maxVersion == 0 || e.maxVersion >= ref.minVersion)) return true;
    }
    return false;
}

bool conflictsWith(const Package& a, const Package& b) {
    if (isPlaceholder(a) || isPlaceholder(b)) return false;
    for (const PackageRef& c : a.conflicts)
        if (satisfies(b, c)) return true;
    // b stands in for a: a negative weight says the two cannot coexist.
    if (const PackageRef* q = firstNamed(b.provides, a.name)) return q->weight < 0;
    for (const PackageRef& p : a.provides) {
        if (p.name == b.name) return p.weight >= 0;
        // Both offer the same name: the heavier provider pushes the other out.
        if (const PackageRef* q = firstNamed(b.provides, p.name)) return p.weight > q->weight;
    }
    for (const PackageRef& c : a.conflicts)
        if (providesMatch(b, c)) return true;
    if (memberNamed(b, a.name)) return true;
    for (const auto& m : a.members)
        if (conflictsWith(*m, b)) return true;
    return false;
}

bool dependsOn(const Package& a, const Package& b) {
    for (const PackageRef& d : a.depends)
        if (satisfies(b, d) || providesMatch(b, d)) return true;
    for (const auto& m : b.members)
        if (dependsOn(a, *m)) return true;
    for (const auto& m : a.members)
        if (dependsOn(*m, b)) return true;
    return false;
}

int compareRelated(const Package& a, const Package& b) {
    if (a.name == b.name) return compareBuilds(a, b);
    if (const Package* m = memberNamed(a, b.name)) return compareBuilds(*m, b);
    if (const Package* m = memberNamed(b, a.name)) return -compareBuilds(*m, a);
    return 0;
}

void findProviders(const Installer& installer, const PackageRef& ref, bool includeDisabled,
                   std::vector<InstalledPackage*>& out) {
    // Only a package of that name, or one providing it, can meet the need.
    for (InstalledPackage* p : installer.index().offering(ref.name)) {
        if (isPlaceholder(*p) || (p->disabled && !includeDisabled)) continue;
        if (satisfies(*p, ref) || providesMatch(*p, ref)) out.push_back(p);
    }
}

InstalledPackage* findConflicting(const Installer& installer, const Package& candidate) {
    // Only a package whose conflicts reach a name of the candidate can
    // conflict with it; the first such in list order is the answer.
    const RecordIndex& index = installer.index();
    std::vector<std::string> names;
    answersTo(candidate, names);
    InstalledPackage* first = nullptr;
    for (const std::string& name : names) {
        for (InstalledPackage* p : index.reaching(name)) {
            if (first && !index.precedes(*p, *first)) break;
            if (!p->disabled && conflictsWith(*p, candidate)) first = p;
        }
    }
    return first;
}

void answersTo(const Package& p, std::vector<std::string>& out) {
    out.push_back(p.name);
    for (const PackageRef& e : p.provides) out.push_back(e.name);
    for (const auto& m : p.members) answersTo(*m, out);
}

void conflictReach(const Package& p, std::vector<std::string>& out) {
    out.push_back(p.name);
    for (const PackageRef& e : p.provides) out.push_back(e.name);
    for (const PackageRef& c : p.conflicts) out.push_back(c.name);
    for (const auto& m : p.members) conflictReach(*m, out);
}

void needNames(const Package& p, std::vector<std::string>& out) {
    for (const PackageRef& d : p.depends) out.push_back(d.name);
    for (const auto& m : p.members) needNames(*m, out);
}
