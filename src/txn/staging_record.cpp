#include "txn/staging_record.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "fs/fd_io.h"
#include "txn/durability.h"
#include "txn/manifest.h"

namespace {

constexpr char LETTERS[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned BASE = 62;
constexpr unsigned SEQUENCES = BASE * BASE * BASE;  // names under one tag
constexpr const char* PREFIX = "tmp";
constexpr size_t NAME_LENGTH = 9;  // "tmp", tag, sequence
// A record lists directories, each at most a path long; anything longer was
// not written by a run.
constexpr size_t MAX_RECORD = 16 << 20;

bool isLetter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::string randomTag() {
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != ssize_t(sizeof bits)) {
        struct timespec ts;
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        bits = uint64_t(ts.tv_nsec) ^ (uint64_t(ts.tv_sec) << 20) ^ uint64_t(::getpid());
    }
    std::string tag(3, '0');
    for (char& c : tag) {
        c = LETTERS[bits % BASE];
        bits /= BASE;
    }
    return tag;
}

std::string recordPath(const std::string& tag) {
    return std::string(STAGING_RECORD_DIR) + STAGING_RECORD_PREFIX + tag;
}

// What a record notes for a directory that holds temporaries: a directory
// within two levels of the top ("/flash", "/flash/etc") stands for itself, a
// deeper one for its ancestor two levels down and all below it ("R" + that
// ancestor). So an upgrade of thousands of files in hundreds of directories
// flushes the record a handful of times, not hundreds.
std::string sweepUnit(const std::string& dir) {
    size_t slash = 0;
    for (int level = 0; level < 2; ++level) {
        if (slash == std::string::npos || dir.empty() || dir[0] != '/') return dir;
        slash = dir.find('/', slash + 1);
    }
    return slash == std::string::npos || slash + 1 == dir.size() ? dir : "R" + dir.substr(0, slash);
}

// The entries of a record, each ended by a NUL byte (a path cannot hold one,
// and may hold a line feed).
bool readRecord(rootfs::Root& root, const std::string& path, std::vector<std::string>& dirs) {
    int fd = root.open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[4096];
    ssize_t got;
    while ((got = rootfs::readSome(fd, buf, sizeof buf)) > 0 && text.size() < MAX_RECORD)
        text.append(buf, size_t(got));
    ::close(fd);
    if (got < 0) return false;
    for (size_t at = 0, end; (end = text.find('\0', at)) != std::string::npos; at = end + 1)
        if (end > at && (text[at] == '/' || text[at] == 'R'))
            dirs.push_back(text.substr(at, end - at));
    return true;
}

std::string inDirectory(const std::string& dir, const std::string& name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Removes the temporaries of `tag` in `dir` and, `levels` deep, in the
// directories below it (links are not followed). Flushes what it changed.
size_t sweepDirectory(rootfs::Root& root, const std::string& dir, const std::string& tag,
                      int levels) {
    std::vector<std::string> entries;
    if (!root.listDirectory(dir, entries)) return 0;
    size_t removed = 0, here = 0;
    for (const std::string& entry : entries) {
        const bool ours = stagingTag(entry) == tag;
        if (!ours && levels == 0) continue;
        const std::string path = inDirectory(dir, entry);
        struct stat st;
        if (root.lstat(path, &st) != 0) continue;
        if (!ours) {
            if (S_ISDIR(st.st_mode)) removed += sweepDirectory(root, path, tag, levels - 1);
        } else if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && root.unlink(path) == 0) {
            ++here;
        }
    }
    // The removals reach storage before the record that points at them goes.
    if (here) fsyncPath(root, dir, O_RDONLY | O_DIRECTORY);
    return removed + here;
}

}  // namespace

StagingRecord::StagingRecord(rootfs::Root& root) : root_(root), umask_(::umask(0)) {
    ::umask(umask_);
}

StagingRecord::~StagingRecord() {
    close();
}

bool StagingRecord::open() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string tag = randomTag();
        const std::string path = recordPath(tag);
        int fd = root_.open(path, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0 && errno == ENOENT) {
            makeDirectories(root_, parentDirectory(path));
            fd = root_.open(path, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        }
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        // The record's name must be on storage before any file it answers for.
        fsyncPath(root_, STAGING_RECORD_DIR, O_RDONLY | O_DIRECTORY);
        fd_ = fd;
        tag_ = tag;
        sequence_ = 0;
        noted_.clear();
        records_.insert(path);
        return true;
    }
    errno = EEXIST;
    return false;
}

bool StagingRecord::note(const std::string& dir) {
    std::string entry = sweepUnit(dir);
    if (noted_.count(entry)) return true;
    noted_.insert(entry);
    entry.push_back('\0');
    if (rootfs::writeAll(fd_, entry.data(), entry.size()) && ::fdatasync(fd_) == 0) return true;
    noted_.erase(entry.substr(0, entry.size() - 1));
    return false;
}

void StagingRecord::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int StagingRecord::makeTemporary(const std::string& dir, std::string& path, mode_t mode) {
    // The bits are given at creation when the umask keeps them all: one call
    // less per file. Set-id and sticky bits always go through fchmod.
    const mode_t bits = mode & 07777;
    const bool atCreation = bits != 0 && (bits & (umask_ | 07000)) == 0;
    if (fd_ < 0 && !open()) return -1;
    for (;;) {
        if (sequence_ == SEQUENCES) {
            // Every name of this tag is taken: go on under a new record.
            close();
            if (!open()) return -1;
        }
        if (!note(dir)) return -1;
        std::string name = std::string(PREFIX) + tag_;
        for (unsigned n = sequence_++, k = 0; k < 3; ++k, n /= BASE)
            name.push_back(LETTERS[n % BASE]);
        const std::string candidate = inDirectory(dir, name);
        int fd =
            root_.open(candidate, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, atCreation ? bits : 0600);
        if (fd >= 0) {
            if (bits != 0 && !atCreation) ::fchmod(fd, bits);
            path = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
}

void StagingRecord::finish() {
    close();
    for (const std::string& path : records_) root_.unlink(path);
    records_.clear();
}

void StagingRecord::handOver() {
    close();
    records_.clear();
}

std::set<std::string> StagingRecord::tags() const {
    std::set<std::string> tags;
    for (const std::string& path : records_) tags.insert(path.substr(path.rfind('-') + 1));
    return tags;
}

std::string stagingTag(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() != NAME_LENGTH || name.compare(0, 3, PREFIX) != 0) return std::string();
    for (char c : name.substr(3))
        if (!isLetter(c)) return std::string();
    return name.substr(3, 3);
}

size_t sweepLeftoverTemporaries(rootfs::Root& root, const std::set<std::string>& liveTags) {
    std::vector<std::string> names;
    if (!root.listDirectory(STAGING_RECORD_DIR, names)) return 0;
    const std::string prefix = STAGING_RECORD_PREFIX;
    size_t removed = 0;
    for (const std::string& recordName : names) {
        if (recordName.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string tag = recordName.substr(prefix.size());
        if (stagingTag("tmp" + tag + "000") != tag || liveTags.count(tag)) continue;
        const std::string record = std::string(STAGING_RECORD_DIR) + recordName;
        std::vector<std::string> dirs;
        if (!readRecord(root, record, dirs)) continue;
        for (const std::string& entry : dirs) {
            const bool below = entry[0] == 'R';
            removed += sweepDirectory(root, below ? entry.substr(1) : entry, tag, below ? 32 : 0);
        }
        root.unlink(record);
    }
    return removed;
}

void dropStagingRecords(rootfs::Root& root, const std::set<std::string>& tags) {
    for (const std::string& tag : tags) root.unlink(recordPath(tag));
}
