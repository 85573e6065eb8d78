#include "engine/package_index.h"

#include "engine/relations.h"

PackageIndex::PackageIndex(const Installer& installer) : packages_(installer.packages()) {
    for (size_t k = 0; k < packages_.size(); ++k) {
        const InstalledPackage& p = *packages_[k];
        named_.add(p.name, k);
        offering_.add(p.name, k);
        for (const PackageRef& e : p.provides) offering_.add(e.name, k);
        bundled_.add(p.bundleRef.name, k);
        for (const PackageRef& d : p.depends) needing_.add(d.name, k);
        relations_.add(p, k);
    }
}

InstalledPackage* PackageIndex::first(const std::string& name) const {
    const std::vector<size_t>& found = named_.at(name);
    return found.empty() ? nullptr : packages_[found.front()].get();
}

void PackageIndex::providers(const PackageRef& ref, bool includeDisabled,
                             std::vector<InstalledPackage*>& out) const {
    for (size_t k : offering_.at(ref.name)) {
        InstalledPackage* p = packages_[k].get();
        if (isPlaceholder(*p) || (p->disabled && !includeDisabled)) continue;
        if (satisfies(*p, ref) || providesMatch(*p, ref)) out.push_back(p);
    }
}

const std::vector<size_t>& PackageIndex::membersOf(const std::string& bundle) const {
    return bundled_.at(bundle);
}

void PackageIndex::conflictCandidates(size_t position, std::vector<size_t>& out) const {
    const InstalledPackage& p = *packages_[position];
    relations_.conflictedBy(p, out);
    relations_.conflictingWith(p, out);
    sortUnique(out);
    std::erase(out, position);
}

void PackageIndex::dependents(size_t position, std::vector<size_t>& out) const {
    const InstalledPackage& p = *packages_[position];
    std::vector<std::string> names{p.name};
    for (const PackageRef& e : p.provides) names.push_back(e.name);
    needing_.collect(names, out);
}
