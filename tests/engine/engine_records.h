// Compact package records for the engine tests: versions as text, reference
// lists as "name[:min[:max[:weight]]]" words, and whole records as one line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/installer.h"

namespace enginetest {

// "3.22", "3.22rc1", "6.40.1"; "" is 0.
Version ver(const std::string& text);
// "a b:1.0 c::2.0 d:1.0:2.0:-3" -> four references; empty bounds are 0.
std::vector<PackageRef> refs(const std::string& text);

// One record as a line of words: the name first, then in any order
//   a version ("2.0"), "@<build time>", "dep=", "prov=", "conf=" with
//   comma-separated references, "arch=<name>", "placeholder";
//   for installed records also "off" (disabled), "user" (user state),
//   "do=uninstall|enable|disable" and "in=<bundle name>".
// Unnamed fields are those of a fresh record, with version 1.0 and build 1.
void parse(Package& p, const std::string& line);
std::unique_ptr<Package> pkg(const char* line);
std::unique_ptr<InstalledPackage> installed(const char* line);
// A bundle read from a package file, with its members.
std::unique_ptr<Package> bundle(const char* line, const std::vector<const char*>& members);
// Appends one installed record per line to the context.
void addInstalled(Installer& installer, const std::vector<const char*>& lines);

// Restores the flagged state and VELMORA_MIN_VERSION when the test ends.
class PlatformGuard {
  public:
    PlatformGuard();
    ~PlatformGuard();
    void flagged(bool on);
    void minVersion(const char* text);  // nullptr unsets

  private:
    uint8_t savedFlagged_;
};

}  // namespace enginetest
