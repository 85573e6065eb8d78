#include "fs/flash_guard.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "fs/fd_io.h"
#include "fs/rootfs.h"

namespace rootfs::detail {
namespace {

constexpr int MAX_FLASH_DEPTH = 256;

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the directory `dir` is /flash or lies below it: its ".." chain
// meets /flash before the root.
bool liesInFlash(Root& root, int dir) {
    int flashFd = root.openPath("/flash", O_PATH | O_DIRECTORY, 0);
    if (flashFd < 0) return false;
    struct stat flash, top, here;
    bool known = ::fstat(flashFd, &flash) == 0 && ::fstat(root.fd(), &top) == 0;
    ::close(flashFd);
    if (!known) return false;
    int fd = ::openat(dir, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    bool inside = false;
    for (int depth = 0; fd >= 0 && depth < MAX_FLASH_DEPTH; ++depth) {
        if (::fstat(fd, &here) != 0 || sameFile(here, top)) break;
        if (sameFile(here, flash)) {
            inside = true;
            break;
        }
        int up = ::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = up;
    }
    if (fd >= 0) ::close(fd);
    return inside;
}

// Resolves `parent` with openat2 beneath /flash's own descriptor: one call
// for the usual path without links that leave. -1 with EXDEV when a link is
// absolute or leads out, ENOSYS without openat2.
int openBeneathFlash(Root& root, const std::string& parent) {
    if (root.withoutOpenat2()) {
        errno = ENOSYS;
        return -1;
    }
    int flashFd = root.openPath("/flash", O_PATH | O_DIRECTORY, 0);
    if (flashFd < 0) return -1;
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = uint64_t(O_PATH | O_DIRECTORY | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, flashFd, belowFlashPart(parent).c_str(), &how, sizeof how);
    closeKeepErrno(flashFd);
    return int(fd);
}

}  // namespace

bool belowFlash(const std::string& path) {
    std::string_view rest(path);
    int seen = 0;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
        if (component.empty() || component == ".") continue;
        if (seen == 0 && component != "flash") return false;
        if (++seen == 2) return true;
    }
    return false;
}

std::string belowFlashPart(const std::string& path) {
    std::string rest;
    std::string_view left(path);
    bool first = true;
    while (!left.empty()) {
        size_t slash = left.find('/');
        std::string_view component = left.substr(0, slash);
        left.remove_prefix(slash == std::string_view::npos ? left.size() : slash + 1);
        if (component.empty() || component == ".") continue;
        if (first) {
            first = false;  // "flash" itself
            continue;
        }
        if (!rest.empty()) rest += '/';
        rest += component;
    }
    return rest.empty() ? "." : rest;
}

int openFlashParent(Root& root, const std::string& parent) {
    int fd = openBeneathFlash(root, parent);
    if (fd >= 0) return fd;
    if (errno != EXDEV && errno != ENOSYS && errno != EAGAIN) return -1;
    // A link on the way is absolute or leaves: follow it and see where the
    // directory lies (an absolute link within /flash is fine).
    fd = root.openPath(parent, O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return -1;
    if (liesInFlash(root, fd)) return fd;
    ::close(fd);
    errno = ELOOP;
    return -1;
}

}  // namespace rootfs::detail
