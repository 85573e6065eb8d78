#include "fs/enter_root.h"

#include <unistd.h>

#include <cerrno>

#include "fs/rootfs.h"

EnterRootResult enterRoot(const std::string& root) {
    // Relative paths never depend on where the installer was started.
    if (root.empty()) {
        ::chdir("/");
        return EnterRootResult::Chrooted;
    }
    if (::chroot(root.c_str()) == 0) {
        ::chdir("/");
        rootfs::setRoot("/");
        return EnterRootResult::Chrooted;
    }
    if (errno == EPERM && rootfs::setRoot(root)) {
        ::chdir("/");
        return EnterRootResult::InsideLayer;
    }
    return EnterRootResult::Failed;  // errno from chroot
}
