// The one way from the installer to the file system.
//
// Every path the installer names ("/flash/var/pdb/x", "/ram/MANIFEST", or a
// relative one) is resolved inside one root directory: the layer holds a
// directory descriptor for the root and resolves paths with openat2 and
// RESOLVE_IN_ROOT, so ".." cannot climb out and an absolute symbolic link
// such as "/flash/bootimage" resolves inside the root, as under chroot.
// Operations on a name (rename, unlink, mkdir, ...) go through the parent
// directory's descriptor and the *at calls. On a kernel without openat2 the
// layer falls back to plain paths below the root.
//
// Paths below "/flash" are only ever changed inside /flash: a rename, unlink,
// mkdir, symlink, chmod or writing open of such a path works through its
// parent directory, which must be /flash or lie below it once links are
// followed, and never follows a link at the last component. Otherwise the
// call fails with ELOOP, so a link planted in the flash cannot carry a change
// to the rest of the system.
//
// A Root belongs to one run: the run's context owns it and hands it down,
// and what it keeps (the root's descriptor, the directories a Batch keeps,
// the count of changes) lives and dies with it. The calls mirror POSIX: 0 or
// a descriptor on success, -1 with errno set on failure.
#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "fs/dir_cache.h"

namespace rootfs {

class Root {
  public:
    // The process's own root, "/", where plain path calls are used (they
    // resolve the same way).
    Root() = default;
    ~Root();
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;

    // Makes `dir` (a path of the process, not one inside the current root)
    // the root for every later call. Returns false (errno set) when it cannot
    // be opened as a directory.
    bool setDirectory(const std::string& dir);
    // The root's directory descriptor.
    int fd();

    int open(const std::string& path, int flags, mode_t mode = 0);
    int stat(const std::string& path, struct stat* st);   // follows a final link
    int lstat(const std::string& path, struct stat* st);  // does not
    int statfs(const std::string& path, struct statfs* st);
    bool exists(const std::string& path);  // stat succeeds

    int rename(const std::string& from, const std::string& to);
    // rename() for a source that is no directory (a staged temporary file):
    // such a move cannot change where any directory path leads, so the
    // directories a Batch keeps stay valid.
    int renameFile(const std::string& from, const std::string& to);
    int unlink(const std::string& path);
    int rmdir(const std::string& path);
    int mkdir(const std::string& path, mode_t mode);
    int symlink(const std::string& text, const std::string& path);
    int chmod(const std::string& path, mode_t mode);
    // Creates or truncates, and closes; a link at the path is refused (ELOOP).
    int truncateCreate(const std::string& path, mode_t mode = 0666);

    // Directory entry names in the order the file system lists them ("." and
    // ".." left out). False (errno set) when the directory cannot be opened.
    bool listDirectory(const std::string& path, std::vector<std::string>& names);

    // A number for the open outermost Batch, different for each; 0 when none.
    unsigned long batchId() const { return dirs_.batchId(); }
    // Counts the calls that create, remove, rename or change anything; a
    // memo of what exists may be kept while it does not move.
    unsigned long changeCount() const { return changes_; }

    // For the layer's own parts. Paths resolve with openat2 inside a root
    // other than the process's own:
    bool resolvesInRoot() const;
    // The kernel (or the fault seam) offers no openat2.
    bool withoutOpenat2() const;
    // The host path of `path` for plain path calls; relative paths are taken
    // from the root too.
    std::string hostPath(const std::string& path) const;
    int openInRoot(const char* path, int flags, mode_t mode);
    // openInRoot, or the plain open of hostPath.
    int openPath(const std::string& path, int flags, mode_t mode);
    void noteChange() { ++changes_; }
    detail::DirCache& dirs() { return dirs_; }

  private:
    int renameAt(const std::string& from, const std::string& to, bool mayMoveDirectory);
    int statWith(const std::string& path, struct stat* st, int openFlags);

    int fd_ = -1;
    std::string path_ = "/";  // host path, absolute, no trailing "/"
    bool isProcessRoot_ = true;
    bool noOpenat2_ = false;  // kernel without openat2: plain paths below the root
    unsigned long changes_ = 0;
    detail::DirCache dirs_;
};

// A stretch of work that this process does alone, such as extracting one
// package or applying a manifest. While a Batch lives the root keeps the
// descriptors of the last directories it resolved (when the way to them
// holds no symbolic link) and reuses them, so that consecutive operations
// in one directory resolve it once. Only rmdir, chmod and rename of a
// source that may be a directory can change where such a way leads; they
// drop what is kept. Outside a Batch every call resolves afresh, so changes
// made by others between batches are always seen. Batches nest.
class Batch {
  public:
    explicit Batch(Root& root) : root_(root) { root_.dirs().begin(); }
    ~Batch() { root_.dirs().end(); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

  private:
    Root& root_;
};

}  // namespace rootfs
