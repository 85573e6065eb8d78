// Install progress bar and the install failure messages.
#pragma once

#include <string>

#include "model/installer.h"

class PackageReader;

// Progress bar of a package whose file is being read through `reader`.
void showInstallProgress(const InstalledPackage& package, const PackageReader& reader);
// The bar line itself for a position and total (79 characters).
std::string installProgressLine(const InstalledPackage& package, uint64_t position, uint64_t total);
// A file of the package cannot be created; the message is chosen by errno.
void reportCreateFailure(const InstalledPackage& package, const std::string& path);
void reportBrokenPackage(const InstalledPackage& package);
