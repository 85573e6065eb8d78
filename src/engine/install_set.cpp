#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/admission.h"
#include "engine/install.h"
#include "engine/schedule.h"
#include "pdb/database.h"
#include "pkgfile/names.h"
#include "pkgfile/package_reader.h"
#include "txn/manifest.h"

namespace {

// Takes the first known record of that name out of the context and destroys
// it; its files and record are staged for removal when asked.
void dropKnown(Installer& installer, FileManifest& manifest, const std::string& name,
               bool removeFiles) {
    InstalledPackage* known = findPackage(installer, name);
    if (!known) return;
    if (removeFiles) PackageDatabase::removeRecord(*known, manifest);
    installer.take(known);
}

std::set<std::string> membersOf(const Installer& installer, const std::string& bundle) {
    std::set<std::string> names;
    for (const auto& p : installer.packages())
        if (p->bundleRef.name == bundle) names.insert(p->name);
    return names;
}

// Whether a known bundle other than `bundle` carries a member of that name.
bool carriedElsewhere(const Installer& installer, const std::string& bundle,
                      const std::string& member) {
    const auto& all = installer.packages();
    return std::any_of(all.begin(), all.end(), [&](const auto& b) {
        return b->isBundle && b->name != bundle &&
               std::find(b->memberNames.begin(), b->memberNames.end(), member) !=
                   b->memberNames.end();
    });
}

// A nameless record that conflicts with `name`: a member of that name then
// installs disabled.
void addDefaultDisabledMarker(Installer& installer, const std::string& name) {
    auto marker = std::make_unique<InstalledPackage>();
    PackageRef ref;
    ref.name = name;
    marker->conflicts.push_back(ref);
    installer.append(std::move(marker));
}

int installBundle(Installer& installer, FileManifest& manifest, PackageReader& reader,
                  uint32_t allowance, const UserStates& userStates, std::string* imageDirOut,
                  uint8_t* bootFlagOut) {
    if (bootFlagOut) *bootFlagOut = 0;
    auto bundle = std::make_unique<InstalledPackage>();
    if (!readPackageHeader(*bundle, reader)) return SET_BAD;
    if (!bundle->depends.empty() || !bundle->provides.empty() || !bundle->conflicts.empty())
        return SET_BAD;
    // The name becomes the record directory "/flash/var/pdb/<name>/". The
    // bundle's members are loaded from its image: without one they would be
    // taken for orphans at the next start-up and removed.
    if (!isSafePackageName(bundle->name) || !bundle->keepsImage) {
        installer.error("installation of %s failed: broken package",
                        nameWithVersion(*bundle).c_str());
        return SET_BAD;
    }
    if (reader.currentType() == PART_PAYLOAD) reader.nextPart();
    if (bundle->keepsImage && imageDirOut) *imageDirOut = PackageDatabase::recordDir(*bundle);

    const uint32_t result = checkAdmission(installer, *bundle, allowance);
    if (result & ~ADMIT_NEWER & ~allowance) return SET_REFUSED;

    const std::string name = bundle->name;
    dropKnown(installer, manifest, name, true);
    if (!manifest.reclaimDirectory(PackageDatabase::recordDir(*bundle))) return SET_BAD;
    if (!PackageDatabase::writeRecord(installer, *bundle, manifest)) return SET_BAD;

    PackageRef bundleRef;
    bundleRef.name = name;
    bundleRef.minVersion = bundle->version;
    bundleRef.maxVersion = bundle->version;
    // A second record of the name (a second image) goes without its files.
    dropKnown(installer, manifest, name, false);
    installer.append(std::move(bundle));
    std::vector<std::string> carried;

    std::set<std::string> oldMembers = membersOf(installer, name);
    if (reader.currentType() == PART_BUNDLE_MEMBERS) {
        std::vector<PackageRef> defaultDisabled;
        if (!readRefList(reader, defaultDisabled)) return SET_BAD;
        for (const PackageRef& ref : defaultDisabled)
            if (!userStates.count(ref.name)) addDefaultDisabledMarker(installer, ref.name);
        reader.nextPart();
    }

    int members = 0;
    while (reader.currentType() == PART_PACKAGE_HEADER) {
        uint8_t memberFlag = 0;
        InstalledPackage* m = installOne(installer, manifest, reader, allowance, userStates,
                                         &bundleRef, nullptr, &memberFlag);
        if (!m) return SET_REFUSED;
        oldMembers.erase(m->name);
        carried.push_back(m->name);
        if (bootFlagOut && memberFlag) *bootFlagOut = 1;
        ++members;
    }
    if (reader.currentType() == PART_ARCHITECTURE) reader.nextPart();
    if (reader.currentType() != -1) return SET_REFUSED;
    if (members == 0) return SET_EMPTY;
    // The schedule that each member's install applied may have taken the
    // record out again (no member of it enabled), so it is looked up anew.
    if (InstalledPackage* record = findPackage(installer, name); record && record->isBundle)
        record->memberNames = std::move(carried);

    // Members that the new version of the bundle no longer carries go, unless
    // another installed bundle still carries them.
    for (const std::string& old : oldMembers) {
        if (carriedElsewhere(installer, name, old)) continue;
        if (InstalledPackage* p = findPackage(installer, old))
            p->scheduledAction = ACTION_UNINSTALL;
    }
    applySchedule(installer, manifest, 0);
    installer.setProgress(std::string());
    return SET_OK;
}

}  // namespace

int installSet(Installer& installer, FileManifest& manifest, std::istream& stream,
               uint32_t allowance, const UserStates& userStates, std::streambuf* copySink,
               std::string* imageDirOut, uint8_t* bootFlagOut) {
    PackageReader reader(stream, true, copySink);
    reader.wanted = {PART_PACKAGE_HEADER, PART_BUNDLE_HEADER, PART_BUNDLE_MEMBERS,
                     PART_ARCHITECTURE,   PART_DEPENDS,       PART_PROVIDES,
                     PART_CONFLICTS,      PART_PAYLOAD,       PART_FILES,
                     PART_SIGNATURE};
    reader.nextPart();
    if (reader.currentType() != PART_BUNDLE_HEADER) {
        InstalledPackage* p = installOne(installer, manifest, reader, allowance, userStates,
                                         nullptr, imageDirOut, bootFlagOut);
        return p ? SET_OK : SET_BAD;
    }
    return installBundle(installer, manifest, reader, allowance, userStates, imageDirOut,
                         bootFlagOut);
}
