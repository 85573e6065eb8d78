#include "txn/staging.h"

#include <sys/statfs.h>

#include "txn/manifest.h"
#include "txn/rootfs.h"

namespace {
constexpr uint64_t STAGING_MARGIN = 65536;
}

std::string tempPattern(const std::string& dir) {
    if (!dir.empty() && dir.back() == '/') return dir + "tmpXXXXXX";
    return dir + "/tmpXXXXXX";
}

std::string stagingDirectory(const std::string& target, uint64_t sizeHint) {
    if (sizeHint == 0) return rootfs::exists("/ram") ? "/ram" : "/tmp";
    for (std::string dir = parentDirectory(target);; dir = parentDirectory(dir)) {
        struct statfs fs;
        if (rootfs::statfs(dir, &fs) == 0) {
            uint64_t freeBytes = uint64_t(fs.f_bfree) * uint64_t(fs.f_bsize);
            bool fits = freeBytes > STAGING_MARGIN && sizeHint < freeBytes - STAGING_MARGIN;
            return fits ? dir : "/ram";
        }
        if (dir == "/" || dir == ".") return "/ram";
    }
}
