// The normal pass: install the package files placed on flash.
#pragma once

#include <cstdint>
#include <vector>

#include "model/installer.h"

class FileManifest;

std::vector<Package> upgradeFromFlash(Installer& installer, FileManifest& manifest,
                                      uint32_t allowance);
