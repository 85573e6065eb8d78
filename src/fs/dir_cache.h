// The directories a Batch keeps (see rootfs::Batch): descriptors of the
// last parent directories resolved, reused while their way holds no link.
#pragma once

#include <string>

namespace rootfs::detail {

class DirCache {
  public:
    DirCache() = default;
    ~DirCache() { forget(); }
    DirCache(const DirCache&) = delete;
    DirCache& operator=(const DirCache&) = delete;

    // A Batch opens and closes; the outermost one numbers it and, at its
    // end, closes what is kept.
    void begin();
    void end();
    // A Batch is open and directories may be kept.
    bool active() const { return depth_ > 0; }
    unsigned long batchId() const { return batch_; }
    // Closes every kept descriptor: a change may have moved a way.
    void forget();
    // The kept descriptor of the parent directory `parent` (guarded: a parent
    // of a path below /flash, reached beneath /flash), or a new one, reached
    // from the root `rootFd`, that is kept; -1 (errno set) when the way holds
    // a link or cannot be followed, and the caller resolves as it would
    // outside a Batch.
    int kept(int rootFd, const std::string& parent, bool guarded);

  private:
    static constexpr int SLOTS = 4;
    struct Slot {
        std::string path;      // the directory as the caller named it
        bool guarded = false;  // reached beneath /flash
        int fd = -1;
        unsigned long lastUse = 0;
    };
    Slot slots_[SLOTS];
    unsigned long uses_ = 0;
    int flashFd_ = -1;          // "/flash", reached without a link
    bool flashLinked_ = false;  // not so reached: changes below it resolve as outside a Batch
    int depth_ = 0;
    unsigned long batch_ = 0;
    unsigned long batches_ = 0;
};

}  // namespace rootfs::detail
