// Extraction of the files part: a zlib stream of file records, inflated on
// the fly and staged under /flash through the manifest.
#pragma once

#include "model/package.h"

class Installer;

class FileManifest;
class PackageReader;

// True when the record stream ended; false after a reported failure.
bool extractFiles(Installer& installer, InstalledPackage& package, FileManifest& manifest,
                  PackageReader& reader);

namespace rootfs {
class Root;
}

// This machine's cpu class (1..4), or 0 when it has none.
int machineCpuClass(rootfs::Root& root);
