// The root directory that the layer resolves every path in, and the two ways
// of resolving: openat2 with RESOLVE_IN_ROOT inside a root of our own, or
// plain path calls (the process's own root, or a kernel without openat2).
#pragma once

#include <sys/types.h>

#include <string>

namespace rootfs::detail {

// Paths resolve with openat2 inside a root other than the process's own.
bool resolvesInRoot();
// The kernel (or the fault seam) offers no openat2.
bool withoutOpenat2();
// The host path of `path` for plain path calls; relative paths are taken
// from the root too.
std::string hostPath(const std::string& path);
int openInRoot(const char* path, int flags, mode_t mode);
// openInRoot, or the plain open of hostPath.
int openPath(const std::string& path, int flags, mode_t mode);
void closeKeepErrno(int fd);
// Counts a call that may change something (changeCount).
void noteChange();

}  // namespace rootfs::detail
