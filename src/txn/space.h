// Whether the staged changes of a manifest fit on the boot and flash file
// systems.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class FileManifest;

// A file that a run writes in place rather than through the manifest, before
// the estimate: a plan, which does not write it, counts it as written.
struct InPlaceWrite {
    std::string path;
    int64_t size = 0;
};

// Bytes left after the change on "/flash/boot" and on "/flash" (negative when
// short). True when both are zero or more.
bool estimateSpace(const FileManifest& manifest, int64_t& bootSpare, int64_t& flashSpare,
                   const std::vector<InPlaceWrite>& unwritten = {});
