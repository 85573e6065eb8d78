// Carrying out scheduled enable, disable and uninstall requests.
#pragma once

#include <vector>

#include "model/installer.h"

class FileManifest;

bool applySchedule(Installer& installer, FileManifest& manifest, int level);
void enablePackages(Installer& installer, FileManifest& manifest,
                    const std::vector<InstalledPackage*>& list, int level);
