// What a Batch keeps: descriptors of directories whose way from the root
// (or from /flash) holds no symbolic link. Such a way only leads elsewhere
// once a directory on it is removed or renamed, or its permissions change;
// rmdir, rename of a source that may be a directory and chmod therefore
// drop everything kept. Removing or replacing a file or a link cannot touch
// a way that has none, and creating a name cannot either.
#include "fs/dir_cache.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/fd_io.h"
#include "fs/flash_guard.h"

namespace rootfs::detail {
namespace {

// A directory reached with openat2 when no symbolic link lies on the way;
// -1 on any failure, after which the caller resolves the usual way.
int openDirectoryWithoutLinks(int from, const char* path, uint64_t resolve) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = uint64_t(O_PATH | O_DIRECTORY | O_CLOEXEC);
    how.resolve = resolve | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
        long fd = ::syscall(SYS_openat2, from, path, &how, sizeof how);
        if (fd >= 0) return int(fd);
        if (errno != EAGAIN || attempt >= 8) return -1;
    }
}

}  // namespace

void DirCache::begin() {
    if (depth_++ == 0) batch_ = ++batches_;
}

void DirCache::end() {
    if (--depth_ > 0) return;
    forget();
    batch_ = 0;
}

void DirCache::forget() {
    for (Slot& slot : slots_) {
        if (slot.fd >= 0) closeKeepErrno(slot.fd);
        slot.fd = -1;
        slot.path.clear();
    }
    if (flashFd_ >= 0) closeKeepErrno(flashFd_);
    flashFd_ = -1;
    flashLinked_ = false;
}

int DirCache::kept(int rootFd, const std::string& parent, bool guarded) {
    Slot* spare = &slots_[0];
    for (Slot& slot : slots_) {
        if (slot.fd >= 0 && slot.guarded == guarded && slot.path == parent) {
            slot.lastUse = ++uses_;
            return slot.fd;
        }
        if (slot.fd < 0 || (spare->fd >= 0 && slot.lastUse < spare->lastUse)) spare = &slot;
    }
    int fd = -1;
    if (guarded) {
        if (flashLinked_) return -1;
        if (flashFd_ < 0) flashFd_ = openDirectoryWithoutLinks(rootFd, "/flash", RESOLVE_IN_ROOT);
        if (flashFd_ < 0) {
            flashLinked_ = true;
            return -1;
        }
        fd = openDirectoryWithoutLinks(flashFd_, belowFlashPart(parent).c_str(), RESOLVE_BENEATH);
    } else {
        fd = openDirectoryWithoutLinks(rootFd, parent.c_str(), RESOLVE_IN_ROOT);
    }
    if (fd < 0) return -1;
    if (spare->fd >= 0) ::close(spare->fd);
    spare->path = parent;
    spare->guarded = guarded;
    spare->fd = fd;
    spare->lastUse = ++uses_;
    return fd;
}

}  // namespace rootfs::detail
