#include "fs/enter_root.h"

#include <unistd.h>

#include <cerrno>

#include "fs/rootfs.h"

EnterRootResult enterRoot(rootfs::Root& root, const std::string& dir) {
    // Relative paths never depend on where the installer was started.
    if (dir.empty()) {
        ::chdir("/");
        return EnterRootResult::Chrooted;
    }
    if (::chroot(dir.c_str()) == 0) {
        ::chdir("/");
        root.setDirectory("/");
        return EnterRootResult::Chrooted;
    }
    if (errno == EPERM && root.setDirectory(dir)) {
        ::chdir("/");
        return EnterRootResult::InsideLayer;
    }
    return EnterRootResult::Failed;  // errno from chroot
}
