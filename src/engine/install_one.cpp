#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/admission.h"
#include "engine/install.h"
#include "engine/relations.h"
#include "engine/schedule.h"
#include "fs/rootfs.h"
#include "output/messages.h"
#include "pdb/database.h"
#include "pkgfile/extract.h"
#include "pkgfile/names.h"
#include "pkgfile/package_reader.h"
#include "pkgfile/signature_part.h"
#include "sign/signature.h"
#include "txn/manifest.h"

namespace {

constexpr uint32_t SKIP_STEP = 4096;

bool bootImageRequested() {
    return std::getenv("bootimage") != nullptr;
}

// The package is not installed. A bundle member passes over its remaining
// parts so that the reader stands on the next member; the package of that
// name that is already known (if any) stands in for it.
InstalledPackage* decline(Installer& installer, PackageReader& reader, const InstalledPackage& p,
                          uint32_t result, uint32_t allowance, bool member, uint8_t* bootFlagOut) {
    if (member) {
        while (reader.currentType() != PART_PACKAGE_HEADER && reader.currentType() != -1)
            reader.nextPart();
        return findPackage(installer, p.name);
    }
    if (result & ADMIT_UNMET) return nullptr;
    if (!(result & ADMIT_SAME)) return nullptr;
    InstalledPackage* known = findPackage(installer, p.name);
    if (allowance & ADMIT_SAME) {
        installer.setProgress(std::string(78, ' '));
        installer.setProgress(std::string());
        installer.info("installed %s%s", p.disabled ? "(disabled) " : "",
                       nameWithVersion(p).c_str());
        if (bootFlagOut && known) *bootFlagOut = known->flags & FLAG_BOOT_IMAGE;
    }
    return known;
}

// Passes over the kept-image payload (part 21) in small relative seeks so
// that the progress bar moves while a large image goes through the digest.
void skipKeptImage(Installer& installer, const InstalledPackage& p, PackageReader& reader) {
    uint32_t left = reader.parts().remaining();
    while (left > 0 && reader) {
        const uint32_t step = std::min(left, SKIP_STEP);
        showInstallProgress(installer, p, reader.position(), reader.fileLength());
        reader.seekg(std::streamoff(step), std::ios::cur);
        left -= step;
    }
    reader.nextPart();
}

// A stand-alone package may follow its signature only with an architecture
// part and an empty dependency part before the end of the file.
bool onlyAllowedTrailingParts(PackageReader& reader) {
    if (reader.currentType() == PART_ARCHITECTURE) reader.nextPart();
    if (reader.currentType() == PART_DEPENDS) {
        if (reader.partLength() != 0) return false;
        reader.nextPart();
    }
    return reader.currentType() == -1;
}

// Names the need that nothing meets any more, once the schedule has taken
// the new package out again.
void reportLostNeed(Installer& installer, const std::string& package,
                    const std::vector<PackageRef>& depends) {
    std::vector<InstalledPackage*> providers;
    for (const PackageRef& d : depends) {
        providers.clear();
        findProviders(installer, d, false, providers);
        if (!providers.empty()) continue;
        installer.error("can not install %s: %s is not installed, but is required", package.c_str(),
                        refText(d).c_str());
        return;
    }
}

// False (errno set) when the marker could not be staged.
bool stageUpgradedMarker(FileManifest& manifest) {
    std::unique_ptr<OutFile> marker = manifest.createStaged(UPGRADED_MARKER, 1, 0);
    return marker->close();
}

}  // namespace

InstalledPackage* installOne(Installer& installer, FileManifest& manifest, PackageReader& reader,
                             uint32_t allowance, const UserStates& userStates,
                             const PackageRef* bundleRef, std::string* imageDirOut,
                             uint8_t* bootFlagOut) {
    const bool member = bundleRef != nullptr;
    auto package = std::make_unique<InstalledPackage>();
    if (reader.currentType() != PART_PACKAGE_HEADER || !readPackageHeader(*package, reader))
        return nullptr;
    // The name becomes the record directory "/flash/var/pdb/<name>/"; one that
    // is not a single path component would put the record somewhere else.
    if (!isSafePackageName(package->name)) {
        if (member) package->bundleRef = *bundleRef;
        reportBrokenPackage(installer, *package);
        return nullptr;
    }
    if (member && package->name == bundleRef->name) return nullptr;
    if (package->keepsImage && imageDirOut) *imageDirOut = PackageDatabase::recordDir(*package);
    // Older systems need their configuration converted on the next boot, even
    // when this package is refused.
    if (package->name == "system" && versionMajor(package->version) <= 6 && !installer.planning)
        installer.root.truncateCreate(CONVERT_MARKER);

    uint32_t result =
        checkAdmission(installer, *package, member ? ADMIT_ALL : allowance | ADMIT_CONFLICT);
    auto chosen = userStates.find(package->name);
    if (chosen != userStates.end()) {
        package->disabled = chosen->second;
        package->userState = 1;
    }
    if (result & ADMIT_CONFLICT) {
        // A conflicting package is installed, but disabled.
        result &= ~ADMIT_CONFLICT;
        package->disabled = 1;
    }
    if ((result & ADMIT_SAME) || (result & ~ADMIT_NEWER & ~allowance))
        return decline(installer, reader, *package, result, allowance, member, bootFlagOut);

    if (member) package->bundleRef = *bundleRef;
    const bool recorded = reader.magic() != UNRECORDED_PACKAGE_MAGIC;
    // Read before this install changes the list, which clears it.
    const bool settled = installer.settled;
    // The replaced record leaves the context now; it is destroyed on return.
    std::unique_ptr<InstalledPackage> replaced;
    if (recorded) {
        if (InstalledPackage* known = findPackage(installer, package->name)) {
            PackageDatabase::removeRecord(*known, manifest);
            replaced = installer.take(known);
        }
    }
    showInstallProgress(installer, *package, reader.position(), reader.fileLength());
    if (recorded && !manifest.reclaimDirectory(PackageDatabase::recordDir(*package)))
        return nullptr;

    if (reader.currentType() == PART_PAYLOAD) skipKeptImage(installer, *package, reader);
    if (reader.currentType() == PART_FILES) {
        // With "bootimage" set the boot loader takes the files from the image
        // itself; the part is still read, and digested, by the next nextPart.
        const bool leaveFiles = bootImageRequested() && (package->flags & FLAG_BOOT_IMAGE);
        if (!leaveFiles && !extractFiles(installer, *package, manifest, reader)) return nullptr;
        reader.nextPart();
    }

    const int trust = trustLevel(installer.root, *package);
    if (reader.currentType() != PART_SIGNATURE || !reader.parts().hashing() ||
        !checkSignature(*package, reader, trust)) {
        reportBrokenPackage(installer, *package);
        return nullptr;
    }
    reader.nextPart();
    if (!member && !onlyAllowedTrailingParts(reader)) {
        reportBrokenPackage(installer, *package);
        return nullptr;
    }

    if (recorded && !PackageDatabase::writeRecord(installer, *package, manifest)) return nullptr;
    // Without its marker the new boot image or branding would not be taken up.
    if (((package->flags & FLAG_BOOT_IMAGE) || package->name == "branding") &&
        !stageUpgradedMarker(manifest)) {
        reportCreateFailure(installer, *package, UPGRADED_MARKER);
        return nullptr;
    }
    if (!member) installer.setProgress(std::string());

    const bool bootImage = (package->flags & FLAG_BOOT_IMAGE) && bootImageRequested();
    const std::string label = nameWithVersion(*package);
    const std::vector<PackageRef> depends = package->depends;
    InstalledPackage* installed = installer.append(std::move(package));
    applyScheduleAfterInstall(installer, manifest, *installed, replaced.get(), settled);
    if (bootFlagOut) *bootFlagOut = bootImage ? 1 : 0;
    // The schedule uninstalls the new package at once when something it needs
    // went with the package it replaced; the record is destroyed then.
    if (!installer.index().contains(installed)) {
        reportLostNeed(installer, label, depends);
        return nullptr;
    }
    return installed;
}
