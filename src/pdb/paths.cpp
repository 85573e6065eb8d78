#include <string_view>

#include "pdb/database.h"

std::string PackageDatabase::recordDir(const Package& package) {
    return std::string(DATABASE_ROOT) + package.name + "/";
}

bool isSafeRecordName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

std::string installedFilePath(const std::string& entry) {
    // A NUL would cut the path short when it reaches the system.
    if (entry.find('\0') != std::string::npos) return std::string();
    static constexpr std::string_view FLASH = "/flash/";
    std::string_view below = entry;
    if (below.starts_with(FLASH))
        below.remove_prefix(FLASH.size());
    else if (below.starts_with('/'))
        below.remove_prefix(1);

    // Rebuild the path from its components: empty and "." ones are dropped,
    // ".." is never followed, and the path must name something below /flash
    // (never /flash itself).
    std::string path(FLASH.substr(0, FLASH.size() - 1));
    bool named = false;
    while (!below.empty()) {
        size_t slash = below.find('/');
        std::string_view part = below.substr(0, slash);
        below = slash == std::string_view::npos ? std::string_view() : below.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::string();
        path += '/';
        path += part;
        named = true;
    }
    return named ? path : std::string();
}

std::string scheduleKey(const std::string& name) {
    std::string key;
    key.reserve(name.size());
    for (char c : name) {
        bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (keep) key += c;
    }
    return key;
}
