// A package stream, as it would arrive on standard input, through the whole
// install path into a manifest on a scratch root. Extraction runs before the
// signature check, so hostile file records are reached.
#include <sstream>

#include "engine/install.h"
#include "fuzz_root.h"
#include "txn/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    freshFuzzRoot({"/flash/var/pdb", "/ram", "/rw"});
    quietInstaller();
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream copy;
    FileManifest manifest;
    std::string imageDir;
    uint8_t bootFlag = 0;
    installSet(Installer::instance(), manifest, stream, 0, UserStates(), copy.rdbuf(), &imageDir,
               &bootFlag);
    // Whatever was staged may be applied; it must stay inside the root.
    manifest.apply(false);
    return 0;
}
