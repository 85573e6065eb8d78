#include "root_database.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "pdb/database.h"

namespace qpk {

bool loadRootDatabase(Installer& installer, const std::string& dir, bool withFileLists,
                      std::string& error) {
    if (!installer.root.setDirectory(dir)) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    const char* arch = std::getenv("arch");
    PackageDatabase::open(installer, true, arch ? arch : "i386", withFileLists);
    return true;
}

bool imageKept(Installer& installer, const InstalledPackage& p) {
    return installer.root.exists(PackageDatabase::recordDir(p) + "image") ||
           installer.root.exists(SECOND_IMAGE_DIR + p.name);
}

const char* stateName(const InstalledPackage& p) {
    return p.disabled ? "disabled" : "enabled";
}

}  // namespace qpk
