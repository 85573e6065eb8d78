#include "txn/durability.h"

#include <fcntl.h>
#include <unistd.h>

#include "fs/rootfs.h"
#include "txn/manifest.h"

namespace {

DurabilityMode currentMode = DurabilityMode::SyncAll;

}  // namespace

void fsyncPath(rootfs::Root& root, const std::string& path, int flags) {
    int fd = root.open(path, flags);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

DurabilityMode durabilityMode() {
    return currentMode;
}

void setDurabilityMode(DurabilityMode mode) {
    currentMode = mode;
}

ApplyDurability::ApplyDurability(rootfs::Root& root) : root_(root), mode_(currentMode) {}

void ApplyDurability::beforeMoves() {
    if (mode_ == DurabilityMode::SyncAll) ::sync();
}

void ApplyDurability::beforeCompletingMoves() {
    flushMoves();
}

void ApplyDurability::beforeMove(const std::string& source) {
    if (mode_ == DurabilityMode::FsyncEach) fsyncPath(root_, source, O_RDONLY);
}

void ApplyDurability::changed(const std::string& target) {
    if (mode_ == DurabilityMode::FsyncEach) directories_.insert(parentDirectory(target));
}

void ApplyDurability::afterMoves() {
    flushMoves();
}

void ApplyDurability::flushMoves() {
    if (mode_ == DurabilityMode::SyncAll) {
        ::sync();
        return;
    }
    for (const std::string& dir : directories_) fsyncPath(root_, dir, O_RDONLY | O_DIRECTORY);
    directories_.clear();
}
