// Discovery of a directory holding the input as a package file.
#include <memory>
#include <vector>

#include "fuzz_root.h"
#include "model/installer.h"
#include "pkgfile/discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Installer installer(fuzzSink(), fuzzSink());
    freshFuzzRoot(installer.root, {"/flash/rw/pckg"});
    writeFuzzFile("/flash/rw/pckg/input.qpk", data, size);
    std::vector<std::unique_ptr<PackageFile>> list;
    discoverPackages(installer, "/flash/rw/pckg/", list);
    return 0;
}
