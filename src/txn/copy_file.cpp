// The cross-file-system fallback of apply: the content is copied into a
// temporary file beside the target and renamed onto it, so a failed copy
// leaves the old target as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "fs/fd_io.h"
#include "fs/rootfs.h"
#include "txn/manifest.h"
#include "txn/staging.h"

namespace {

constexpr size_t COPY_BLOCK = 16384;

bool copyData(int in, int out, ApplyReport* progress) {
    char block[COPY_BLOCK];
    for (;;) {
        ssize_t got = rootfs::readSome(in, block, sizeof block);
        if (got <= 0) return got == 0;
        if (!rootfs::writeAll(out, block, size_t(got))) return false;
        if (progress) progress->copyProgress();
    }
}

}  // namespace

bool copyFile(rootfs::Root& root, StagingRecord& record, const std::string& source,
              const std::string& target, ApplyReport* progress) {
    struct stat st;
    if (root.stat(source, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    int in = root.open(source, O_RDONLY);
    if (in < 0) return false;
    std::string temp;
    int out = record.makeTemporary(parentDirectory(target), temp);
    if (out < 0) {
        int err = errno;
        ::close(in);
        errno = err;
        return false;
    }
    // The copy stands in for a rename: it gets the source's permissions, and
    // its data is on storage before it replaces the target.
    bool ok =
        ::fchmod(out, st.st_mode & 07777) == 0 && copyData(in, out, progress) && ::fsync(out) == 0;
    int err = errno;
    if (::close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    ::close(in);
    if (ok && root.renameFile(temp, target) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        root.unlink(temp);
        errno = err;
    }
    return ok;
}
