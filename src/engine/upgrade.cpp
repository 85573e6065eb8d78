#include "engine/upgrade.h"

#include <sys/stat.h>

#include <algorithm>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/admission.h"
#include "engine/install.h"
#include "engine/name_index.h"
#include "engine/relation_index.h"
#include "engine/relations.h"
#include "engine/resolution.h"
#include "engine/schedule.h"
#include "fs/fd_stream.h"
#include "fs/rootfs.h"
#include "output/postlog.h"
#include "pdb/database.h"
#include "pkgfile/discovery.h"
#include "txn/manifest.h"

namespace {

using PackageFiles = std::vector<std::unique_ptr<PackageFile>>;

// Downgrade mode is on whenever the downgrade file can be opened; it holds
// the lowest version allowed. An unreadable number allows every version.
bool readDowngradeLimit(rootfs::Root& root, uint32_t& limit) {
    limit = NO_DOWNGRADE;
    InFile in(root, DOWNGRADE_FILE);
    if (!in.is_open()) return false;
    limit = 0;
    uint32_t value = 0;
    if (in >> std::dec >> value) limit = value;
    return true;
}

// Only the first place that holds any package file is used.
void discoverAll(Installer& installer, PackageFiles& files, const PassExtras* extras) {
    struct stat st;
    const bool ignoreDownloads = installer.root.stat(IGNORE_MARKER, &st) == 0;
    if (!ignoreDownloads) discoverPackages(installer, DOWNLOAD_DIR, files);
    if (ignoreDownloads || files.empty()) {
        discoverPackages(installer, UPLOAD_DIR, files);
        if (extras)
            for (const StagedUpload& upload : extras->staged)
                discoverPackageFile(installer, upload.path, upload.name, files);
        if (files.empty()) discoverPackages(installer, STORE_DIR, files);
    }
}

UserStates chosenStates(const Installer& installer) {
    UserStates states;
    for (const auto& p : installer.packages())
        if (p->userState) states.emplace(p->name, p->disabled != 0);
    return states;
}

// Every name that an enabled package offers, by its own name or a provision.
std::set<std::string> availableNames(const Installer& installer) {
    std::set<std::string> names;
    for (const auto& p : installer.packages()) {
        if (p->disabled) continue;
        names.insert(p->name);
        for (const PackageRef& r : p->provides) names.insert(r.name);
    }
    return names;
}

// The package file stays as the package's image, or as the boot image with
// the image path linking to it.
void keepImage(FileManifest& manifest, const PackageFile& file, bool bootImage) {
    const std::string imagePath = std::string(DATABASE_ROOT) + file.name + "/image";
    if (bootImage) {
        manifest.stageMove(file.path, BOOT_IMAGE);
        manifest.stageSymlink(BOOT_IMAGE, imagePath);
    } else {
        manifest.stageMove(file.path, imagePath);
    }
}

// The known packages by each name they offer (their own, their
// provisions), and the enabled ones by the names through which they may
// conflict: the re-enable step looks names up instead of scanning every
// package for each.
class OfferIndex {
  public:
    explicit OfferIndex(const Installer& installer) : packages_(installer.packages()) {
        std::vector<std::string> names;
        for (size_t k = 0; k < packages_.size(); ++k) {
            const InstalledPackage& p = *packages_[k];
            names.clear();
            answersTo(p, names);
            for (const std::string& name : names) offering_.add(name, k);
            if (!p.disabled) enabled_.add(p, k);
        }
    }

    // In list order.
    const std::vector<size_t>& offering(const std::string& name) const {
        return offering_.at(name);
    }
    InstalledPackage& at(size_t position) const { return *packages_[position]; }

    // Whether an enabled package conflicts with `p` (as findConflicting).
    bool conflictsWithEnabled(const InstalledPackage& p) const {
        std::vector<size_t> found;
        enabled_.conflictingWith(p, found);
        return std::any_of(found.begin(), found.end(),
                           [&](size_t k) { return conflictsWith(*packages_[k], p); });
    }

  private:
    const std::vector<std::unique_ptr<InstalledPackage>>& packages_;
    NameIndex offering_;
    RelationIndex enabled_;
};

// A name that was available before the pass and that now only a disabled
// package offers gets that package enabled again, unless an enabled package
// conflicts with it; once for each such name.
void reenable(Installer& installer, FileManifest& manifest, const std::set<std::string>& names) {
    const OfferIndex index(installer);
    std::vector<InstalledPackage*> enable;
    for (const std::string& name : names) {
        InstalledPackage* match = nullptr;
        for (size_t k : index.offering(name)) {
            match = &index.at(k);
            if (!match->disabled) break;
        }
        if (match && match->disabled && !index.conflictsWithEnabled(*match))
            enable.push_back(match);
    }
    enablePackages(installer, manifest, enable, 1);
}

void noteFound(const PackageFiles& files, const std::list<Package*>& candidates,
               std::vector<FoundFile>& found) {
    for (const auto& f : files) {
        FoundFile entry{f->path, f->headerCopy()};
        int rank = 0;
        for (const Package* c : candidates) {
            if (c == f.get()) entry.rank = rank;
            ++rank;
        }
        found.push_back(std::move(entry));
    }
}

void markInstalled(const PackageFile& file, std::vector<FoundFile>& found) {
    for (FoundFile& entry : found)
        if (entry.path == file.path) entry.installed = true;
}

}  // namespace

std::vector<Package> upgradeFromFlash(Installer& installer, FileManifest& manifest,
                                      uint32_t allowance, int& status, PassExtras* extras) {
    status = SET_OK;
    uint32_t limit = NO_DOWNGRADE;
    if (readDowngradeLimit(installer.root, limit)) allowance |= ADMIT_OLDER;

    PackageFiles files;
    discoverAll(installer, files, extras);
    std::list<Package*> candidates;
    for (const auto& f : files) candidates.push_back(f.get());
    resolveCandidates(installer, candidates, limit, true);
    if (extras) noteFound(files, candidates, extras->found);

    const UserStates userStates = chosenStates(installer);
    const std::set<std::string> available = availableNames(installer);
    if (!candidates.empty()) reservePostLog(installer);

    std::vector<Package> installed;
    for (Package* candidate : candidates) {
        const PackageFile& file = static_cast<const PackageFile&>(*candidate);
        InFile in(installer.root, file.path);
        if (!in.is_open()) continue;
        uint8_t bootFlag = 0;
        status =
            installSet(installer, manifest, in, allowance, userStates, nullptr, nullptr, &bootFlag);
        in.close();
        if (status != SET_OK) {
            // Nothing of the pass may reach the flash.
            manifest.cancel();
            return {};
        }
        if (file.keepsImage) keepImage(manifest, file, bootFlag != 0);
        installed.push_back(file.headerCopy());
        if (extras) markInstalled(file, extras->found);
    }

    reenable(installer, manifest, available);
    if (installer.packages().empty()) {
        installer.error("router installation failed!!!");
        manifest.cancel();
        status = SET_BAD;
        return {};
    }
    return installed;
}
