// A database directory built from the input (meta files, state files, a
// schedule file, an image), loaded and listed.
#include <sstream>

#include "fuzz_root.h"
#include "output/list_report.h"
#include "pdb/database.h"

namespace {

const char* const kFiles[] = {
    "/flash/var/pdb/a/version",  "/flash/var/pdb/a/deps",     "/flash/var/pdb/a/provides",
    "/flash/var/pdb/a/conflicts", "/flash/var/pdb/a/bundle",  "/flash/var/pdb/a/files",
    "/flash/var/pdb/a/disabled", "/flash/var/pdb/a/enabled",  "/flash/var/pdb/b/image",
    "/rw/pckg/.images/b",        "/ram/pdb/a/schedule",       "/ram/pdb/b/schedule",
    "/flash/var/pdb/c/files",    "/flash/var/pdb/c/version",  "/flash/var/pdb/.hidden/version",
    "/flash/var/pdb/b/disabled",
};

}  // namespace

// Input: records of [file selector][length lo][length hi][bytes].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    freshFuzzRoot({"/flash/var/pdb", "/ram/pdb", "/rw/pckg/.images"});
    quietInstaller();
    size_t pos = 0;
    while (pos + 3 <= size) {
        const char* file = kFiles[data[pos] % (sizeof kFiles / sizeof kFiles[0])];
        size_t length = size_t(data[pos + 1]) | size_t(data[pos + 2]) << 8;
        pos += 3;
        if (length > size - pos) length = size - pos;
        writeFuzzFile(file, data + pos, length);
        pos += length;
    }
    Installer& installer = Installer::instance();
    PackageDatabase::open(installer, false, "i386");
    std::ostringstream report;
    showPackageList(installer, report);
    return 0;
}
