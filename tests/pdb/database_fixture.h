// Common ground of the database tests: a temporary root, captured console
// output, and helpers to make records, images and record directories.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "model/installer.h"
#include "pdb/database.h"
#include "qpk/lib/builder.h"
#include "support/packages.h"
#include "support/temp_root.h"
#include "txn/manifest.h"

class DatabaseTest : public ::testing::Test {
  protected:
    TempRoot root;
    CapturedOutput output;
    Installer& installer = Installer::instance();

    // The whole start-up load, on an emptied package list.
    void load(bool quiet = false) {
        installer.packages.clear();
        PackageDatabase::open(installer, quiet, "ppc");
    }
    // Writes the record through a manifest and applies it.
    void writeAndApply(InstalledPackage& p) {
        FileManifest manifest;
        ASSERT_TRUE(PackageDatabase::writeRecord(Installer::instance(), p, manifest));
        manifest.apply(false);
    }
    void removeAndApply(InstalledPackage& p) {
        FileManifest manifest;
        PackageDatabase::removeRecord(p, manifest);
        manifest.apply(false);
    }
    // Regular files and links below `inside`, without the directories.
    std::string filesBelow(const std::string& inside) const {
        std::istringstream tree(root.tree(inside));
        std::string line, files;
        while (std::getline(tree, line))
            if (line.back() != '/') files += line + "\n";
        return files;
    }
};

// Every field the database keeps, as one comparable text.
inline std::string describe(const InstalledPackage& p) {
    std::string text =
        p.name + " " + std::to_string(p.version) + " " + std::to_string(p.buildTime) + " |";
    for (const auto* list : {&p.depends, &p.provides, &p.conflicts}) {
        for (const PackageRef& r : *list)
            text += " " + r.name + " " + std::to_string(r.minVersion) + " " +
                    std::to_string(r.maxVersion) + " " + std::to_string(r.weight);
        text += " |";
    }
    for (const std::string& f : p.files) text += " " + f;
    return text + " | bundle " + p.bundleRef.name + " isBundle " + std::to_string(p.isBundle) +
           " disabled " + std::to_string(p.disabled) + " user " + std::to_string(p.userState) +
           " action " + std::to_string(p.scheduledAction);
}

inline std::string packageImage(const std::string& name, Version version, uint32_t buildTime = 0) {
    return testpkg::packageWithoutKeys(testpkg::recipe(name, version, buildTime));
}
