// Package records: what the installer knows of one package, installed or
// found in a package file, and the reference record used by the dependency,
// provision and conflict lists.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "model/path_set.h"
#include "model/version.h"

struct PackageRef {
    std::string name;
    Version minVersion = 0;  // inclusive; 0 = no lower bound
    Version maxVersion = 0;  // inclusive; 0 = no upper bound
    int32_t weight = 0;
};

// Header flag bits.
constexpr uint32_t FLAG_BOOT_IMAGE = 0x1;  // the package carries the boot image
constexpr uint32_t FLAG_NO_META = 0x2;     // the database holds no meta files for it

class Package {
  public:
    explicit Package(std::string n = std::string()) : name(std::move(n)) {}
    virtual ~Package() = default;
    Package(Package&&) = default;
    Package& operator=(Package&&) = default;

    std::string name;
    Version version = 0;
    uint32_t buildTime = 0;
    uint32_t flags = 0;
    std::string text24;
    std::string architecture;
    std::string text2;
    std::string note;
    uint8_t keepsImage = 0;
    std::vector<PackageRef> depends;
    std::vector<PackageRef> provides;
    std::vector<PackageRef> conflicts;
    uint8_t isBundle = 0;
    // Member packages of a bundle read from a package file; empty otherwise.
    std::vector<std::unique_ptr<Package>> members;

    // Copy of the header fields without the members (for result lists).
    Package headerCopy() const;
};

// Scheduled actions, indexed names in scheduledActionName().
constexpr int32_t ACTION_NONE = 0;
constexpr int32_t ACTION_UNINSTALL = 1;
constexpr int32_t ACTION_ENABLE = 2;
constexpr int32_t ACTION_DISABLE = 3;
const char* scheduledActionName(int32_t action);  // "", "uninstall", "enable", "disable"

class InstalledPackage : public Package {
  public:
    using Package::Package;

    // Installed files as target paths beginning with "/flash/" (see the
    // database records for the stored form).
    PathSet files;
    PackageRef bundleRef;  // the bundle this package was installed with; empty name = none
    // For a bundle: the names of the members its image carries.
    std::vector<std::string> memberNames;
    uint8_t disabled = 0;
    uint8_t userState = 0;  // the enabled/disabled state was chosen by the user
    int32_t scheduledAction = ACTION_NONE;
};

class PackageFile : public Package {
  public:
    using Package::Package;
    std::string path;  // directory and file name of the package file
};

constexpr uint32_t PLACEHOLDER_VALUE = 0xFFFFFFFF;

bool isPlaceholder(const Package& p);
// name + "-" + version text, also for version 0 ("name-0.0").
std::string nameWithVersion(const Package& p);
// name, plus "-" and the version text of minVersion when that is not 0.
std::string refText(const PackageRef& ref);
// How messages name an installed package: its bundle when it is a member.
std::string displayName(const InstalledPackage& p);
