// Entering the root directory given with "-r".
#pragma once

#include <string>

enum class EnterRootResult { Chrooted, InsideLayer, Failed };

// chroot into `root` and make the file layer's root "/"; when chroot is not
// permitted (EPERM, an unprivileged user) the file layer resolves every path
// inside `root` instead, with the same effect. On any other failure nothing
// is entered and errno tells chroot's reason. An empty `root` keeps the
// current root and only changes to its top directory.
EnterRootResult enterRoot(const std::string& root);
