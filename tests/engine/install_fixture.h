// A temporary root, a clean installer context and a manifest for the tests of
// installing package files, with small builders for their packages.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "engine/install.h"
#include "engine_records.h"
#include "pkgfile/package_reader.h"
#include "qpk/lib/builder.h"
#include "support/packages.h"
#include "support/temp_root.h"
#include "txn/manifest.h"

namespace installtest {

// A package with one file "bin/<name>" holding "<name> <version>".
inline qpk::PackageRecipe recipe(const std::string& name, const char* version = "1.0",
                                 uint32_t built = 1) {
    return testpkg::recipe(name, enginetest::ver(version), built,
                           {{"bin/" + name, 0100755, name + " " + version, 0}});
}

using testpkg::signedPackage;

inline qpk::BundleRecipe bundleRecipe(const std::string& name, const char* version = "1.0",
                                      uint32_t built = 1) {
    qpk::BundleRecipe b;
    b.name = name;
    b.version = enginetest::ver(version);
    b.buildTime = built;
    b.keepImagePayload = "image";  // as every installable bundle
    return b;
}

// A known package record, version 1.0, as the database would give it.
std::unique_ptr<InstalledPackage> record(const std::string& name, const std::string& provides = "",
                                         const std::string& conflicts = "");

// The same file with one more part after its first part (the bundle header),
// the file length adjusted.
std::string withPartAfterHeader(const std::string& file, uint16_t type, const std::string& payload);
// A reference list payload (part 3, 17, 19 or 20).
std::string refListPayload(const std::vector<PackageRef>& refs);

// Sets an environment variable for the life of the guard.
class EnvGuard {
  public:
    EnvGuard(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
    ~EnvGuard() { ::unsetenv(name_); }

  private:
    const char* name_;
};

class InstallTest : public ::testing::Test {
  protected:
    InstallTest();

    int install(const std::string& file, uint32_t allowance = 0, const UserStates& states = {},
                std::string* imageDir = nullptr, uint8_t* bootFlag = nullptr);
    // Installs and applies at once: the state a later run starts from.
    void preinstall(const std::string& file);
    void apply();
    // Back to an empty context and manifest, between the cases of a table.
    void fresh();
    // Names of the known packages in list order, "" for nameless markers.
    std::vector<std::string> names() const;
    const InstalledPackage* known(const std::string& name) const;
    // Whether anything at all is staged below the path.
    bool staged(const std::string& prefix) const;

    TempRoot root;
    CapturedOutput output;
    Installer& installer = Installer::instance();
    FileManifest manifest;
};

}  // namespace installtest
