#include "fs/root.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fs/dir_cache.h"
#include "fs/faults.h"
#include "fs/rootfs.h"

namespace rootfs {
namespace {

// When the root is "/" (the process's own root, also after a chroot) plain
// path calls resolve exactly as RESOLVE_IN_ROOT would, with one system call
// per operation, so the layer uses them.
struct Root {
    int fd = -1;
    std::string path = "/";  // host path, absolute, no trailing "/"
    bool isProcessRoot = true;
    bool noOpenat2 = false;  // kernel without openat2: plain paths below the root
};

Root& root() {
    static Root r;
    return r;
}

unsigned long changes = 0;

}  // namespace

namespace detail {

bool withoutOpenat2() {
    return root().noOpenat2 || faults::openat2Disabled();
}

bool resolvesInRoot() {
    return !root().isProcessRoot && !withoutOpenat2();
}

void closeKeepErrno(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

void noteChange() {
    ++changes;
}

std::string hostPath(const std::string& path) {
    const Root& r = root();
    std::string out = r.isProcessRoot ? std::string() : r.path;
    if (path.empty() || path[0] != '/') out += '/';
    out += path;
    return out;
}

int openInRoot(const char* path, int flags, mode_t mode) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = uint64_t(unsigned(flags | O_CLOEXEC));
    // openat2 rejects a mode without a flag that creates.
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) how.mode = mode;
    how.resolve = RESOLVE_IN_ROOT;
    for (int attempt = 0;; ++attempt) {
        long fd = ::syscall(SYS_openat2, rootFd(), path, &how, sizeof how);
        if (fd >= 0) return int(fd);
        // EAGAIN: a rename elsewhere raced the lookup of ".."; repeating is safe.
        if (errno != EAGAIN || attempt >= 8) return -1;
    }
}

int openPath(const std::string& path, int flags, mode_t mode) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (resolvesInRoot()) return openInRoot(path.c_str(), flags, mode);
    return ::open(hostPath(path).c_str(), flags | O_CLOEXEC, mode);
}

}  // namespace detail

bool setRoot(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    detail::forgetDirectories();
    ++changes;
    Root& r = root();
    if (r.fd >= 0) ::close(r.fd);
    r.fd = fd;
    // An absolute host path, so the plain-path fallback survives a chdir.
    char* real = ::realpath(dir.c_str(), nullptr);
    r.path = real ? real : dir;
    std::free(real);
    r.isProcessRoot = r.path == "/";
    r.noOpenat2 = false;
    if (!r.isProcessRoot) {
        int probe = detail::openInRoot(".", O_PATH | O_DIRECTORY, 0);
        if (probe >= 0)
            ::close(probe);
        else if (errno == ENOSYS)
            r.noOpenat2 = true;
    }
    return true;
}

int rootFd() {
    Root& r = root();
    if (r.fd < 0) r.fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return r.fd;
}

unsigned long changeCount() {
    return changes;
}

}  // namespace rootfs
