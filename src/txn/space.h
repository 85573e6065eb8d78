// Whether the staged changes of a manifest fit on the boot and flash file
// systems.
#pragma once

#include <cstdint>

class FileManifest;

// Bytes left after the change on "/flash/boot" and on "/flash" (negative when
// short). True when both are zero or more.
bool estimateSpace(const FileManifest& manifest, int64_t& bootSpare, int64_t& flashSpare);
