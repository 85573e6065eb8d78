// Choosing among candidates and meeting the needs of what is to be enabled.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "model/installer.h"

class PackageIndex;

constexpr uint32_t NO_DOWNGRADE = 0xFFFFFFFF;

// How the providers of a need stand (classifyProviders).
constexpr int PROVIDERS_MET = 0;       // one is or will be enabled
constexpr int PROVIDERS_MISSING = 1;   // none, or only ones about to go
constexpr int PROVIDERS_DISABLED = 3;  // only disabled ones

void resolveCandidates(Installer& installer, std::list<Package*>& list, uint32_t limit,
                       bool verbose);
int classifyProviders(const std::vector<InstalledPackage*>& providers);
// Schedules what `package` needs to be enabled, or cancels its pending
// uninstall or disable; `index` is one of the current list.
void ensureDependencies(Installer& installer, const PackageIndex& index, InstalledPackage& package,
                        int level);
