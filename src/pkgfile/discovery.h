// Finding package files in a flash directory and reading their headers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/package.h"

class Installer;

// The names that discovery takes: ending in ".qpk" or ".wpk".
bool hasPackageSuffix(const std::string& name);

// `directory` ends in "/". Appends one record per usable ".qpk"/".wpk" file,
// in directory order; reports "broken package %s" for damaged ones.
void discoverPackages(Installer& installer, const std::string& directory,
                      std::vector<std::unique_ptr<PackageFile>>& list);
// The same for one package file at `path`, which messages call `name`.
void discoverPackageFile(Installer& installer, const std::string& path, const std::string& name,
                         std::vector<std::unique_ptr<PackageFile>>& list);
