// The known records by the names their fields hold, each list in list order:
// the few records that a name relates to are found without a scan of the
// whole list. Kept up to date as records join the list (at its end) and
// leave it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/package.h"

class RecordIndex {
  public:
    using Records = std::vector<InstalledPackage*>;

    // `p` joins at the end of the list.
    void add(InstalledPackage& p);
    void remove(const InstalledPackage& p);
    // By address only: `p` may have been destroyed.
    bool contains(const InstalledPackage* p) const;
    // Whether `a` comes before `b` in the list; both are in it.
    bool precedes(const InstalledPackage& a, const InstalledPackage& b) const;

    // Each empty when there are none.
    const Records& named(const std::string& name) const;
    // By name and by provision.
    const Records& offering(const std::string& name) const;
    // By the names of their dependencies.
    const Records& needing(const std::string& name) const;
    // By name, provision and the names of their conflicts: every name through
    // which a record can conflict with another (a record of the list has no
    // members).
    const Records& reaching(const std::string& name) const;
    // By bundle reference; "" holds the records without one.
    const Records& bundledIn(const std::string& name) const;

  private:
    using ByName = std::unordered_map<std::string, Records>;

    // Calls visit(map, name) for every entry of `p`, maybe twice for one.
    template <class Visit>
    void eachEntry(const InstalledPackage& p, Visit visit);

    ByName named_;
    ByName offering_;
    ByName needing_;
    ByName reaching_;
    ByName bundled_;
    std::unordered_map<const InstalledPackage*, uint64_t> joined_;  // the order of joining
    uint64_t joins_ = 0;
};
