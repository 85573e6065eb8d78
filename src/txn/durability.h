// Getting the files of one apply onto storage, so that a power cut after the
// run never leaves an installed file empty or truncated, nor a database
// record ahead of its files: the staged data is flushed before the moves, the
// moves of files before those that complete an install, and the directories
// after them all.
#pragma once

#include <string>
#include <unordered_set>

#include "fs/rootfs.h"

enum class DurabilityMode {
    // One sync() before the moves, one before the completing moves and one
    // after. The default: applying 3000
    // small staged files on a journalling disk file system took 0.1-0.2 s
    // this way against 15-25 s with FsyncEach, which commits the journal
    // once per file instead of twice in all.
    SyncAll,
    // fsync of each staged file before its rename and of each changed
    // directory afterwards; touches nothing outside the manifest.
    FsyncEach,
};

// Opens `path` with `flags` and flushes it to storage; a path that cannot be
// opened is passed over.
void fsyncPath(rootfs::Root& root, const std::string& path, int flags);

DurabilityMode durabilityMode();
void setDurabilityMode(DurabilityMode mode);

// The flushes of one apply, in the mode current when it was made.
class ApplyDurability {
  public:
    explicit ApplyDurability(rootfs::Root& root);
    void beforeMoves();
    // Before the first move that completes an install: every move before it
    // is on storage, so a power cut cannot keep the completing move and lose
    // one it completes.
    void beforeCompletingMoves();
    void beforeMove(const std::string& source);
    void changed(const std::string& target);  // a target was made, replaced or removed
    void afterMoves();

  private:
    rootfs::Root& root_;
    DurabilityMode mode_;
    void flushMoves();  // the moves so far, onto storage
    std::unordered_set<std::string> directories_;
};
