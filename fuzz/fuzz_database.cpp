// A database directory built from the input (meta files, state files, a
// schedule file, an image, the staging record of an interrupted run): swept
// of leftovers, loaded, listed, and its schedule carried out
// into a manifest that is applied, so that removals named by damaged
// records are exercised against the scratch root: nothing outside the
// installer's places may change.
#include <sstream>

#include "engine/schedule.h"
#include "fuzz_inputs.h"
#include "fuzz_root.h"
#include "output/list_report.h"
#include "pdb/database.h"
#include "txn/manifest.h"
#include "txn/staging_record.h"

// Input: file records over kDatabaseFiles.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Installer installer(fuzzSink(), fuzzSink());
    freshFuzzRoot(installer.root, {"/flash/var/pdb", "/ram/pdb", "/rw/pckg/.images"});
    plantSentinels();
    writeFuzzRecords(kDatabaseFiles, kDatabaseFileCount, data, size);
    sweepLeftoverTemporaries(installer.root, {});
    PackageDatabase::open(installer, false, "i386");
    std::ostringstream report;
    showPackageList(installer, report);
    FileManifest manifest(installer.root, installer.console, applyRank);
    applySchedule(installer, manifest, 1);
    manifest.apply(false);
    checkUntouched();
    return 0;
}
