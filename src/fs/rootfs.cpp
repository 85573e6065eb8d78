// The operations of the file layer (see rootfs.h): each resolves its path
// in the root (root.cpp), below /flash through the checked parent
// (flash_guard.h), inside a Batch through a kept directory (dir_cache.h).
#include "fs/rootfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "fs/at_path.h"
#include "fs/faults.h"
#include "fs/fd_io.h"
#include "fs/flash_guard.h"

#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452  // same number on every architecture
#endif

namespace rootfs {

using namespace detail;

namespace {

// An O_PATH descriptor cannot be given to fchmod: fchmodat2 takes it with
// AT_EMPTY_PATH; older kernels take its name under /proc.
int chmodDescriptor(int fd, mode_t mode) {
    if (::syscall(SYS_fchmodat2, fd, "", mode, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return -1;
    char name[48];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    return ::chmod(name, mode);
}

}  // namespace

int Root::statWith(const std::string& path, struct stat* st, int openFlags) {
    if (!resolvesInRoot()) {
        if (path.empty()) {
            errno = ENOENT;
            return -1;
        }
        int atFlags = (openFlags & O_NOFOLLOW) ? AT_SYMLINK_NOFOLLOW : 0;
        return ::fstatat(AT_FDCWD, hostPath(path).c_str(), st, atFlags);
    }
    int fd = openPath(path, O_PATH | openFlags, 0);
    if (fd < 0) return -1;
    int rc = ::fstat(fd, st);
    closeKeepErrno(fd);
    return rc;
}

int Root::open(const std::string& path, int flags, mode_t mode) {
    if ((flags & O_CREAT) && faults::hit(faults::CREATE)) return -1;
    if ((flags & (O_CREAT | O_TRUNC)) || (flags & O_ACCMODE) != O_RDONLY) noteChange();
    return openForChange(*this, path, flags, mode);
}

int Root::stat(const std::string& path, struct stat* st) {
    return statWith(path, st, 0);
}

int Root::lstat(const std::string& path, struct stat* st) {
    return statWith(path, st, O_NOFOLLOW);
}

int Root::statfs(const std::string& path, struct statfs* st) {
    if (!resolvesInRoot()) {
        if (path.empty()) {
            errno = ENOENT;
            return -1;
        }
        return ::statfs(hostPath(path).c_str(), st);
    }
    int fd = openPath(path, O_PATH, 0);
    if (fd < 0) return -1;
    int rc = ::fstatfs(fd, st);
    closeKeepErrno(fd);
    return rc;
}

bool Root::exists(const std::string& path) {
    struct stat st;
    return stat(path, &st) == 0;
}

int Root::renameAt(const std::string& from, const std::string& to, bool mayMoveDirectory) {
    if (faults::hit(faults::RENAME)) return -1;
    noteChange();
    int rc = -1;
    {
        AtPath a(*this, from);
        if (!a.ok()) return -1;
        AtPath b(*this, to);
        if (!b.ok()) return -1;
        rc = ::renameat(a.dir(), a.name(), b.dir(), b.name());
    }
    // A directory moved (or one replaced by it) changes the ways through it.
    if (rc == 0 && mayMoveDirectory) dirs_.forget();
    return rc;
}

int Root::rename(const std::string& from, const std::string& to) {
    return renameAt(from, to, true);
}

int Root::renameFile(const std::string& from, const std::string& to) {
    return renameAt(from, to, false);
}

int Root::unlink(const std::string& path) {
    if (faults::hit(faults::UNLINK)) return -1;
    noteChange();
    AtPath at(*this, path);
    if (!at.ok()) return -1;
    return ::unlinkat(at.dir(), at.name(), 0);
}

int Root::rmdir(const std::string& path) {
    noteChange();
    int rc = -1;
    {
        AtPath at(*this, path);
        if (!at.ok()) return -1;
        rc = ::unlinkat(at.dir(), at.name(), AT_REMOVEDIR);
    }
    if (rc == 0) dirs_.forget();
    return rc;
}

int Root::mkdir(const std::string& path, mode_t mode) {
    if (faults::hit(faults::MKDIR)) return -1;
    noteChange();
    AtPath at(*this, path);
    if (!at.ok()) return -1;
    return ::mkdirat(at.dir(), at.name(), mode);
}

int Root::symlink(const std::string& text, const std::string& path) {
    if (faults::hit(faults::SYMLINK)) return -1;
    noteChange();
    AtPath at(*this, path);
    if (!at.ok()) return -1;
    return ::symlinkat(text.c_str(), at.dir(), at.name());
}

int Root::chmod(const std::string& path, mode_t mode) {
    // Permissions of a directory decide who may pass it.
    noteChange();
    dirs_.forget();
    if (belowFlash(path)) {
        // Only the file itself: a link at the last component is refused.
        AtPath at(*this, path);
        struct stat st;
        if (!at.ok() || ::fstatat(at.dir(), at.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        if (S_ISLNK(st.st_mode)) {
            errno = ELOOP;
            return -1;
        }
        return ::fchmodat(at.dir(), at.name(), mode, 0);
    }
    if (!resolvesInRoot()) {
        if (path.empty()) {
            errno = ENOENT;
            return -1;
        }
        return ::fchmodat(AT_FDCWD, hostPath(path).c_str(), mode, 0);
    }
    int fd = openPath(path, O_PATH, 0);
    if (fd < 0) return -1;
    int rc = chmodDescriptor(fd, mode);
    closeKeepErrno(fd);
    return rc;
}

int Root::truncateCreate(const std::string& path, mode_t mode) {
    // A marker is made where it is named, never through a link planted there.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, mode);
    if (fd < 0) return -1;
    return ::close(fd);
}

bool Root::listDirectory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    int fd = openPath(path, O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        closeKeepErrno(fd);
        return false;
    }
    errno = 0;
    while (struct dirent* e = ::readdir(dir)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        names.emplace_back(n);
    }
    int readError = errno;
    ::closedir(dir);
    errno = readError;
    return readError == 0;
}

}  // namespace rootfs
