// Package files through the install paths into a manifest on a scratch root,
// which is then saved and loaded back (it must come back unchanged) and
// applied: whatever was staged must stay inside /flash and the installer's
// own places (fuzz_root.h's sentinels), and the database records written
// must read back as written.
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
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

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
void checkSavedManifest(Console& console, FileManifest& manifest) {
    if (!manifest.save("/ram/MANIFEST")) return;
    FileManifest loaded(manifest.root(), console, applyRank);
    loaded.load("/ram/MANIFEST");
    if (sameManifestFile(manifest, loaded)) return;
    std::fprintf(stderr, "saved manifest does not load back as staged\n");
    std::abort();
}

bool sameRefs(const std::vector<PackageRef>& a, const std::vector<PackageRef>& b, bool weight) {
    auto same = [weight](const PackageRef& x, const PackageRef& y) {
        return x.name == y.name && x.minVersion == y.minVersion && x.maxVersion == y.maxVersion &&
               (!weight || x.weight == y.weight);
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
}

// The reference lists of the records this run wrote (and applied) must read
// back as the packages the installer now holds; otherwise the next start-up
// would see another package, or schedule it for removal as damaged. Bundle
// members and packages that keep their image are loaded from the image,
// their lists are a fallback only.
void checkWrittenRecords(const Installer& installer, const FileManifest& manifest) {
    for (const auto& p : installer.packages()) {
        if (!p->bundleRef.name.empty() || p->keepsImage) continue;
        const std::string dir = PackageDatabase::recordDir(*p);
        const struct {
            const char* file;
            const std::vector<PackageRef>& refs;
            bool weight;
        } lists[] = {{"deps", p->depends, false},
                     {"provides", p->provides, true},
                     {"conflicts", p->conflicts, false}};
        for (const auto& list : lists) {
            const auto staged = manifest.entries().find(dir + list.file);
            if (!staged || staged->kind != EntryKind::StagedFile) continue;
            std::vector<PackageRef> back;
            if (PackageDatabase::readRefFile(manifest.root(), dir + list.file, back, list.weight) &&
                sameRefs(back, list.refs, list.weight))
                continue;
            std::fprintf(stderr, "%s%s does not read back as written\n", dir.c_str(), list.file);
            std::abort();
        }
    }
}

void fromStream(Installer& installer, const uint8_t* data, size_t size) {
    std::string file(reinterpret_cast<const char*>(data), size);
    resignMarked(file);
    std::istringstream stream(file);
    std::ostringstream copy;
    FileManifest manifest(installer.root, installer.console, applyRank);
    std::string imageDir;
    uint8_t bootFlag = 0;
    const uint32_t allowance = ADMIT_OLDER | ADMIT_UNMET | ADMIT_CONFLICT;
    installSet(installer, manifest, stream, allowance, UserStates(), copy.rdbuf(), &imageDir,
               &bootFlag);
    checkSavedManifest(installer.console, manifest);
    manifest.apply(false);
    checkUntouched();
    checkWrittenRecords(installer, manifest);
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

void normalPass(Installer& installer, const uint8_t* data, size_t size) {
    writeFuzzRecords(kTreeFiles, kTreeFileCount, data, size, resignPackageFile);
    PackageDatabase::open(installer, false, "i386");
    FileManifest manifest(installer.root, installer.console, applyRank);
    applySchedule(installer, manifest, 1);
    int status = 0;
    upgradeFromFlash(installer, manifest, 0, status);
    checkSavedManifest(installer.console, manifest);
    int64_t bootSpare = 0, flashSpare = 0;
    if (!estimateSpace(manifest, bootSpare, flashSpare)) {
        manifest.cancel();
    } else {
        manifest.apply(false);
        checkWrittenRecords(installer, manifest);
    }
    checkUntouched();
    // The post-install log is left out: writing it syncs the whole machine.
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Installer installer(fuzzSink(), fuzzSink());
    freshFuzzRoot(installer.root, {kDirs[0], kDirs[1], kDirs[2], kDirs[3], kDirs[4]});
    plantSentinels();
    installer.arch = "i386";
    if (size >= 4 && std::memcmp(data, kTreeMagic, 4) == 0) {
        normalPass(installer, data + 4, size - 4);
    } else {
        fromStream(installer, data, size);
    }
    return 0;
}
