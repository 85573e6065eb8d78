// Entering the root directory given with "-r".
#pragma once

#include <string>

#include "fs/rootfs.h"

enum class EnterRootResult { Chrooted, InsideLayer, Failed };

// chroot into `dir` and make `root` the process's own root "/"; when chroot
// is not permitted (EPERM, an unprivileged user) `root` resolves every path
// inside `dir` instead, with the same effect. On any other failure nothing
// is entered and errno tells chroot's reason. An empty `dir` keeps the
// current root and only changes to its top directory.
EnterRootResult enterRoot(rootfs::Root& root, const std::string& dir);
