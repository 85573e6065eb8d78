// Lookups by name over the installed records, for the schedule's steps that
// change only scheduled actions: built once from the list, valid until a
// record is added or taken out.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "engine/name_index.h"
#include "engine/relation_index.h"
#include "model/installer.h"

class PackageIndex {
  public:
    explicit PackageIndex(const Installer& installer);

    size_t size() const { return packages_.size(); }
    InstalledPackage& at(size_t position) const { return *packages_[position]; }

    // The same answers as findPackage and findProviders.
    InstalledPackage* first(const std::string& name) const;
    void providers(const PackageRef& ref, bool includeDisabled,
                   std::vector<InstalledPackage*>& out) const;

    // Positions of the records whose bundle reference names `bundle` (for
    // "", of those without one); ascending.
    const std::vector<size_t>& membersOf(const std::string& bundle) const;
    // Positions of the other records that conflictsWith may relate to the
    // one at `position`, in either direction; ascending.
    void conflictCandidates(size_t position, std::vector<size_t>& out) const;
    // Positions of the records with a need that the one at `position` may
    // meet; in no particular order, some maybe twice.
    void dependents(size_t position, std::vector<size_t>& out) const;

  private:
    const std::vector<std::unique_ptr<InstalledPackage>>& packages_;
    NameIndex named_;
    NameIndex offering_;  // by name and provisions
    NameIndex bundled_;   // by bundle reference
    NameIndex needing_;   // by dependency
    RelationIndex relations_;
};
