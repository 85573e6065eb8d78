#include "txn/manifest.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "fs/rootfs.h"
#include "txn/durability.h"
#include "txn/staging.h"

namespace {

bool isMove(EntryKind kind) {
    return kind == EntryKind::Move || kind == EntryKind::StagedFile;
}

// Deletes a file, or empties a directory one level deep (names beginning
// with "." stay) and removes it. Errors are ignored: what cannot be removed
// stays.
void removeTarget(rootfs::Root& root, const std::string& target) {
    if (root.unlink(target) == 0 || errno != EISDIR) return;
    std::vector<std::string> names;
    if (root.listDirectory(target, names)) {
        for (const std::string& name : names)
            if (!name.empty() && name[0] != '.') root.unlink(target + "/" + name);
    }
    root.rmdir(target);
}

// Missing parent directories are made only when the first attempt says so.
// False (reported, errno kept) when the link could not be made.
bool makeLink(rootfs::Root& root, const std::string& text, const std::string& path,
              ApplyReport& report) {
    root.unlink(path);
    if (root.symlink(text, path) == 0) return true;
    if (errno == ENOENT) {
        makeDirectories(root, parentDirectory(path));
        if (root.symlink(text, path) == 0) return true;
    }
    const int error = errno;
    report.systemError("symlink", error);
    errno = error;
    return false;
}

enum class MoveResult { Moved, NoSource, Failed };

// A temporary file of the manifest (`owned`) has no other owner once its
// move is over: it goes when it was copied or could not be moved at all.
MoveResult moveIntoPlace(rootfs::Root& root, StagingRecord& record, const std::string& source,
                         const std::string& target, bool owned, ApplyReport& report,
                         bool showSpinner) {
    // The manifest's own temporary files are plain files; other sources
    // (a loaded manifest's) may be anything.
    auto move = [&] {
        return owned ? root.renameFile(source, target) : root.rename(source, target);
    };
    int rc = move();
    if (rc != 0 && errno == ENOENT) {
        makeDirectories(root, parentDirectory(target));
        rc = move();
    }
    if (rc == 0) return MoveResult::Moved;
    MoveResult result = MoveResult::Failed;
    int error = errno;
    if (errno == EXDEV) {
        if (copyFile(root, record, source, target, showSpinner ? &report : nullptr)) {
            result = MoveResult::Moved;
        } else {
            error = errno;
            report.systemError("copy", error);
        }
    } else {
        report.systemError("rename", error);
        // Already moved by an earlier, interrupted apply of a saved manifest.
        struct stat st;
        if (root.lstat(source, &st) != 0) result = MoveResult::NoSource;
    }
    if (owned) root.unlink(source);
    errno = error;  // the cause, for the caller's exit status
    return result;
}

}  // namespace

void FileManifest::stage(std::string_view target, EntryKind kind, std::string_view source) {
    // A replaced temporary file belongs to the manifest; it goes, unless the
    // same file is staged again.
    if (auto old = entries_.find(target);
        old && old->kind == EntryKind::StagedFile && !(isMove(kind) && old->source == source))
        root_.unlink(std::string(old->source));
    entries_.set(target, kind, source);
}

void FileManifest::stageMove(const std::string& source, const std::string& target) {
    stage(target, EntryKind::Move, source);
}

void FileManifest::stageSymlink(const std::string& linkText, const std::string& linkPath) {
    stage(linkPath, EntryKind::Symlink, linkText);
}

void FileManifest::stageRemoveObsolete(const std::string& path) {
    if (auto entry = entries_.find(path); entry && isMove(entry->kind)) return;
    stageRemove(path);
}

void FileManifest::stageRemove(const std::string& path) {
    // lstat: a dangling symbolic link is still something to remove.
    struct stat st;
    if (root_.lstat(path, &st) == 0) {
        stage(path, EntryKind::Remove, std::string());
        return;
    }
    // Nothing there: nothing to remove, and nothing to put there either. A
    // dropped temporary file would have no owner left, so it goes too.
    auto entry = entries_.find(path);
    if (!entry) return;
    if (entry->kind == EntryKind::StagedFile) root_.unlink(std::string(entry->source));
    entries_.erase(path);
}

bool FileManifest::reclaimDirectory(const std::string& path) {
    if (auto entry = entries_.find(path)) {
        if (entry->kind != EntryKind::Remove) return false;
        entries_.erase(path);
    }
    struct stat st;
    return root_.stat(path, &st) != 0 || S_ISDIR(st.st_mode);
}

std::unique_ptr<OutFile> FileManifest::createStaged(const std::string& target, uint64_t sizeHint,
                                                    mode_t mode) {
    auto out = std::make_unique<OutFile>();
    createStaged(*out, target, sizeHint, mode);  // not open on failure: the caller reports it
    return out;
}

bool FileManifest::createStaged(OutFile& out, const std::string& target, uint64_t sizeHint,
                                mode_t mode) {
    std::string temp;
    int fd = record_.makeTemporary(places_.directoryFor(target, sizeHint), temp, mode);
    if (fd < 0) return false;  // nothing staged
    places_.noteStaged(temp, sizeHint);
    // A copy, not a move: the copy's buffer is sized to the name, the
    // built name's has room to spare, and there is one per staged file.
    stage(target, EntryKind::StagedFile, temp);
    out.attach(fd);
    return true;
}

bool FileManifest::apply(bool showSpinner) {
    applyError_ = 0;
    if (entries_.empty()) return true;
    rootfs::Batch batch(root_);
    ApplyDurability durable(root_);
    // A failed link or move keeps the moves that complete an install from
    // happening, as below.
    bool allMoved = true;
    auto failed = [&] {
        if (allMoved) applyError_ = errno;
        allMoved = false;
    };
    // Pass 1: removals and links, so that a move never lands in a directory
    // that is about to be removed.
    bool anyMove = false;
    for (const auto& [targetView, entry] : entries_) {
        if (entry.kind == EntryKind::Remove) {
            const std::string target(targetView);
            removeTarget(root_, target);
            durable.changed(target);
        } else if (entry.kind == EntryKind::Symlink) {
            const std::string target(targetView);
            if (!makeLink(root_, std::string(entry.source), target, report_)) failed();
            durable.changed(target);
        } else {
            anyMove = true;
        }
    }
    // Pass 2: moves, after the staged content is on storage, rank by rank.
    if (anyMove) {
        durable.beforeMoves();
        auto moveOne = [&](const EntryTable::Item& item, bool blocked) {
            const bool owned = item.entry.kind == EntryKind::StagedFile;
            const std::string source(item.entry.source);
            if (blocked) {
                if (owned) root_.unlink(source);
                return;
            }
            const std::string target(item.target);
            durable.beforeMove(source);
            if (moveIntoPlace(root_, record_, source, target, owned, report_, showSpinner) ==
                MoveResult::Failed)
                failed();
            durable.changed(target);
        };
        // The few moves of the later ranks are picked out on the way, in
        // path order as well; each rank moves only when every move of the
        // ranks before it succeeded.
        std::vector<std::vector<EntryTable::Item>> later;
        for (const EntryTable::Item item : entries_) {
            if (!isMove(item.entry.kind)) continue;
            const int rank = rankOf_ ? rankOf_(std::string(item.target)) : 0;
            if (rank <= 0) {
                moveOne(item, false);
                continue;
            }
            if (later.size() < size_t(rank)) later.resize(size_t(rank));
            later[size_t(rank - 1)].push_back(item);
        }
        if (!later.empty()) durable.beforeCompletingMoves();
        for (const auto& rankMoves : later) {
            const bool blocked = !allMoved;
            for (const EntryTable::Item& item : rankMoves) moveOne(item, blocked);
        }
    }
    durable.afterMoves();
    // Every temporary file is moved or deleted, and on storage so.
    record_.finish();
    return allMoved;
}

std::set<std::string> FileManifest::stagedTags() const {
    std::set<std::string> tags;
    for (const auto& [target, entry] : entries_) {
        std::string tag =
            isMove(entry.kind) ? stagingTag(std::string(entry.source)) : std::string();
        if (!tag.empty()) tags.insert(tag);
    }
    return tags;
}

void FileManifest::cancel() {
    rootfs::Batch batch(root_);
    for (const auto& [target, entry] : entries_)
        if (entry.kind == EntryKind::StagedFile) root_.unlink(std::string(entry.source));
    entries_.clear();
    record_.finish();
}
