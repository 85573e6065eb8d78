// The normal pass: install the package files placed on flash.
#pragma once

#include <cstdint>
#include <vector>

#include "model/installer.h"

class FileManifest;

// Returns the header of every package file installed. `status` is the
// install set's status of the first file that failed (the pass is then
// cancelled and the result empty), 1 when no package would be left, else 0.
std::vector<Package> upgradeFromFlash(Installer& installer, FileManifest& manifest,
                                      uint32_t allowance, int& status);
