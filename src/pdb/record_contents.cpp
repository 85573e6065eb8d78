#include "pdb/record_contents.h"

#include <algorithm>
#include <cerrno>

#include "pdb/layout.h"

namespace {

struct KnownFile {
    const char* name;
    uint16_t bit;
};
constexpr KnownFile KNOWN_FILES[] = {
    {"image", RECORD_IMAGE},       {"version", RECORD_VERSION},     {"deps", RECORD_DEPS},
    {"provides", RECORD_PROVIDES}, {"conflicts", RECORD_CONFLICTS}, {"bundle", RECORD_BUNDLE},
    {"files", RECORD_FILES},       {"disabled", RECORD_DISABLED},   {"enabled", RECORD_ENABLED},
};

uint16_t listRecord(rootfs::Root& root, const std::string& dir) {
    std::vector<std::string> names;
    if (!root.listDirectory(dir, names)) return errno == ENOENT ? 0 : RECORD_UNKNOWN;
    uint16_t files = 0;
    for (const std::string& name : names)
        for (const KnownFile& known : KNOWN_FILES)
            if (name == known.name) files |= known.bit;
    return files;
}

}  // namespace

DirectoryNames::DirectoryNames(rootfs::Root& root, const std::string& dir) {
    opened_ = root.listDirectory(dir, names_);
    // A directory that is not there holds nothing.
    known_ = opened_ || errno == ENOENT;
    sorted_ = names_;
    std::sort(sorted_.begin(), sorted_.end());
}

bool DirectoryNames::mayHave(const std::string& name) const {
    return !known_ || std::binary_search(sorted_.begin(), sorted_.end(), name);
}

RecordContents::RecordContents(rootfs::Root& root, const DirectoryNames& databaseRoot)
    : rootKnown_(databaseRoot.known()) {
    for (const std::string& name : databaseRoot.names())
        files_.emplace(name, listRecord(root, DATABASE_ROOT + name + "/"));
}

uint16_t RecordContents::of(const std::string& name) const {
    // A name that is no single component leads somewhere the listing did
    // not look.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return RECORD_UNKNOWN;
    auto it = files_.find(name);
    if (it != files_.end()) return it->second;
    return rootKnown_ ? 0 : RECORD_UNKNOWN;
}
