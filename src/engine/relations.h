// Relations between packages, shared by admission, resolution and the
// schedule.
#pragma once

#include <string>
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

// The names through which the relations above can hold, for looking up
// related packages by name instead of testing every pair:
//   conflictsWith(a, b) needs conflictReach(a) and answersTo(b) to share a name;
//   dependsOn(a, b) needs needNames(a) and answersTo(b) to share a name.
// Members count with their own names, recursively. Duplicates may occur.
void answersTo(const Package& p, std::vector<std::string>& out);      // name, provisions
void conflictReach(const Package& p, std::vector<std::string>& out);  // also conflicts
void needNames(const Package& p, std::vector<std::string>& out);      // dependencies
