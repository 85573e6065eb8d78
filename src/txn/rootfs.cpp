#include "txn/rootfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "txn/faults.h"

#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452  // same number on every architecture
#endif

namespace rootfs {
namespace {

// The root directory. When it is "/" (the process's own root, also after a
// chroot) plain path calls resolve exactly as RESOLVE_IN_ROOT would, with one
// system call per operation, so the layer uses them.
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

bool resolvesInRoot() {
    const Root& r = root();
    return !r.isProcessRoot && !r.noOpenat2 && !faults::openat2Disabled();
}

void closeKeepErrno(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

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

unsigned long changes = 0;

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
    return cache().depth > 0 && !root().noOpenat2 && !faults::openat2Disabled();
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

// The host path of `path` for the plain-path mode; relative paths are taken
// from the root too.
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

// Changes below /flash. On the router the root is "/", so a symbolic link
// planted in the flash ("/flash/bin" -> "/etc") would let a rename or an
// unlink of a path below /flash reach the rest of the system. Such a change
// therefore goes through a descriptor of the target's parent directory, and
// that directory must be /flash or lie below it once every link on the way
// has been followed (links that stay inside /flash keep working). The last
// component is never followed: the *at calls act on a link itself, and a
// writing open refuses one.
constexpr int MAX_FLASH_DEPTH = 256;

// Lexically below /flash: the first component (empty and "." ones skipped)
// is "flash" and another one follows.
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

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the directory `dir` is /flash or lies below it: its ".." chain
// meets /flash before the root.
bool liesInFlash(int dir) {
    int flashFd = openPath("/flash", O_PATH | O_DIRECTORY, 0);
    if (flashFd < 0) return false;
    struct stat flash, top, here;
    bool known = ::fstat(flashFd, &flash) == 0 && ::fstat(rootFd(), &top) == 0;
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

// The components of a path below /flash after "flash" ("." when none).
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

// Resolves `parent` with openat2 beneath /flash's own descriptor: one call
// for the usual path without links that leave. -1 with EXDEV when a link is
// absolute or leads out, ENOSYS without openat2.
int openBeneathFlash(const std::string& parent) {
    if (root().noOpenat2 || faults::openat2Disabled()) {
        errno = ENOSYS;
        return -1;
    }
    int flashFd = openPath("/flash", O_PATH | O_DIRECTORY, 0);
    if (flashFd < 0) return -1;
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = uint64_t(O_PATH | O_DIRECTORY | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, flashFd, belowFlashPart(parent).c_str(), &how, sizeof how);
    closeKeepErrno(flashFd);
    return int(fd);
}

// The parent directory of a path below /flash; -1 with ELOOP when it lies
// outside /flash.
int openFlashParent(const std::string& parent) {
    int fd = openBeneathFlash(parent);
    if (fd >= 0) return fd;
    if (errno != EXDEV && errno != ENOSYS && errno != EAGAIN) return -1;
    // A link on the way is absolute or leaves: follow it and see where the
    // directory lies (an absolute link within /flash is fine).
    fd = openPath(parent, O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return -1;
    if (liesInFlash(fd)) return fd;
    ::close(fd);
    errno = ELOOP;
    return -1;
}

// The kept descriptor of the parent directory `parent` (guarded: a parent of
// a path below /flash, reached beneath /flash), or a new one that is kept;
// -1 (errno set) when the way holds a link or cannot be followed, and the
// caller resolves as it would outside a Batch.
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

// A path as a directory descriptor plus a last name, for the *at calls.
// Trailing slashes are dropped, so "/flash/var/pdb/x/" names "x".
class AtRef {
  public:
    explicit AtRef(const std::string& path);
    ~AtRef() {
        if (owned_) closeKeepErrno(dir_);
    }
    AtRef(const AtRef&) = delete;
    AtRef& operator=(const AtRef&) = delete;

    bool ok() const { return ok_; }
    int dir() const { return dir_; }
    const char* name() const { return name_.c_str(); }

  private:
    int dir_ = AT_FDCWD;
    bool owned_ = false;
    bool ok_ = false;
    std::string name_;
};

AtRef::AtRef(const std::string& path) {
    if (path.empty()) {
        errno = ENOENT;
        return;
    }
    size_t end = path.find_last_not_of('/');
    const bool guarded = belowFlash(path);
    if (!resolvesInRoot() && !guarded) {
        name_ = hostPath(end == std::string::npos ? "/" : path.substr(0, end + 1));
        ok_ = true;
        return;
    }
    if (end == std::string::npos) {  // the root itself
        dir_ = rootFd();
        name_.assign(1, '.');  // not `= "."`: GCC 12 -O3 warns falsely (-Wrestrict)
        ok_ = true;
        return;
    }
    size_t slash = path.rfind('/', end);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    name_ = path.substr(start, end + 1 - start);
    if (!guarded && (slash == std::string::npos || slash == 0)) {
        dir_ = rootFd();
        ok_ = true;
        return;
    }
    // A guarded path has at least two components, so a parent to open.
    const std::string parent = path.substr(0, slash);
    if (caching()) {
        int kept = keptDirectory(parent, guarded);
        if (kept >= 0) {
            dir_ = kept;  // the Batch owns it
            ok_ = true;
            return;
        }
    }
    int fd =
        guarded ? openFlashParent(parent) : openInRoot(parent.c_str(), O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return;
    dir_ = fd;
    owned_ = true;
    ok_ = true;
}

int statWith(const std::string& path, struct stat* st, int openFlags) {
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

// An open that may change the file: below /flash it goes through the checked
// parent and never follows a link at the last component.
int openForChange(const std::string& path, int flags, mode_t mode) {
    bool writes = (flags & (O_CREAT | O_TRUNC)) || (flags & O_ACCMODE) != O_RDONLY;
    if (!writes || !belowFlash(path)) return openPath(path, flags, mode);
    AtRef at(path);
    if (!at.ok()) return -1;
    return ::openat(at.dir(), at.name(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

// An O_PATH descriptor cannot be given to fchmod: fchmodat2 takes it with
// AT_EMPTY_PATH; older kernels take its name under /proc.
int chmodDescriptor(int fd, mode_t mode) {
    if (::syscall(SYS_fchmodat2, fd, "", mode, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return -1;
    char name[48];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    return ::chmod(name, mode);
}

uint64_t nextRandom() {
    static uint64_t state = [] {
        uint64_t seed = 0;
        if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != ssize_t(sizeof seed)) {
            struct timespec ts;
            ::clock_gettime(CLOCK_MONOTONIC, &ts);
            seed = uint64_t(ts.tv_nsec) ^ (uint64_t(ts.tv_sec) << 20) ^ uint64_t(::getpid());
        }
        return seed;
    }();
    // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

bool setRoot(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    forgetDirectories();
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
        int probe = openInRoot(".", O_PATH | O_DIRECTORY, 0);
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

int open(const std::string& path, int flags, mode_t mode) {
    if ((flags & O_CREAT) && faults::hit(faults::CREATE)) return -1;
    if ((flags & (O_CREAT | O_TRUNC)) || (flags & O_ACCMODE) != O_RDONLY) ++changes;
    return openForChange(path, flags, mode);
}

int stat(const std::string& path, struct stat* st) {
    return statWith(path, st, 0);
}

int lstat(const std::string& path, struct stat* st) {
    return statWith(path, st, O_NOFOLLOW);
}

int statfs(const std::string& path, struct statfs* st) {
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

bool exists(const std::string& path) {
    struct stat st;
    return stat(path, &st) == 0;
}

namespace {

int renameAt(const std::string& from, const std::string& to, bool mayMoveDirectory) {
    if (faults::hit(faults::RENAME)) return -1;
    ++changes;
    int rc = -1;
    {
        AtRef a(from);
        if (!a.ok()) return -1;
        AtRef b(to);
        if (!b.ok()) return -1;
        rc = ::renameat(a.dir(), a.name(), b.dir(), b.name());
    }
    // A directory moved (or one replaced by it) changes the ways through it.
    if (rc == 0 && mayMoveDirectory) forgetDirectories();
    return rc;
}

}  // namespace

int rename(const std::string& from, const std::string& to) {
    return renameAt(from, to, true);
}

int renameFile(const std::string& from, const std::string& to) {
    return renameAt(from, to, false);
}

int unlink(const std::string& path) {
    if (faults::hit(faults::UNLINK)) return -1;
    ++changes;
    AtRef at(path);
    if (!at.ok()) return -1;
    return ::unlinkat(at.dir(), at.name(), 0);
}

int rmdir(const std::string& path) {
    ++changes;
    int rc = -1;
    {
        AtRef at(path);
        if (!at.ok()) return -1;
        rc = ::unlinkat(at.dir(), at.name(), AT_REMOVEDIR);
    }
    if (rc == 0) forgetDirectories();
    return rc;
}

int mkdir(const std::string& path, mode_t mode) {
    if (faults::hit(faults::MKDIR)) return -1;
    ++changes;
    AtRef at(path);
    if (!at.ok()) return -1;
    return ::mkdirat(at.dir(), at.name(), mode);
}

int symlink(const std::string& text, const std::string& path) {
    if (faults::hit(faults::SYMLINK)) return -1;
    ++changes;
    AtRef at(path);
    if (!at.ok()) return -1;
    return ::symlinkat(text.c_str(), at.dir(), at.name());
}

int chmod(const std::string& path, mode_t mode) {
    // Permissions of a directory decide who may pass it.
    ++changes;
    forgetDirectories();
    if (belowFlash(path)) {
        // Only the file itself: a link at the last component is refused.
        AtRef at(path);
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

int truncateCreate(const std::string& path, mode_t mode) {
    // A marker is made where it is named, never through a link planted there.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, mode);
    if (fd < 0) return -1;
    return ::close(fd);
}

bool listDirectory(const std::string& path, std::vector<std::string>& names) {
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

int mkstemp(std::string& pattern) {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr size_t SUFFIX = 6;
    constexpr int ATTEMPTS = 100;
    if (pattern.size() < SUFFIX ||
        pattern.compare(pattern.size() - SUFFIX, SUFFIX, "XXXXXX") != 0) {
        errno = EINVAL;
        return -1;
    }
    if (faults::hit(faults::CREATE)) return -1;
    ++changes;
    std::string name = pattern;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        uint64_t bits = nextRandom();
        for (size_t i = name.size() - SUFFIX; i < name.size(); ++i) {
            name[i] = LETTERS[bits % 62];
            bits /= 62;
        }
        int fd = openForChange(name, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            pattern = name;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

off_t fileSize(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    return st.st_size;
}

Batch::Batch() {
    DirCache& c = cache();
    if (c.depth++ == 0) c.batch = ++c.batches;
}

Batch::~Batch() {
    DirCache& c = cache();
    if (--c.depth > 0) return;
    forgetDirectories();
    c.batch = 0;
}

unsigned long batchId() {
    return cache().batch;
}

unsigned long changeCount() {
    return changes;
}

}  // namespace rootfs
