// Relations between packages, shared by admission, resolution and the
// schedule.
#pragma once

#include <vector>

#include "model/installer.h"

bool satisfies(const Package& p, const PackageRef& ref);
bool providesMatch(const Package& p, const PackageRef& ref);
bool conflictsWith(const Package& a, const Package& b);
bool dependsOn(const Package& a, const Package& b);      // a needs b
int compareRelated(const Package& a, const Package& b);  // -1, 0, +1
void findProviders(const Installer& installer, const PackageRef& ref, bool includeDisabled,
                   std::vector<InstalledPackage*>& out);
InstalledPackage* findConflicting(const Installer& installer, const Package& candidate);
