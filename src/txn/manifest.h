// The file transaction of one run: every change the installer makes to the
// file system is staged here and carried out in one apply step, saved for a
// later commit, or cancelled.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "fs/fd_stream.h"
#include "fs/rootfs.h"
#include "txn/apply_report.h"
#include "txn/entry_table.h"
#include "txn/staging.h"
#include "txn/staging_record.h"

class FileManifest {
  public:
    // The rank of a move at apply: rank 0 moves first, each later rank only
    // when every move before it succeeded. The caller knows which moves
    // complete an install; without a rank function every move has rank 0.
    using RankOf = int (*)(const std::string& target);

    // `report` hears of failed system calls and of long copies while the
    // changes are applied.
    // Every file of the manifest is named in `root`.
    FileManifest(rootfs::Root& root, ApplyReport& report, RankOf rankOf = nullptr)
        : root_(root), report_(report), rankOf_(rankOf), places_(root), record_(root) {}

    // Adds or replaces the entry of `target`; a replaced staged temporary
    // file is deleted.
    void stage(std::string_view target, EntryKind kind, std::string_view source);
    void stageMove(const std::string& source, const std::string& target);
    void stageSymlink(const std::string& linkText, const std::string& linkPath);
    // Stages the removal of what stands at `path` (a dangling link counts);
    // when nothing does, drops the path's entry instead.
    void stageRemove(const std::string& path);
    // The same for a file that a replaced or uninstalled package leaves behind:
    // new content staged for the path in this manifest (by another package,
    // or the same one's new version) stays.
    void stageRemoveObsolete(const std::string& path);
    // Withdraws a staged removal of a directory that is to stay; false when
    // something else is staged there or a non-directory stands there.
    bool reclaimDirectory(const std::string& path);
    // Makes a temporary file (on the target's file system when it has room,
    // else in /ram or /tmp), stages it for `target`, and returns a stream on
    // it. The stream is not open when the temporary could not be made.
    std::unique_ptr<OutFile> createStaged(const std::string& target, uint64_t sizeHint,
                                          mode_t mode);
    // The same on a stream that the caller keeps from file to file (it must
    // not be open); false, with `out` left closed, when the temporary could
    // not be made.
    bool createStaged(OutFile& out, const std::string& target, uint64_t sizeHint, mode_t mode);
    // Removals and links first, then the moves by rank, a later rank only
    // when no move of an earlier rank and no link failed; entries stay. False
    // when a link or move failed (the error went to the report; errno of the
    // first failure is kept in applyError()). With `showSpinner` a long copy
    // tells the report of its progress.
    bool apply(bool showSpinner);
    int applyError() const { return applyError_; }
    // Drops every entry and deletes the staged temporary files.
    void cancel();
    // Writes the manifest file; its staged temporary files then belong to
    // it, for a later commit or cancel.
    bool save(const std::string& path);
    bool load(const std::string& path);

    const EntryTable& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }

    rootfs::Root& root() const { return root_; }
    const StagingRecord& stagingRecord() const { return record_; }
    // The run tags of the temporary files the entries move (a loaded
    // manifest's sources included).
    std::set<std::string> stagedTags() const;

  private:
    rootfs::Root& root_;
    ApplyReport& report_;
    RankOf rankOf_;
    StagingPlaces places_;
    StagingRecord record_;
    EntryTable entries_;
    int applyError_ = 0;
};

std::string parentDirectory(const std::string& path);
void makeDirectories(rootfs::Root& root, const std::string& path);
// Copies a regular file (cross-file-system fallback of apply), telling
// `progress` (when given) of each block. Returns false on failure; the target
// is then left as it was.
bool copyFile(rootfs::Root& root, StagingRecord& record, const std::string& source,
              const std::string& target, ApplyReport* progress);
