// Where the manifest puts the temporary files that hold new content.
#pragma once

#include <sys/statfs.h>

#include <cstdint>
#include <string>

#include "fs/rootfs.h"

// The staging places of one manifest. The nearest existing ancestor of a
// directory stays the same while the layer changes nothing but the
// temporary files made here; a file system's free count then only shrinks
// by what those files take, which `taken` bounds from above. So within a
// rootfs::Batch, while a remembered count, less that bound and a slack,
// leaves room, a fresh statfs would leave room too; otherwise the file
// system is asked again.
class StagingPlaces {
  public:
    explicit StagingPlaces(rootfs::Root& root) : root_(root) {}
    // The directory for the temporary file of `target`: the nearest existing
    // ancestor of the target when its file system has room for `sizeHint`
    // bytes and 64 KiB more, else "/ram"; with no size hint "/ram", or
    // "/tmp" when there is no "/ram".
    std::string directoryFor(const std::string& target, uint64_t sizeHint);
    // Tells the choice above that the temporary file `temp` was just made
    // for content of `sizeHint` bytes.
    void noteStaged(const std::string& temp, uint64_t sizeHint);

  private:
    struct Place {
        std::string parent;      // a target's parent directory
        std::string dir;         // its nearest existing ancestor
        uint64_t freeBytes = 0;  // of dir's file system when last asked
        uint64_t takenThen = 0;  // `taken` at that moment
    };
    rootfs::Root& root_;
    static constexpr int PLACES = 4;
    Place places[PLACES];
    int used = 0;
    int next = 0;
    unsigned long batch = 0;    // the Batch this is about; 0: nothing known
    unsigned long changes = 0;  // the layer's change count it holds for
    uint64_t taken = 0;         // at most what the staged files take, in bytes
    uint64_t unit = 4096;       // largest block size seen

    // Valid for the open Batch and nothing changed since; else starts over.
    bool current();
    Place* find(const std::string& parent);
    void remember(const std::string& parent, const std::string& dir, const struct statfs& fs);
    void update(Place& place, const struct statfs& fs);
    void forget(int i);
};
