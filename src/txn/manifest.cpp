#include "txn/manifest.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "txn/durability.h"
#include "txn/rootfs.h"
#include "txn/staging.h"

namespace {

bool isMove(EntryKind kind) {
    return kind == EntryKind::Move || kind == EntryKind::StagedFile;
}

// Deletes a file, or empties a directory one level deep (names beginning
// with "." stay) and removes it. Errors are ignored: what cannot be removed
// stays.
void removeTarget(const std::string& target) {
    if (rootfs::unlink(target) == 0 || errno != EISDIR) return;
    std::vector<std::string> names;
    if (rootfs::listDirectory(target, names)) {
        for (const std::string& name : names)
            if (!name.empty() && name[0] != '.') rootfs::unlink(target + "/" + name);
    }
    rootfs::rmdir(target);
}

// Missing parent directories are made only when the first attempt says so.
void makeLink(const std::string& text, const std::string& path) {
    rootfs::unlink(path);
    if (rootfs::symlink(text, path) == 0) return;
    if (errno == ENOENT) {
        makeDirectories(parentDirectory(path));
        if (rootfs::symlink(text, path) == 0) return;
    }
    std::perror("symlink");
}

void moveIntoPlace(const std::string& source, const std::string& target, bool showSpinner) {
    int rc = rootfs::rename(source, target);
    if (rc != 0 && errno == ENOENT) {
        makeDirectories(parentDirectory(target));
        rc = rootfs::rename(source, target);
    }
    if (rc == 0) return;
    if (errno == EXDEV) {
        if (!copyFile(source, target, showSpinner)) std::perror("copy");
        return;
    }
    std::perror("rename");
}

}  // namespace

void FileManifest::stage(const std::string& target, EntryKind kind, const std::string& source) {
    auto [it, added] = entries_.try_emplace(target, ManifestEntry{kind, source});
    if (added) return;
    ManifestEntry& entry = it->second;
    // The replaced temporary file belongs to the manifest; it goes, unless
    // the same file is staged again.
    if (entry.kind == EntryKind::StagedFile && !(isMove(kind) && entry.source == source))
        rootfs::unlink(entry.source);
    entry.kind = kind;
    entry.source = source;
}

void FileManifest::stageMove(const std::string& source, const std::string& target) {
    stage(target, EntryKind::Move, source);
}

void FileManifest::stageSymlink(const std::string& linkText, const std::string& linkPath) {
    stage(linkPath, EntryKind::Symlink, linkText);
}

void FileManifest::stageRemove(const std::string& path) {
    // lstat: a dangling symbolic link is still something to remove.
    struct stat st;
    if (rootfs::lstat(path, &st) == 0) {
        stage(path, EntryKind::Remove, std::string());
        return;
    }
    // Nothing there: nothing to remove, and nothing to put there either. A
    // dropped temporary file would have no owner left, so it goes too.
    auto it = entries_.find(path);
    if (it == entries_.end()) return;
    if (it->second.kind == EntryKind::StagedFile) rootfs::unlink(it->second.source);
    entries_.erase(it);
}

bool FileManifest::reclaimDirectory(const std::string& path) {
    auto it = entries_.find(path);
    if (it != entries_.end()) {
        if (it->second.kind != EntryKind::Remove) return false;
        entries_.erase(it);
    }
    struct stat st;
    return rootfs::stat(path, &st) != 0 || S_ISDIR(st.st_mode);
}

std::unique_ptr<OutFile> FileManifest::createStaged(const std::string& target, uint64_t sizeHint,
                                                    mode_t mode) {
    auto out = std::make_unique<OutFile>();
    std::string temp = tempPattern(stagingDirectory(target, sizeHint));
    int fd = rootfs::mkstemp(temp);
    if (fd < 0) return out;  // not open: the caller reports it; nothing staged
    if (mode != 0) ::fchmod(fd, mode);
    stage(target, EntryKind::StagedFile, temp);
    out->attach(fd);
    return out;
}

void FileManifest::apply(bool showSpinner) {
    if (entries_.empty()) return;
    ApplyDurability durable;
    // Pass 1: removals and links, so that a move never lands in a directory
    // that is about to be removed.
    bool anyMove = false;
    for (const auto& [target, entry] : entries_) {
        if (entry.kind == EntryKind::Remove) {
            removeTarget(target);
            durable.changed(target);
        } else if (entry.kind == EntryKind::Symlink) {
            makeLink(entry.source, target);
            durable.changed(target);
        } else {
            anyMove = true;
        }
    }
    // Pass 2: moves, after the staged content is on storage.
    if (anyMove) {
        durable.beforeMoves();
        for (const auto& [target, entry] : entries_) {
            if (!isMove(entry.kind)) continue;
            durable.beforeMove(entry.source);
            moveIntoPlace(entry.source, target, showSpinner);
            durable.changed(target);
        }
    }
    durable.afterMoves();
}

void FileManifest::cancel() {
    for (const auto& [target, entry] : entries_)
        if (entry.kind == EntryKind::StagedFile) rootfs::unlink(entry.source);
    entries_.clear();
}
