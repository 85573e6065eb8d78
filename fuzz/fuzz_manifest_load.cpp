// The saved manifest file as "--commit" and "--cancel" meet it: loaded,
// saved again (which must give back the same entries), then applied or
// cancelled inside the scratch root, by the input length's parity.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs/rootfs.h"
#include "fuzz_root.h"
#include "model/console.h"
#include "txn/manifest.h"

namespace {

void put(const char* inside, const char* text) {
    writeFuzzFile(inside, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rootfs::Root root;
    freshFuzzRoot(root, {"/ram", "/flash/d"});
    // Files the seed's lines name, so that moves, links and removals act.
    put("/ram/tmpAAAAAA", "staged");
    put("/flash/a", "old");
    put("/flash/d/x", "x");
    writeFuzzFile("/ram/MANIFEST", data, size);
    Console console(fuzzSink(), fuzzSink());
    FileManifest manifest(root, console);
    manifest.load("/ram/MANIFEST");
    if (!manifest.save("/ram/MANIFEST.out")) {
        std::fprintf(stderr, "a loaded manifest could not be saved\n");
        std::abort();
    }
    FileManifest again(root, console);
    again.load("/ram/MANIFEST.out");
    if (!sameManifestFile(manifest, again)) {
        std::fprintf(stderr, "a saved manifest does not load back as it was\n");
        std::abort();
    }
    if (size % 2)
        manifest.apply(false);
    else
        manifest.cancel();
    return 0;
}
