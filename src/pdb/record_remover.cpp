#include <sys/stat.h>

#include "fs/rootfs.h"
#include "pdb/database.h"
#include "txn/manifest.h"

namespace {

// Extraction only ever installs regular files, so an entry that names a
// directory comes from a damaged list; removing it would empty the directory.
bool namesDirectory(rootfs::Root& root, const std::string& path) {
    struct stat st;
    return root.lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void PackageDatabase::removeRecord(InstalledPackage& package, FileManifest& manifest) {
    for (std::string_view entry : package.files) {
        std::string path = installedFilePath(std::string(entry));
        if (path.empty() || namesDirectory(manifest.root(), path)) continue;
        // A file that changes owner in this pass keeps its new content.
        manifest.stageRemoveObsolete(path);
    }
    package.files.clear();

    // A name that is not one plain path component would make the record
    // directory some other directory of the system.
    if (isSafeRecordName(package.name)) {
        const std::string dir = recordDir(package);
        manifest.stageRemove(dir);
        manifest.stageRemove(dir + "image");
    }

    // The boot image goes with its package unless something else links to it.
    struct stat st;
    if ((package.flags & FLAG_BOOT_IMAGE) && manifest.root().stat(BOOT_IMAGE, &st) == 0 &&
        st.st_nlink == 1)
        manifest.stageRemove(BOOT_IMAGE);
    package.scheduledAction = ACTION_NONE;
}
