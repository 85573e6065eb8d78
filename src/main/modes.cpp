#include "main/modes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "engine/admission.h"
#include "engine/cleanup.h"
#include "engine/install.h"
#include "engine/schedule.h"
#include "engine/upgrade.h"
#include "fs/enter_root.h"
#include "fs/fd_stream.h"
#include "fs/rootfs.h"
#include "model/installer.h"
#include "output/list_report.h"
#include "output/postlog.h"
#include "pdb/database.h"
#include "pdb/layout.h"
#include "txn/manifest.h"
#include "txn/run_lock.h"
#include "txn/space.h"
#include "txn/staging_record.h"

namespace {

// The rest of the router learns of a change only through this marker, so
// changes without it are not applied: false (reported) when it cannot be
// staged.
bool stagePackagesChanged(Installer& installer, FileManifest& manifest) {
    std::unique_ptr<OutFile> marker = manifest.createStaged(PACKAGES_CHANGED, 1, 0);
    if (marker->close()) return true;
    installer.error("could not create %s: %s", PACKAGES_CHANGED, std::strerror(errno));
    return false;
}

// Saves the changes for a later "--commit". A manifest file cut short would
// have that commit apply part of them: on failure (reported) the file goes,
// and so do the staged files.
bool saveChanges(Installer& installer, FileManifest& manifest) {
    if (manifest.save(SAVED_MANIFEST)) return true;
    installer.error("could not create %s: %s", SAVED_MANIFEST, std::strerror(errno));
    installer.root.unlink(SAVED_MANIFEST);
    manifest.cancel();
    return false;
}

// Changes saved for a commit were planned against the database as it was;
// once this run changes it, committing them could mix two versions of a
// package. They go, with the files they staged, before this run's changes.
void dropSavedChanges(Installer& installer, const FileManifest& manifest) {
    if (installer.root.unlink(SAVED_MANIFEST) == 0)
        sweepLeftoverTemporaries(installer.root, manifest.stagingRecord().tags());
}

// Shortfall in kB of a negative spare byte count.
int shortfallKb(int64_t spare) {
    return int((uint64_t(-spare) >> 10) + 1);
}

// The boot image goes to its fixed place, whatever record keeps the package;
// the record's "image" links to it only when there is such a record.
void keepStdinImage(FileManifest& manifest, const std::string& imageDir, bool bootImage) {
    if (bootImage) {
        manifest.stageMove(STDIN_IMAGE, BOOT_IMAGE);
        if (!imageDir.empty()) manifest.stageSymlink(BOOT_IMAGE, imageDir + "image");
    } else if (imageDir.empty()) {
        // The package keeps no image: the copy is not needed.
        manifest.stageRemove(STDIN_IMAGE);
    } else {
        manifest.stageMove(STDIN_IMAGE, imageDir + "image");
    }
}

}  // namespace

bool startChanging(Installer& installer, RunLock& lock) {
    if (!lock.acquire()) {
        if (errno == EWOULDBLOCK)
            installer.error("another installer is running: gave up after %u s waiting for %s",
                            lock.waitSeconds(), lock.path().c_str());
        else
            installer.error("could not lock %s: %s", lock.path().c_str(), std::strerror(errno));
        return false;
    }
    FileManifest saved(installer.root, installer.console);
    saved.load(SAVED_MANIFEST);
    sweepLeftoverTemporaries(installer.root, saved.stagedTags());
    return true;
}

int applyFailureStatus(const FileManifest& manifest) {
    return manifest.applyError() == ENOSPC ? 28 : SET_BAD;
}

int runShow(Installer& installer) {
    std::ostringstream list;
    showPackageList(installer, list);
    installer.console.print(list.str());
    return 0;
}

int runCleanup(Installer& installer) {
    FileManifest manifest(installer.root, installer.console, applyRank);
    cleanupPackages(installer, manifest);
    if (!manifest.empty()) dropSavedChanges(installer, manifest);
    return manifest.apply(false) ? 0 : applyFailureStatus(manifest);
}

int runFromStdin(Installer& installer, FileManifest& manifest, const RunOptions& options,
                 std::istream& input) {
    OutFile image(installer.root, STDIN_IMAGE_FILE);
    if (!image.is_open()) {
        installer.console.print("ERROR: could not open image\n");
        return -1;
    }
    std::string imageDir;
    uint8_t bootFlag = 0;
    int status = installSet(installer, manifest, input, options.allowance, UserStates(),
                            image.fdbuf(), &imageDir, &bootFlag);
    // A cut copy would become the package's image, and its members would be
    // lost with what it no longer holds.
    if (!image.close() && status == SET_OK) {
        installer.error("could not write %s: %s", STDIN_IMAGE_FILE, std::strerror(errno));
        status = SET_BAD;
    }
    if (status == SET_OK) {
        keepStdinImage(manifest, imageDir, bootFlag != 0);
        if (stagePackagesChanged(installer, manifest)) {
            dropSavedChanges(installer, manifest);
            if (!manifest.apply(false)) status = applyFailureStatus(manifest);
        } else {
            manifest.cancel();
            status = SET_BAD;
        }
    } else {
        // Extraction stages files before the signature is checked: nothing of
        // a failed image may reach the flash.
        manifest.cancel();
    }
    writePostLog(installer);
    return status;
}

PassDecision decideNormalPass(Installer& installer, FileManifest& manifest, uint32_t allowance,
                              PassExtras* extras) {
    PassDecision pass;
    pass.installed = upgradeFromFlash(installer, manifest, allowance, pass.status, extras);
    if (allowance & ADMIT_SAME) return pass;
    pass.spaceChecked = true;
    std::vector<InPlaceWrite> unwritten;
    if (installer.planning && installer.console.logReserved)
        unwritten.push_back(postLogReservation());
    if (!estimateSpace(manifest, pass.bootSpare, pass.flashSpare, unwritten)) {
        if (pass.bootSpare < 0)
            installer.error("upgrade failed, free %d kB disk space for a %supgrade",
                            shortfallKb(pass.bootSpare), "kernel ");
        if (pass.flashSpare < 0)
            installer.error("upgrade failed, free %d kB disk space for a %supgrade",
                            shortfallKb(pass.flashSpare), "");
        pass.installed.clear();
        pass.status = 28;
    }
    return pass;
}

int runNormalPass(Installer& installer, FileManifest& manifest, const RunOptions& options) {
    PassDecision pass = decideNormalPass(installer, manifest, options.allowance);
    std::vector<Package>& installed = pass.installed;
    int status = pass.status;
    if (status == 28) manifest.cancel();
    if (!manifest.empty() && !stagePackagesChanged(installer, manifest)) {
        manifest.cancel();
        installed.clear();
        status = SET_BAD;
    }
    if (!options.applyNow && !manifest.empty() && !saveChanges(installer, manifest)) {
        installed.clear();
        status = SET_BAD;
    }
    // The changes go in before the "installed" lines, so that a move that
    // fails (reported by apply) is not followed by a claim of success.
    if (options.applyNow && !manifest.empty()) dropSavedChanges(installer, manifest);
    if (options.applyNow && !manifest.empty() && !manifest.apply(false)) {
        installed.clear();
        status = applyFailureStatus(manifest);
    }
    for (const Package& p : installed) installer.info("installed %s", nameWithVersion(p).c_str());
    writePostLog(installer);
    return status;
}

int runInstaller(Installer& installer, int argc, char** argv) {
    RunOptions options;
    int exitStatus = 0;
    if (!parseOptions(installer, argc, argv, options, exitStatus)) return exitStatus;
    if (enterRoot(installer.root, options.root) == EnterRootResult::Failed) {
        installer.console.systemError("chroot", errno);
        return 1;
    }
    const char* arch = std::getenv("arch");
    // The list only reads; every other mode reads the database under the lock.
    RunLock lock(installer.root);
    installer.console.quiet = options.quiet;
    if (!options.show && !startChanging(installer, lock)) return 1;
    PackageDatabase::open(installer, options.quiet, arch ? arch : "i386", !options.show);
    if (options.show) return runShow(installer);
    if (options.cleanup) return runCleanup(installer);
    FileManifest manifest(installer.root, installer.console, applyRank);
    applySchedule(installer, manifest, 1);
    if (options.fromStdin) {
        FdStreamBuf input(0, std::ios::in);
        std::istream stream(&input);
        return runFromStdin(installer, manifest, options, stream);
    }
    return runNormalPass(installer, manifest, options);
}
