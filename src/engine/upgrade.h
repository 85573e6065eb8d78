// The normal pass: install the package files placed on flash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/installer.h"

class FileManifest;

// A package file that stands for one not uploaded yet (the package tool's
// plan): `path` is its copy staged in the run's manifest, `name` the name it
// would have in the upload directory.
struct StagedUpload {
    std::string path;
    std::string name;
};

// A package file the pass found: its place in the install order (-1 when
// resolution dropped it), and whether it was installed.
struct FoundFile {
    std::string path;
    Package header;
    int rank = -1;
    bool installed = false;
};

// What a plan adds to the pass: the uploads staged for it, which join the
// upload directory's files, and the account of every file found.
struct PassExtras {
    std::vector<StagedUpload> staged;
    std::vector<FoundFile> found;
};

// Returns the header of every package file installed. `status` is the
// install set's status of the first file that failed (the pass is then
// cancelled and the result empty), 1 when no package would be left, else 0.
std::vector<Package> upgradeFromFlash(Installer& installer, FileManifest& manifest,
                                      uint32_t allowance, int& status,
                                      PassExtras* extras = nullptr);
