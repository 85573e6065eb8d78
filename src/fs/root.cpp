// Resolution in the root: openat2 with RESOLVE_IN_ROOT inside a root of our
// own, or plain path calls (the process's own root, or a kernel without
// openat2).
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fs/faults.h"
#include "fs/fd_io.h"
#include "fs/rootfs.h"

namespace rootfs {

Root::~Root() {
    if (fd_ >= 0) ::close(fd_);
}

bool Root::withoutOpenat2() const {
    return noOpenat2_ || faults::openat2Disabled();
}

// When the root is "/" (the process's own root, also after a chroot) plain
// path calls resolve exactly as RESOLVE_IN_ROOT would, with one system call
// per operation, so the layer uses them.
bool Root::resolvesInRoot() const {
    return !isProcessRoot_ && !withoutOpenat2();
}

std::string Root::hostPath(const std::string& path) const {
    std::string out = isProcessRoot_ ? std::string() : path_;
    if (path.empty() || path[0] != '/') out += '/';
    out += path;
    return out;
}

int Root::openInRoot(const char* path, int flags, mode_t mode) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = uint64_t(unsigned(flags | O_CLOEXEC));
    // openat2 rejects a mode without a flag that creates.
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) how.mode = mode;
    how.resolve = RESOLVE_IN_ROOT;
    for (int attempt = 0;; ++attempt) {
        long fd = ::syscall(SYS_openat2, this->fd(), path, &how, sizeof how);
        if (fd >= 0) return int(fd);
        // EAGAIN: a rename elsewhere raced the lookup of ".."; repeating is safe.
        if (errno != EAGAIN || attempt >= 8) return -1;
    }
}

int Root::openPath(const std::string& path, int flags, mode_t mode) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (resolvesInRoot()) return openInRoot(path.c_str(), flags, mode);
    return ::open(hostPath(path).c_str(), flags | O_CLOEXEC, mode);
}

bool Root::setDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    dirs_.forget();
    ++changes_;
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    // An absolute host path, so the plain-path fallback survives a chdir.
    char* real = ::realpath(dir.c_str(), nullptr);
    path_ = real ? real : dir;
    std::free(real);
    isProcessRoot_ = path_ == "/";
    noOpenat2_ = false;
    if (!isProcessRoot_) {
        int probe = openInRoot(".", O_PATH | O_DIRECTORY, 0);
        if (probe >= 0)
            ::close(probe);
        else if (errno == ENOSYS)
            noOpenat2_ = true;
    }
    return true;
}

int Root::fd() {
    if (fd_ < 0) fd_ = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd_;
}

}  // namespace rootfs
