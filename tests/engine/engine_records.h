// Compact package records for the engine tests: versions as text, reference
// lists as one string of "name[:min[:max[:weight]]]" words.
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

struct Rec {
    const char* name = "";
    const char* version = "1.0";
    uint32_t built = 1;
    const char* depends = "";
    const char* provides = "";
    const char* conflicts = "";
    const char* arch = "";
};

void fill(Package& p, const Rec& r);
std::unique_ptr<Package> pkg(const Rec& r);
std::unique_ptr<InstalledPackage> installed(const Rec& r);
std::unique_ptr<Package> placeholder(const char* name);
// A bundle read from a package file, with its members.
std::unique_ptr<Package> bundle(const Rec& r, std::vector<Rec> members);

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
