// Which temporary files are a run's own. A run names its temporaries
// "tmp" + a three-character run tag + a three-character sequence, and before
// its first temporary in a directory it notes the directory in a record file
// on flash, flushed to storage first. A run that ends takes its record away;
// one that is killed or loses power leaves it, and the next run that changes
// files removes what the record points at (see docs/staging-record.md).
#pragma once

#include <set>
#include <string>
#include <unordered_set>

#include "fs/rootfs.h"

// A record file is STAGING_RECORD_DIR + STAGING_RECORD_PREFIX + its tag: at
// the top of the flash, which no link can lead away from.
constexpr const char* STAGING_RECORD_DIR = "/flash/";
constexpr const char* STAGING_RECORD_PREFIX = ".staging-";

class StagingRecord {
  public:
    explicit StagingRecord(rootfs::Root& root);
    ~StagingRecord();
    StagingRecord(const StagingRecord&) = delete;
    StagingRecord& operator=(const StagingRecord&) = delete;

    // Creates a new temporary file in `dir` (O_EXCL) with the permission
    // bits of `mode`, or 0600 when `mode` has none, and sets `path` to its
    // name. The descriptor, or -1 (errno set) when the file or the record
    // could not be made.
    int makeTemporary(const std::string& dir, std::string& path, mode_t mode = 0);
    // Every temporary of the run is gone (moved into place or deleted): the
    // record goes too.
    void finish();
    // The manifest was saved for a later commit: its record stays for that
    // commit, and this run no longer answers for it.
    void handOver();
    // The record files of this run, all gone once it ends, and their tags.
    const std::set<std::string>& files() const { return records_; }
    std::set<std::string> tags() const;

  private:
    rootfs::Root& root_;
    mode_t umask_;                           // the process's, read once
    int fd_ = -1;                            // the open record, -1 before the first temporary
    std::string tag_;                        // of the open record
    unsigned sequence_ = 0;                  // next temporary's number under tag_
    std::set<std::string> records_;          // record files this run made
    std::unordered_set<std::string> noted_;  // directories in the open record

    bool open();
    bool note(const std::string& dir);
    void close();
};

// The run tag of a temporary file's path ("/a/tmpXYZ012" gives "XYZ"), or an
// empty string for a path that is no temporary of this kind.
std::string stagingTag(const std::string& path);

// Removes the temporaries that interrupted runs left behind, and their
// records. A record whose tag is in `liveTags` (the tags of the sources of a
// manifest saved for a commit) is kept with its files. Only regular files of
// this user whose names carry a record's tag, in a directory that record
// names, are removed. Returns how many files were removed.
size_t sweepLeftoverTemporaries(rootfs::Root& root, const std::set<std::string>& liveTags);
// Removes the records whose tag is in `tags`, once their files are consumed.
void dropStagingRecords(rootfs::Root& root, const std::set<std::string>& tags);
