#include <fcntl.h>
#include <unistd.h>

#include "fs/fd_stream.h"
#include "fs/rootfs.h"
#include "pdb/database.h"
#include "pdb/record_files.h"
#include "pdb/text_scanner.h"

bool readVersionFile(rootfs::Root& root, const std::string& path, Version& version,
                     uint32_t& buildTime) {
    InFile in(root, path);
    if (!in.is_open()) return false;
    TextScanner scan(in.rdbuf());
    uint32_t v, time;
    if (!scan.readUnsigned(v) || !scan.readUnsigned(time)) return false;
    version = v;
    buildTime = time;
    return true;
}

bool PackageDatabase::readRefFile(rootfs::Root& root, const std::string& path,
                                  std::vector<PackageRef>& out, bool withWeight) {
    InFile in(root, path);
    if (!in.is_open()) return true;
    TextScanner scan(in.rdbuf());
    PackageRef ref;
    while (scan.readWord(ref.name, MAX_NAME_LENGTH)) {
        ref.weight = 0;
        if (!scan.readUnsigned(ref.minVersion) || !scan.readUnsigned(ref.maxVersion)) return false;
        if (withWeight && !scan.readSigned(ref.weight)) return false;
        out.push_back(ref);
    }
    return true;
}

bool readFirstWord(rootfs::Root& root, const std::string& path, std::string& word,
                   size_t maxLength) {
    InFile in(root, path);
    if (!in.is_open()) return false;
    TextScanner scan(in.rdbuf());
    return scan.readWord(word, maxLength);
}

bool readFileList(rootfs::Root& root, const std::string& path, PathSet& files) {
    InFile in(root, path);
    if (!in.is_open()) return false;
    TextScanner scan(in.rdbuf());
    std::string line;
    bool truncated;
    while (scan.readLine(line, MAX_PATH_LENGTH, truncated)) {
        // A line too long for a path is damage; a cut one could name another file.
        if (line.empty() || truncated) continue;
        if (line[0] != '/') line.insert(line.begin(), '/');
        files.insert(line);
    }
    return true;
}

bool readFirstLine(rootfs::Root& root, const std::string& path, std::string& line, size_t maxLength,
                   bool& exact) {
    InFile in(root, path);
    if (!in.is_open()) return false;
    TextScanner scan(in.rdbuf());
    bool truncated = false;
    if (!scan.readLine(line, maxLength, truncated)) line.clear();
    exact = !truncated;
    return true;
}

bool canOpen(rootfs::Root& root, const std::string& path) {
    int fd = root.open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}
