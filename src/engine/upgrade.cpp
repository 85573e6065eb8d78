#include "engine/upgrade.h"

#include <sys/stat.h>

#include <list>
#include <memory>
#include <set>
#include <string>

#include "engine/admission.h"
#include "engine/install.h"
#include "engine/relations.h"
#include "engine/resolution.h"
#include "engine/schedule.h"
#include "output/postlog.h"
#include "pdb/database.h"
#include "pkgfile/discovery.h"
#include "txn/fd_stream.h"
#include "txn/manifest.h"
#include "txn/rootfs.h"

namespace {

constexpr const char* DOWNGRADE_FILE = "/ram/DOWNGRADE";
constexpr const char* DOWNLOAD_DIR = "/rw/pckg/.download/";
constexpr const char* IGNORE_MARKER = "/rw/pckg/.download/IGNORE";
constexpr const char* UPLOAD_DIR = "/flash/rw/pckg/";
constexpr const char* STORE_DIR = "/flash/var/pckg/";
constexpr const char* BOOT_IMAGE = "/flash/bootimage";

using PackageFiles = std::vector<std::unique_ptr<PackageFile>>;

// Downgrade mode is on whenever the downgrade file can be opened; it holds
// the lowest version allowed. An unreadable number allows every version.
bool readDowngradeLimit(uint32_t& limit) {
    limit = NO_DOWNGRADE;
    InFile in(DOWNGRADE_FILE);
    if (!in.is_open()) return false;
    limit = 0;
    uint32_t value = 0;
    if (in >> std::dec >> value) limit = value;
    return true;
}

// Only the first place that holds any package file is used.
void discoverAll(PackageFiles& files) {
    struct stat st;
    const bool ignoreDownloads = rootfs::stat(IGNORE_MARKER, &st) == 0;
    if (!ignoreDownloads) discoverPackages(DOWNLOAD_DIR, files);
    if (ignoreDownloads || files.empty()) {
        discoverPackages(UPLOAD_DIR, files);
        if (files.empty()) discoverPackages(STORE_DIR, files);
    }
}

UserStates chosenStates(const Installer& installer) {
    UserStates states;
    for (const auto& p : installer.packages)
        if (p->userState) states.emplace(p->name, p->disabled != 0);
    return states;
}

// Every name that an enabled package offers, by its own name or a provision.
std::set<std::string> availableNames(const Installer& installer) {
    std::set<std::string> names;
    for (const auto& p : installer.packages) {
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

// A name that was available before the pass and that now only a disabled
// package offers gets that package enabled again, unless an enabled package
// conflicts with it.
void reenable(Installer& installer, FileManifest& manifest, const std::set<std::string>& names) {
    std::vector<InstalledPackage*> enable;
    for (const std::string& name : names) {
        PackageRef ref;
        ref.name = name;
        InstalledPackage* match = nullptr;
        for (const auto& p : installer.packages) {
            if (p->name != name && !providesMatch(*p, ref)) continue;
            match = p.get();
            if (!p->disabled) break;
        }
        if (match && match->disabled && !findConflicting(installer, *match))
            enable.push_back(match);
    }
    enablePackages(installer, manifest, enable, 1);
}

}  // namespace

std::vector<Package> upgradeFromFlash(Installer& installer, FileManifest& manifest,
                                      uint32_t allowance, int& status) {
    status = SET_OK;
    uint32_t limit = NO_DOWNGRADE;
    if (readDowngradeLimit(limit)) allowance |= ADMIT_OLDER;

    PackageFiles files;
    discoverAll(files);
    std::list<Package*> candidates;
    for (const auto& f : files) candidates.push_back(f.get());
    resolveCandidates(installer, candidates, limit, true);

    const UserStates userStates = chosenStates(installer);
    const std::set<std::string> available = availableNames(installer);
    if (!candidates.empty()) reservePostLog(installer);

    std::vector<Package> installed;
    for (Package* candidate : candidates) {
        const PackageFile& file = static_cast<const PackageFile&>(*candidate);
        InFile in(file.path);
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
    }

    reenable(installer, manifest, available);
    if (installer.packages.empty()) {
        installer.error("router installation failed!!!");
        manifest.cancel();
        status = SET_BAD;
        return {};
    }
    return installed;
}
