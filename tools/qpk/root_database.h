// The installed-package database of a root (a copy of a router's flash, as
// the installer's "-r" takes it), loaded by the installer's own code. The
// queries only read.
#pragma once

#include <string>

#include "model/installer.h"

namespace qpk {

// A context whose messages (damaged records, for one) go to standard error,
// or to `out`, so that standard output holds only the answer.
class RootContext : public Installer {
  public:
    explicit RootContext(std::FILE* out = stderr) : Installer(out, stderr) {}
};

// Opens `dir` as the root and loads its database as the installer does for
// the architecture of the "arch" environment variable (else "i386"). False
// with `error` when the root cannot be opened.
bool loadRootDatabase(Installer& installer, const std::string& dir, bool withFileLists,
                      std::string& error);

// Whether the record keeps its package file as its image (in its directory
// or in the second image directory).
bool imageKept(Installer& installer, const InstalledPackage& p);

// The state of a record as the package list tells it: "enabled" or
// "disabled".
const char* stateName(const InstalledPackage& p);

}  // namespace qpk
