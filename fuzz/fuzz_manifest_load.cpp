// The saved manifest file as input to loading (and saving again).
#include "fuzz_root.h"
#include "txn/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    freshFuzzRoot({"/ram"});
    writeFuzzFile("/ram/MANIFEST", data, size);
    FileManifest manifest;
    manifest.load("/ram/MANIFEST");
    manifest.save("/ram/MANIFEST.out");
    manifest.cancel();
    return 0;
}
