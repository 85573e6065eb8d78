#include "txn/space.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <string>

#include "fs/rootfs.h"
#include "txn/manifest.h"

namespace {

// Kept when a change takes blocks: file systems need some room of their own.
constexpr int64_t RESERVE_BYTES = 32768;

// The free-space account of one file system. A path belongs to it when it
// lies below `mountPath`; "/flash/boot" lies below "/flash" too, so the two
// accounts overlap. An account that cannot be queried has no free space.
struct FsSpace {
    std::string mountPath;
    int64_t blockSize = 1;
    int64_t freeBlocks = 0;
    int64_t initialFreeBlocks = 0;

    FsSpace(rootfs::Root& root, const char* path) : mountPath(path) {
        struct statfs fs;
        if (root.statfs(mountPath, &fs) == 0 && fs.f_bsize > 0) {
            blockSize = int64_t(fs.f_bsize);
            freeBlocks = initialFreeBlocks = int64_t(fs.f_bfree);
        }
    }

    bool holds(const std::string& path) const {
        return path.size() > mountPath.size() && path[mountPath.size()] == '/' &&
               path.compare(0, mountPath.size(), mountPath) == 0;
    }

    int64_t blocksOf(int64_t bytes) const { return (bytes - 1 + blockSize) / blockSize; }

    int64_t spare() const {
        int64_t bytes = freeBlocks * blockSize;
        if (freeBlocks < initialFreeBlocks) bytes -= RESERVE_BYTES;
        return bytes;
    }
};

// The nearest existing ancestor directory of a target, and its device. The
// estimate changes nothing, so the answer for a parent directory holds for
// the whole walk; entries come in path order, and siblings share the last
// answer.
class NearestAncestors {
  public:
    explicit NearestAncestors(rootfs::Root& root) : root_(root) {}
    // False when no ancestor exists.
    bool find(const std::string& target) {
        std::string parent = parentDirectory(target);
        if (!known_ || parent != parent_) {
            parent_ = std::move(parent);
            known_ = true;
            found_ = lookUp();
        }
        return found_;
    }
    const std::string& dir() const { return dir_; }
    dev_t device() const { return dev_; }

  private:
    bool lookUp() {
        struct stat st;
        dir_ = parent_;
        while (root_.stat(dir_, &st) != 0) {
            if (dir_ == "/" || dir_ == ".") return false;
            dir_ = parentDirectory(dir_);
        }
        dev_ = st.st_dev;
        return true;
    }

    rootfs::Root& root_;
    std::string parent_;
    std::string dir_;
    bool known_ = false;
    bool found_ = false;
    dev_t dev_ = 0;
};

// Whether moving `source` onto `target` is a rename within one file system:
// the nearest existing ancestor directory is on the source's device. A
// temporary file the manifest made in that very directory needs no look.
// `size` is the source's, or -1 when it cannot be examined (then false).
bool renamesInPlace(rootfs::Root& root, NearestAncestors& ancestors, const std::string& target,
                    const ManifestEntry& entry, int64_t& size) {
    size = -1;
    const bool found = ancestors.find(target);
    if (found && entry.kind == EntryKind::StagedFile &&
        parentDirectory(std::string(entry.source)) == ancestors.dir())
        return true;
    struct stat source;
    if (root.stat(std::string(entry.source), &source) != 0) return false;
    size = source.st_size;
    return found && ancestors.device() == source.st_dev;
}

}  // namespace

bool estimateSpace(const FileManifest& manifest, int64_t& bootSpare, int64_t& flashSpare,
                   const std::vector<InPlaceWrite>& unwritten) {
    rootfs::Root& root = manifest.root();
    FsSpace accounts[2] = {FsSpace(root, "/flash/boot"), FsSpace(root, "/flash")};
    // As if written before the accounts were read.
    for (const InPlaceWrite& write : unwritten) {
        struct stat old;
        const bool oldExists = root.stat(write.path, &old) == 0;
        for (FsSpace& account : accounts) {
            if (!account.holds(write.path)) continue;
            int64_t blocks = account.blocksOf(write.size);
            if (oldExists) blocks -= account.blocksOf(old.st_size);
            account.freeBlocks -= blocks;
            account.initialFreeBlocks -= blocks;
        }
    }
    NearestAncestors ancestors(root);
    for (const auto& [targetView, entry] : manifest.entries()) {
        if (entry.kind == EntryKind::Symlink) continue;
        const std::string target(targetView);
        bool held[2] = {accounts[0].holds(target), accounts[1].holds(target)};
        if (!held[0] && !held[1]) continue;

        // The paths are examined once for both accounts.
        int64_t taken = -1;  // bytes the new file takes; -1 when not counted
        if (entry.kind != EntryKind::Remove &&
            renamesInPlace(root, ancestors, target, entry, taken))
            continue;
        struct stat old;
        bool oldExists = root.stat(target, &old) == 0;
        for (int i = 0; i < 2; ++i) {
            if (!held[i]) continue;
            if (taken >= 0) accounts[i].freeBlocks -= accounts[i].blocksOf(taken);
            if (oldExists) accounts[i].freeBlocks += accounts[i].blocksOf(old.st_size);
        }
    }
    // The run's staging record goes once the changes are in place.
    for (const std::string& record : manifest.stagingRecord().files()) {
        struct stat st;
        if (root.stat(record, &st) != 0) continue;
        for (FsSpace& account : accounts)
            if (account.holds(record)) account.freeBlocks += account.blocksOf(st.st_size);
    }
    bootSpare = accounts[0].spare();
    flashSpare = accounts[1].spare();
    return bootSpare >= 0 && flashSpare >= 0;
}
