// Path helpers of the manifest: the parent directory of a path and making a
// directory together with its missing ancestors.
#include <libgen.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fs/rootfs.h"
#include "txn/manifest.h"

std::string parentDirectory(const std::string& path) {
    // The usual "/dir/name": everything before the last slash, when that
    // slash ends the path's only run of slashes there and is not the first.
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && slash + 1 < path.size() &&
        path[slash - 1] != '/')
        return path.substr(0, slash);
    size_t end = path.find_last_not_of('/');
    std::vector<char> buf(path.begin(),
                          end == std::string::npos ? path.begin() : path.begin() + end + 1);
    buf.push_back('\0');
    return ::dirname(buf.data());
}

void makeDirectories(rootfs::Root& root, const std::string& path) {
    if (root.mkdir(path, 0777) == 0 || errno == EEXIST) return;
    std::string parent = parentDirectory(path);
    if (parent != path) makeDirectories(root, parent);
    root.mkdir(path, 0777);
}
