#include "fs/at_path.h"

#include <unistd.h>

#include <cerrno>

#include "fs/fd_io.h"
#include "fs/flash_guard.h"
#include "fs/rootfs.h"

namespace rootfs::detail {

AtPath::AtPath(Root& root, const std::string& path) {
    if (path.empty()) {
        errno = ENOENT;
        return;
    }
    size_t end = path.find_last_not_of('/');
    const bool guarded = belowFlash(path);
    if (!root.resolvesInRoot() && !guarded) {
        name_ = root.hostPath(end == std::string::npos ? "/" : path.substr(0, end + 1));
        ok_ = true;
        return;
    }
    if (end == std::string::npos) {  // the root itself
        dir_ = root.fd();
        name_.assign(1, '.');  // not `= "."`: GCC 12 -O3 warns falsely (-Wrestrict)
        ok_ = true;
        return;
    }
    size_t slash = path.rfind('/', end);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    name_ = path.substr(start, end + 1 - start);
    if (!guarded && (slash == std::string::npos || slash == 0)) {
        dir_ = root.fd();
        ok_ = true;
        return;
    }
    // A guarded path has at least two components, so a parent to open.
    const std::string parent = path.substr(0, slash);
    if (root.dirs().active() && !root.withoutOpenat2()) {
        int kept = root.dirs().kept(root.fd(), parent, guarded);
        if (kept >= 0) {
            dir_ = kept;  // the Batch owns it
            ok_ = true;
            return;
        }
    }
    int fd = guarded ? openFlashParent(root, parent)
                     : root.openInRoot(parent.c_str(), O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return;
    dir_ = fd;
    owned_ = true;
    ok_ = true;
}

AtPath::~AtPath() {
    if (owned_) closeKeepErrno(dir_);
}

int openForChange(Root& root, const std::string& path, int flags, mode_t mode) {
    bool writes = (flags & (O_CREAT | O_TRUNC)) || (flags & O_ACCMODE) != O_RDONLY;
    if (!writes || !belowFlash(path)) return root.openPath(path, flags, mode);
    AtPath at(root, path);
    if (!at.ok()) return -1;
    return ::openat(at.dir(), at.name(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

}  // namespace rootfs::detail
