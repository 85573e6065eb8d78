#include "pkgfile/discovery.h"

#include <sys/stat.h>

#include "fs/fd_stream.h"
#include "fs/rootfs.h"
#include "model/installer.h"
#include "pkgfile/package_reader.h"

bool hasPackageSuffix(const std::string& name) {
    if (name.size() < 4) return false;
    std::string suffix = name.substr(name.size() - 4);
    return suffix == ".qpk" || suffix == ".wpk";
}

namespace {

// Reads the header of a package file, and those of a bundle's members, into
// `file`. False when the file is broken.
bool readPackageFile(rootfs::Root& root, const std::string& path, PackageFile& file) {
    InFile in(root, path);
    // Nothing here reads a digest: without one the reader seeks over the
    // files and signature parts instead of reading them.
    PackageReader reader(in, false, nullptr);
    reader.wanted = {PART_BUNDLE_HEADER, PART_PACKAGE_HEADER, PART_TEXT24,  PART_ARCHITECTURE,
                     PART_TEXT2,         PART_NOTE,           PART_DEPENDS, PART_PROVIDES,
                     PART_CONFLICTS,     PART_PAYLOAD};

    // An upload still in progress is shorter than its header says.
    struct stat st;
    if (root.stat(path, &st) == 0 && uint32_t(st.st_size) != reader.fileLength()) return false;

    file.isBundle = reader.nextPart() == PART_BUNDLE_HEADER;
    if (!readPackageHeader(file, reader)) return false;
    if (!file.isBundle) return true;

    if (reader.currentType() == PART_PAYLOAD) reader.nextPart();
    while (reader.currentType() == PART_PACKAGE_HEADER) {
        auto member = std::make_unique<Package>();
        if (!readPackageHeader(*member, reader)) return false;
        file.members.push_back(std::move(member));
        if (reader.currentType() == PART_PAYLOAD) reader.nextPart();
    }
    return !file.members.empty();
}

}  // namespace

void discoverPackages(Installer& installer, const std::string& directory,
                      std::vector<std::unique_ptr<PackageFile>>& list) {
    std::vector<std::string> names;
    if (!installer.root.listDirectory(directory, names)) return;
    for (const std::string& name : names) {
        if (name.empty() || name[0] == '.') continue;
        std::string path = directory + name;
        if (hasPackageSuffix(path)) discoverPackageFile(installer, path, name, list);
    }
}

void discoverPackageFile(Installer& installer, const std::string& path, const std::string& name,
                         std::vector<std::unique_ptr<PackageFile>>& list) {
    auto file = std::make_unique<PackageFile>();
    file->path = path;
    if (readPackageFile(installer.root, path, *file))
        list.push_back(std::move(file));
    else
        installer.error("broken package %s", name.c_str());
}
