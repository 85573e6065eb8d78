// Pictures of a directory tree, for checking what a run changed.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tree {

// What a path is: "dir", "link TEXT" or "file MODE CONTENT" (octal st_mode);
// "" when nothing is there. And that of every path below `dir` ("/a/b",
// links not followed).
std::string describe(const std::string& path);
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(std::string dir);

// The paths that hold nothing else, sorted, relative to the top (no leading
// "/"): directories with a trailing "/", links as "path -> text". The whole
// tree follows from them.
std::vector<std::string> leaves(const Snapshot& shot);

// What differs, one line a path; the paths in `allowed` (and all below them)
// may differ. Empty when nothing else did.
std::string differences(const Snapshot& before, const Snapshot& after,
                        const std::vector<std::string>& allowed = {});

}  // namespace tree
