// Package files through the install paths into a manifest on a scratch root,
// which is then saved and loaded back (it must come back unchanged) and
// applied (whatever was staged must stay inside /flash and the installer's
// own places: fuzz_root.h's sentinels).
//
// Two forms of input:
// - a package stream, as it would arrive on standard input, given to
//   installSet. Every admission objection is allowed, so that extraction
//   (which runs before the signature check) meets hostile file records;
//   signature parts marked for it are signed again first (resign.h);
// - "TREE" followed by file records [selector][length lo][length hi][bytes]
//   that lay out package files on flash, database records, schedule files
//   and markers for the normal pass: loading, the schedule, discovery,
//   resolution and the upgrade driver. Package files and images are
//   re-signed the same way.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "engine/admission.h"
#include "engine/install.h"
#include "engine/schedule.h"
#include "engine/upgrade.h"
#include "fuzz_inputs.h"
#include "fuzz_root.h"
#include "pdb/database.h"
#include "resign.h"
#include "txn/manifest.h"
#include "txn/space.h"

namespace {

const char* const kDirs[] = {"/flash/var/pdb", "/ram/pdb", "/rw/pckg/.download", "/flash/rw/pckg",
                             "/flash/var/pckg"};

// A manifest saved for a later "--commit" must load back as it was, or the
// commit would change other files than the run staged. Saving may refuse.
void checkSavedManifest(const FileManifest& manifest) {
    if (!manifest.save("/ram/MANIFEST")) return;
    FileManifest loaded;
    loaded.load("/ram/MANIFEST");
    if (sameManifestFile(manifest, loaded)) return;
    std::fprintf(stderr, "saved manifest does not load back as staged\n");
    std::abort();
}

void fromStream(const uint8_t* data, size_t size) {
    std::string file(reinterpret_cast<const char*>(data), size);
    resignMarked(file);
    std::istringstream stream(file);
    std::ostringstream copy;
    FileManifest manifest;
    std::string imageDir;
    uint8_t bootFlag = 0;
    const uint32_t allowance = ADMIT_OLDER | ADMIT_UNMET | ADMIT_CONFLICT;
    installSet(Installer::instance(), manifest, stream, allowance, UserStates(), copy.rdbuf(),
               &imageDir, &bootFlag);
    checkSavedManifest(manifest);
    manifest.apply(false);
    checkUntouched();
}

bool endsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

void resignPackageFile(const std::string& file, std::string& bytes) {
    if (endsWith(file, ".qpk") || endsWith(file, ".wpk") || endsWith(file, "/image") ||
        file.find("/.images/") != std::string::npos)
        resignMarked(bytes);
}

void normalPass(const uint8_t* data, size_t size) {
    writeFuzzRecords(kTreeFiles, kTreeFileCount, data, size, resignPackageFile);
    Installer& installer = Installer::instance();
    PackageDatabase::open(installer, false, "i386");
    FileManifest manifest;
    applySchedule(installer, manifest, 1);
    upgradeFromFlash(installer, manifest, 0);
    checkSavedManifest(manifest);
    int64_t bootSpare = 0, flashSpare = 0;
    if (!estimateSpace(manifest, bootSpare, flashSpare)) {
        manifest.cancel();
    } else {
        manifest.apply(false);
    }
    checkUntouched();
    // The post-install log is left out: writing it syncs the whole machine.
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    freshFuzzRoot({kDirs[0], kDirs[1], kDirs[2], kDirs[3], kDirs[4]});
    plantSentinels();
    quietInstaller();
    Installer::instance().arch = "i386";
    if (size >= 4 && std::memcmp(data, kTreeMagic, 4) == 0) {
        normalPass(data + 4, size - 4);
    } else {
        fromStream(data, size);
    }
    return 0;
}
