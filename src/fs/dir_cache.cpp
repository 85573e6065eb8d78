#include "fs/dir_cache.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/flash_guard.h"
#include "fs/root.h"
#include "fs/rootfs.h"

namespace rootfs {
namespace {

// What a Batch keeps: descriptors of directories whose way from the root
// (or from /flash) holds no symbolic link. Such a way only leads elsewhere
// once a directory on it is removed or renamed, or its permissions change;
// rmdir, rename of a source that may be a directory and chmod therefore
// drop everything kept. Removing or replacing a file or a link cannot touch
// a way that has none, and creating a name cannot either.
struct DirCache {
    static constexpr int SLOTS = 4;
    struct Slot {
        std::string path;      // the directory as the caller named it
        bool guarded = false;  // reached beneath /flash
        int fd = -1;
        unsigned long lastUse = 0;
    };
    Slot slots[SLOTS];
    unsigned long uses = 0;
    int flashFd = -1;          // "/flash", reached without a link
    bool flashLinked = false;  // not so reached: changes below it resolve as outside a Batch
    int depth = 0;
    unsigned long batch = 0;
    unsigned long batches = 0;
};

DirCache& cache() {
    static DirCache c;
    return c;
}

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

namespace detail {

void forgetDirectories() {
    DirCache& c = cache();
    for (DirCache::Slot& slot : c.slots) {
        if (slot.fd >= 0) closeKeepErrno(slot.fd);
        slot.fd = -1;
        slot.path.clear();
    }
    if (c.flashFd >= 0) closeKeepErrno(c.flashFd);
    c.flashFd = -1;
    c.flashLinked = false;
}

bool caching() {
    return cache().depth > 0 && !withoutOpenat2();
}

int keptDirectory(const std::string& parent, bool guarded) {
    DirCache& c = cache();
    DirCache::Slot* spare = &c.slots[0];
    for (DirCache::Slot& slot : c.slots) {
        if (slot.fd >= 0 && slot.guarded == guarded && slot.path == parent) {
            slot.lastUse = ++c.uses;
            return slot.fd;
        }
        if (slot.fd < 0 || (spare->fd >= 0 && slot.lastUse < spare->lastUse)) spare = &slot;
    }
    int fd = -1;
    if (guarded) {
        if (c.flashLinked) return -1;
        if (c.flashFd < 0)
            c.flashFd = openDirectoryWithoutLinks(rootFd(), "/flash", RESOLVE_IN_ROOT);
        if (c.flashFd < 0) {
            c.flashLinked = true;
            return -1;
        }
        fd = openDirectoryWithoutLinks(c.flashFd, belowFlashPart(parent).c_str(), RESOLVE_BENEATH);
    } else {
        fd = openDirectoryWithoutLinks(rootFd(), parent.c_str(), RESOLVE_IN_ROOT);
    }
    if (fd < 0) return -1;
    if (spare->fd >= 0) ::close(spare->fd);
    spare->path = parent;
    spare->guarded = guarded;
    spare->fd = fd;
    spare->lastUse = ++c.uses;
    return fd;
}

}  // namespace detail

Batch::Batch() {
    DirCache& c = cache();
    if (c.depth++ == 0) c.batch = ++c.batches;
}

Batch::~Batch() {
    DirCache& c = cache();
    if (--c.depth > 0) return;
    detail::forgetDirectories();
    c.batch = 0;
}

unsigned long batchId() {
    return cache().batch;
}

}  // namespace rootfs
