#include "model/record_index.h"

namespace {

const RecordIndex::Records& recordsAt(
    const std::unordered_map<std::string, RecordIndex::Records>& map, const std::string& name) {
    static const RecordIndex::Records none;
    auto it = map.find(name);
    return it == map.end() ? none : it->second;
}

}  // namespace

template <class Visit>
void RecordIndex::eachEntry(const InstalledPackage& p, Visit visit) {
    visit(named_, p.name);
    visit(offering_, p.name);
    for (const PackageRef& e : p.provides) visit(offering_, e.name);
    for (const PackageRef& d : p.depends) visit(needing_, d.name);
    visit(reaching_, p.name);
    for (const PackageRef& e : p.provides) visit(reaching_, e.name);
    for (const PackageRef& c : p.conflicts) visit(reaching_, c.name);
    visit(bundled_, p.bundleRef.name);
}

void RecordIndex::add(InstalledPackage& p) {
    joined_.emplace(&p, joins_++);
    // The newest record is the last of every list it is in, so one that is
    // already there is so at the end.
    eachEntry(p, [&p](ByName& map, const std::string& name) {
        Records& list = map[name];
        if (list.empty() || list.back() != &p) list.push_back(&p);
    });
}

void RecordIndex::remove(const InstalledPackage& p) {
    joined_.erase(&p);
    eachEntry(p, [&p](ByName& map, const std::string& name) {
        auto it = map.find(name);
        if (it == map.end()) return;
        std::erase(it->second, &p);
        if (it->second.empty()) map.erase(it);
    });
}

bool RecordIndex::contains(const InstalledPackage* p) const {
    return joined_.count(p) != 0;
}

bool RecordIndex::precedes(const InstalledPackage& a, const InstalledPackage& b) const {
    return joined_.at(&a) < joined_.at(&b);
}

const RecordIndex::Records& RecordIndex::named(const std::string& name) const {
    return recordsAt(named_, name);
}

const RecordIndex::Records& RecordIndex::offering(const std::string& name) const {
    return recordsAt(offering_, name);
}

const RecordIndex::Records& RecordIndex::needing(const std::string& name) const {
    return recordsAt(needing_, name);
}

const RecordIndex::Records& RecordIndex::reaching(const std::string& name) const {
    return recordsAt(reaching_, name);
}

const RecordIndex::Records& RecordIndex::bundledIn(const std::string& name) const {
    return recordsAt(bundled_, name);
}
