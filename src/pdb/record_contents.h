// What a record directory holds, from one listing of it: most records lack
// most of the optional files, and looking for each with an open that fails
// cost more than the whole rest of loading a large database.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/rootfs.h"

enum RecordFile : uint16_t {
    RECORD_IMAGE = 1 << 0,
    RECORD_VERSION = 1 << 1,
    RECORD_DEPS = 1 << 2,
    RECORD_PROVIDES = 1 << 3,
    RECORD_CONFLICTS = 1 << 4,
    RECORD_BUNDLE = 1 << 5,
    RECORD_FILES = 1 << 6,
    RECORD_DISABLED = 1 << 7,
    RECORD_ENABLED = 1 << 8,
};
// A directory that could not be listed: every file is looked for.
constexpr uint16_t RECORD_UNKNOWN = 0xFFFF;

// The names listed in a directory, or, when it could not be listed, the
// answer "maybe" for every name.
class DirectoryNames {
  public:
    DirectoryNames(rootfs::Root& root, const std::string& dir);
    bool mayHave(const std::string& name) const;
    // Whether the directory could be read.
    bool opened() const { return opened_; }
    // Whether what it holds is known: read, or not there at all.
    bool known() const { return known_; }
    // In the order of the listing.
    const std::vector<std::string>& names() const { return names_; }

  private:
    std::vector<std::string> names_;
    std::vector<std::string> sorted_;
    bool opened_ = false;
    bool known_ = false;
};

// The files of the record directories below the database root, keyed by
// directory name. A name the database root does not list has no directory.
class RecordContents {
  public:
    RecordContents(rootfs::Root& root, const DirectoryNames& databaseRoot);
    uint16_t of(const std::string& name) const;

  private:
    std::unordered_map<std::string, uint16_t> files_;
    bool rootKnown_;
};
