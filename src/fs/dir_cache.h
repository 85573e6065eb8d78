// The directories a Batch keeps (see rootfs::Batch): descriptors of the
// last parent directories resolved, reused while their way holds no link.
#pragma once

#include <string>

namespace rootfs::detail {

// Closes every kept descriptor: a change may have moved a way.
void forgetDirectories();
// A Batch is open and directories may be kept.
bool caching();
// The kept descriptor of the parent directory `parent` (guarded: a parent of
// a path below /flash, reached beneath /flash), or a new one that is kept;
// -1 (errno set) when the way holds a link or cannot be followed, and the
// caller resolves as it would outside a Batch.
int keptDirectory(const std::string& parent, bool guarded);

}  // namespace rootfs::detail
