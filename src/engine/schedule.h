// Carrying out scheduled enable, disable and uninstall requests.
#pragma once

#include <vector>

#include "model/installer.h"

class FileManifest;

bool applySchedule(Installer& installer, FileManifest& manifest, int level);
// The schedule at level 0 once an install has added `added` to the list in
// place of `replaced` (null for none), nothing else having changed since
// `settledBefore` was read from the installer: skipped when it would do
// nothing.
void applyScheduleAfterInstall(Installer& installer, FileManifest& manifest,
                               const InstalledPackage& added, const InstalledPackage* replaced,
                               bool settledBefore);
void enablePackages(Installer& installer, FileManifest& manifest,
                    const std::vector<InstalledPackage*>& list, int level);
