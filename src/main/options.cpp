#include "main/options.h"

#include <cstring>

#include "engine/admission.h"
#include "fs/rootfs.h"
#include "main/modes.h"
#include "pdb/layout.h"
#include "txn/manifest.h"
#include "txn/run_lock.h"
#include "txn/staging_record.h"

int commitSavedManifest(Installer& installer) {
    Console& console = installer.console;
    RunLock lock(installer.root);
    if (!startChanging(installer, lock)) return 1;
    FileManifest manifest(installer.root, console, applyRank);
    manifest.load(SAVED_MANIFEST);
    console.print("finishing install... ");
    const bool applied = manifest.apply(true);
    // Erase the last spinner character.
    console.print("\b \n");
    if (!applied) return applyFailureStatus(manifest);
    // Its staged files are in place: the saving run's record has done its part.
    dropStagingRecords(installer.root, manifest.stagedTags());
    return 0;
}

int cancelSavedManifest(Installer& installer) {
    RunLock lock(installer.root);
    if (!startChanging(installer, lock)) return 1;
    installer.root.unlink(SAVED_MANIFEST);
    // With the manifest gone, its staged files are an interrupted run's
    // leftovers: they go.
    sweepLeftoverTemporaries(installer.root, {});
    return 0;
}

bool parseOptions(Installer& installer, int argc, char** argv, RunOptions& options,
                  int& exitStatus) {
    Console& console = installer.console;
    exitStatus = 0;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        auto is = [word](const char* option) { return std::strcmp(word, option) == 0; };
        if (is("--cleanup")) {
            options.cleanup = true;
            return true;
        } else if (is("--safe")) {
            options.applyNow = false;
        } else if (is("-r") && i + 1 < argc) {
            options.root = argv[++i];
        } else if (is("-")) {
            options.fromStdin = true;
            return true;
        } else if (is("-q")) {
            options.quiet = true;
        } else if (is("-down")) {
            options.allowance |= ADMIT_OLDER;
        } else if (is("--reinstall")) {
            console.print("\nResuming upgrade...\n");
            options.allowance |= ADMIT_SAME;
        } else if (is("-b") || is("--force") || is("--noupgrade") || is("-i")) {
            // Accepted for compatibility; no effect.
        } else if (is("--commit")) {
            exitStatus = commitSavedManifest(installer);
            return false;
        } else if (is("--cancel")) {
            exitStatus = cancelSavedManifest(installer);
            return false;
        } else if (is("--show")) {
            options.show = true;
        } else {
            console.print(std::string(USAGE_LINE) + "\n");
            return false;
        }
    }
    return true;
}
