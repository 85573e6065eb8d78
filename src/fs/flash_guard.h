// Changes below /flash. On the router the root is "/", so a symbolic link
// planted in the flash ("/flash/bin" -> "/etc") would let a rename or an
// unlink of a path below /flash reach the rest of the system. Such a change
// therefore goes through a descriptor of the target's parent directory, and
// that directory must be /flash or lie below it once every link on the way
// has been followed (links that stay inside /flash keep working). The last
// component is never followed: the *at calls act on a link itself, and a
// writing open refuses one.
#pragma once

#include <string>

namespace rootfs {
class Root;
}

namespace rootfs::detail {

// Lexically below /flash: the first component (empty and "." ones skipped)
// is "flash" and another one follows.
bool belowFlash(const std::string& path);
// The components of a path below /flash after "flash" ("." when none).
std::string belowFlashPart(const std::string& path);
// The parent directory of a path below /flash; -1 with ELOOP when it lies
// outside /flash.
int openFlashParent(Root& root, const std::string& parent);

}  // namespace rootfs::detail
