// The manifest file ("/ram/MANIFEST"): one line per entry, "U target",
// "L target text" or "M target source". The last field is the rest of the
// line, so a source or link text may contain blanks; a target may not.
#include <cerrno>
#include <string>

#include "txn/manifest.h"

namespace {

char letterOf(EntryKind kind) {
    switch (kind) {
        case EntryKind::Remove:
            return 'U';
        case EntryKind::Symlink:
            return 'L';
        default:
            return 'M';
    }
}

// Stages the entry of one line; false when the line is malformed.
bool loadLine(FileManifest& manifest, const std::string& line) {
    size_t blank1 = line.find(' ');
    if (blank1 == std::string::npos) return false;
    size_t blank2 = line.find(' ', blank1 + 1);
    std::string second = line.substr(
        blank1 + 1, blank2 == std::string::npos ? std::string::npos : blank2 - blank1 - 1);
    if (second.empty()) return false;
    bool hasThird = blank2 != std::string::npos && blank2 + 1 < line.size();
    std::string kind = line.substr(0, blank1);
    if (kind == "U") {
        manifest.stage(second, EntryKind::Remove, std::string());
    } else if (kind == "L" || kind == "M") {
        if (!hasThird) return false;
        manifest.stage(second, kind == "L" ? EntryKind::Symlink : EntryKind::Move,
                       line.substr(blank2 + 1));
    }
    return true;  // other letters: the line is skipped
}

// False for an entry whose line would load back as another entry: load
// splits at the first two blanks and stops at a line feed, so a target may
// hold neither (nor be empty), and a source may not hold a line feed (nor be
// empty, which load refuses). Such a line could have a later commit remove
// or replace a file that the run never staged.
bool savable(std::string_view target, const ManifestEntry& entry) {
    if (target.empty() || target.find_first_of(" \n") != std::string_view::npos) return false;
    if (entry.kind == EntryKind::Remove) return true;
    return !entry.source.empty() && entry.source.find('\n') == std::string_view::npos;
}

}  // namespace

bool FileManifest::save(const std::string& path) {
    std::string text;
    for (const auto& [target, entry] : entries_) {
        if (!savable(target, entry)) {
            errno = EINVAL;
            return false;
        }
        text += letterOf(entry.kind);
        text += ' ';
        text += target;
        if (entry.kind != EntryKind::Remove) {
            text += ' ';
            text += entry.source;
        }
        text += '\n';
    }
    // Written beside its place and renamed onto it: a run killed while
    // writing leaves no manifest cut short for a commit to apply in part.
    std::string temp;
    int fd = record_.makeTemporary(parentDirectory(path), temp);
    if (fd < 0) return false;
    OutFile out;
    out.attach(fd);
    out.write(text.data(), std::streamsize(text.size()));
    if (!out.close() || root_.renameFile(temp, path) != 0) {
        const int error = errno;
        root_.unlink(temp);
        errno = error;
        return false;
    }
    record_.handOver();
    return true;
}

bool FileManifest::load(const std::string& path) {
    InFile in(root_, path);
    if (!in.is_open()) return false;
    // An empty line ends the file, at its end or in its middle.
    std::string line;
    while (std::getline(in, line) && !line.empty())
        if (!loadLine(*this, line)) return false;
    return true;
}
