// Install progress bar and the install failure messages.
#pragma once

#include <cstdint>
#include <string>

#include "model/installer.h"

// Progress bar of a package whose file has been read up to `position` of
// `total` bytes.
void showInstallProgress(Installer& installer, const InstalledPackage& package, uint64_t position,
                         uint64_t total);
// The bar line itself for a position and total (79 characters).
std::string installProgressLine(const InstalledPackage& package, uint64_t position, uint64_t total);
// A file of the package cannot be created; the message is chosen by errno.
void reportCreateFailure(Installer& installer, const InstalledPackage& package,
                         const std::string& path);
void reportBrokenPackage(Installer& installer, const InstalledPackage& package);
