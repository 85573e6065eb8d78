// Hostile inputs against the real installer binary. A temporary router root
// holds canaries outside the installer's places (/etc, /rw, /ram) and a good
// installation of the package "a" 1.0; a case offers a damaged or malicious
// package file (or plants links and records) and checks the message, the exit
// status, and that the whole tree is as before apart from what a run is
// documented to leave (the post-install log, the standard-input image file).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/version.h"
#include "pkgfile/package_reader.h"
#include "qpk/lib/builder.h"
#include "support/packages.h"
#include "support/temp_root.h"

namespace hostile {

// Self: the test's own user (as root the installer enters the root with
// chroot). Nobody: it runs as the
// user 65534 and resolves every path inside the root through its file layer.
enum class User { Self, Nobody };
// Flash: the file is placed in /flash/rw/pckg/ and a normal pass runs.
// Stdin: the file is given on standard input with "-".
enum class Via { Flash, Stdin };

const char* name(User user);
const char* name(Via via);

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    long maxRssKb = 0;  // the installer's peak resident memory
};

// Every path below the root: "dir", "link TEXT" or "file MODE CONTENT".
using Snapshot = std::map<std::string, std::string>;

class Router {
  public:
    Router();
    ~Router();
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    const TempRoot& root() const { return root_; }
    std::string host(const std::string& inside) const { return root_.host(inside); }

    // Installs a-1.0 (bin/a, lib/liba) and base-1.0 (bin/base) with a normal
    // pass and removes their files.
    void installGood();
    // Runs the installer with `args` ("ROOT" is replaced by the root's path).
    Outcome run(std::vector<std::string> args, User user, const std::string& input = "");
    // As run(), with standard input read from a file of the host.
    Outcome runFromFile(std::vector<std::string> args, User user, const std::string& hostFile);
    Snapshot snapshot() const;
    // Mounts a tmpfs of `size` (e.g. "600k") at a path inside the root; false
    // when not permitted. Unmounted when the router goes.
    bool mountTmpfs(const std::string& inside, const std::string& size);

  private:
    TempRoot root_;
    std::vector<std::string> mounts_;
};

// What differs between two snapshots, one line per path; the paths in
// `allowed`, and everything below them, may differ. Empty when nothing else
// changed.
std::string differences(const Snapshot& before, const Snapshot& after,
                        const std::set<std::string>& allowed);

// The good files of a-1.0 as installed.
extern const char* const GOOD_A;
extern const char* const GOOD_LIB;

Version ver(const char* text);
// A package "name" of `version` with the files bin/a and lib/liba.
qpk::PackageRecipe recipe(const std::string& name = "a", const char* version = "2.0");
// Signed with the development keys.
std::string build(const qpk::PackageRecipe& recipe);
// A validly signed package whose signature part is `length` bytes long (the
// signature in front, zeros after it; at least 68 bytes).
std::string signedWithLength(qpk::PackageRecipe recipe, uint32_t length);

// Hand assembly.
using testpkg::le16;
using testpkg::le32;
using testpkg::part;
// A header record: the 16-byte name field as given (padded with NULs), the
// version, build time 1, 8 bytes, flags.
std::string headerRecord(const std::string& nameField, Version version, uint32_t flags = 0);
std::string refList(uint16_t count, const std::vector<std::string>& names);
// An 8-byte file header (size = what follows) in front of `parts`.
inline std::string container(const std::string& parts, uint32_t magic = PACKAGE_MAGIC) {
    return testpkg::packageFile(parts, magic);
}
// The file with its header's size field replaced.
std::string withDeclaredSize(std::string file, uint32_t size);
// The parts of a package file (its file header cut off).
std::string partsOf(const std::string& file);
// A package's files part made from raw inflated record bytes.
std::string recordBytes(uint16_t mode, const std::string& name, const std::string& contents,
                        std::optional<uint32_t> declaredSize = std::nullopt,
                        std::optional<uint16_t> declaredNameLength = std::nullopt);

}  // namespace hostile
