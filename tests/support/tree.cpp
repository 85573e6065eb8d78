#include "support/tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tree {

namespace stdfs = std::filesystem;

std::string describe(const std::string& path) {
    struct stat st;
    std::error_code ec;
    if (::lstat(path.c_str(), &st) != 0) return "";
    if (S_ISLNK(st.st_mode)) return "link " + stdfs::read_symlink(path, ec).string();
    if (S_ISDIR(st.st_mode)) return "dir";
    std::ostringstream file;
    file << "file " << std::oct << st.st_mode << " "
         << std::ifstream(path, std::ios::binary).rdbuf();
    return file.str();
}

Snapshot snapshot(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    Snapshot shot;
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(dir, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        // The run lock stays once any run that changes files has taken it.
        if (path.substr(dir.size()) == "/ram/installer.lock") continue;
        shot[path.substr(dir.size())] = describe(path);
    }
    return shot;
}

std::vector<std::string> leaves(const Snapshot& shot) {
    std::vector<std::string> out;
    for (auto it = shot.begin(); it != shot.end(); ++it) {
        auto next = shot.lower_bound(it->first + "/");
        const bool holds = next != shot.end() && next->first.rfind(it->first + "/", 0) == 0;
        if (it->second == "dir" && holds) continue;
        std::string path = it->first.substr(1);
        if (it->second == "dir") path += "/";
        if (it->second.rfind("link ", 0) == 0) path += " -> " + it->second.substr(5);
        out.push_back(path);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string differences(const Snapshot& before, const Snapshot& after,
                        const std::vector<std::string>& allowed) {
    auto mayDiffer = [&](const std::string& path) {
        for (const std::string& a : allowed)
            if (path == a || path.rfind(a + "/", 0) == 0) return true;
        return false;
    };
    auto brief = [](const std::string& s) { return s.size() > 60 ? s.substr(0, 60) + "..." : s; };
    std::string out;
    for (const auto& [path, what] : before) {
        auto it = after.find(path);
        if (mayDiffer(path) || (it != after.end() && it->second == what)) continue;
        out += it == after.end()
                   ? "gone: " + path + "\n"
                   : "changed: " + path + " (" + brief(what) + " -> " + brief(it->second) + ")\n";
    }
    for (const auto& [path, what] : after)
        if (!mayDiffer(path) && !before.count(path))
            out += "new: " + path + " (" + brief(what) + ")\n";
    return out;
}

}  // namespace tree
