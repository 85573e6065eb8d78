#include "hostile/hostile.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qpk/lib/signer.h"
#include "sign/crypto.h"
#include "support/run.h"

namespace hostile {

namespace {

namespace stdfs = std::filesystem;

// Runs the installer with a clean environment; as nobody after handing the
// root over and dropping the user and group.
Outcome runChild(const TempRoot& root, std::vector<std::string> args, User user,
                 RunOptionsForTest options) {
    for (std::string& a : args)
        if (a == "ROOT") a = root.path();
    if (user == User::Nobody) {
        giveTreeTo(root.path(), NOBODY_UID);
        options.runAsUser = NOBODY_UID;
    }
    RunResult r = runInstaller(args, options);
    return Outcome{r.status, r.out, r.err, r.maxRssKb};
}

std::string readHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

const char* const GOOD_A = "good a 1.0\n";
const char* const GOOD_LIB = "good liba 1.0\n";

const char* name(User user) {
    return user == User::Self ? "self" : "nobody";
}
const char* name(Via via) {
    return via == Via::Flash ? "flash" : "stdin";
}

Router::Router() {
    for (const char* dir : {"/ram", "/tmp", "/flash/var/pdb", "/flash/rw/pckg"}) root_.mkdirs(dir);
    // Canaries: the system's own files, outside every place of the installer.
    root_.write("/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    root_.write("/etc/canary", "canary\n");
    root_.write("/rw/keep", "rw\n");
    root_.write("/ram/keep", "ram\n");
}

Router::~Router() {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
}

void Router::installGood() {
    qpk::PackageRecipe good = recipe("a", "1.0");
    good.files = {{"bin/a", 0100755, GOOD_A}, {"lib/liba", 0100644, GOOD_LIB}};
    // A second package, so that "a" may be uninstalled.
    qpk::PackageRecipe base = recipe("base", "1.0");
    base.files = {{"bin/base", 0100755, "base\n"}};
    root_.write("/flash/rw/pckg/a.qpk", build(good));
    root_.write("/flash/rw/pckg/base.qpk", build(base));
    run({"-r", "ROOT"}, User::Self);
    ::unlink(host("/flash/rw/pckg/a.qpk").c_str());
    ::unlink(host("/flash/rw/pckg/base.qpk").c_str());
}

Outcome Router::run(std::vector<std::string> args, User user, const std::string& input) {
    RunOptionsForTest options;
    options.stdinData = input;
    return runChild(root_, std::move(args), user, options);
}

Outcome Router::runFromFile(std::vector<std::string> args, User user, const std::string& hostFile) {
    RunOptionsForTest options;
    options.stdinData = hostFile;
    options.stdinFromFile = true;
    return runChild(root_, std::move(args), user, options);
}

Snapshot Router::snapshot() const {
    Snapshot shot;
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(root_.path(), ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        std::string path = it->path().string();
        std::string inside = path.substr(root_.path().size());
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            shot[inside] = "link " + stdfs::read_symlink(path, ec).string();
        } else if (S_ISDIR(st.st_mode)) {
            shot[inside] = "dir";
        } else {
            char mode[16];
            std::snprintf(mode, sizeof mode, "%o", unsigned(st.st_mode));
            shot[inside] = std::string("file ") + mode + " " + readHost(path);
        }
    }
    return shot;
}

bool Router::mountTmpfs(const std::string& inside, const std::string& size) {
    root_.mkdirs(inside);
    std::string options = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", host(inside).c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
    mounts_.push_back(host(inside));
    return true;
}

std::string differences(const Snapshot& before, const Snapshot& after,
                        const std::set<std::string>& allowed) {
    auto mayDiffer = [&](const std::string& path) {
        for (const std::string& a : allowed)
            if (path == a || path.rfind(a + "/", 0) == 0) return true;
        return false;
    };
    auto shorten = [](const std::string& s) { return s.size() > 60 ? s.substr(0, 60) + "..." : s; };
    std::string out;
    for (const auto& [path, what] : before) {
        if (mayDiffer(path)) continue;
        auto it = after.find(path);
        if (it == after.end())
            out += "gone: " + path + "\n";
        else if (it->second != what)
            out += "changed: " + path + " (" + shorten(what) + " -> " + shorten(it->second) + ")\n";
    }
    for (const auto& [path, what] : after)
        if (!mayDiffer(path) && !before.count(path))
            out += "new: " + path + " (" + shorten(what) + ")\n";
    return out;
}

Version ver(const char* text) {
    Version v = 0;
    parseVersion(text, v);
    return v;
}

qpk::PackageRecipe recipe(const std::string& name, const char* version) {
    return testpkg::recipe(name, ver(version), 1000,
                           {{"bin/a", 0100755, name + " " + version + "\n"},
                            {"lib/liba", 0100644, "lib " + std::string(version) + "\n"}});
}

std::string build(const qpk::PackageRecipe& recipe) {
    return testpkg::signedPackage(recipe);
}

std::string signedWithLength(qpk::PackageRecipe recipe, uint32_t length) {
    recipe.withSignature = false;
    std::string file = qpk::buildPackage(recipe, qpk::SigningKeys());
    file += le16(9) + le32(length);
    // The signed region runs from the package header (right after the file
    // header) through the signature part's header.
    SHA1 sha;
    sha.update(file.data() + 8, file.size() - 8);
    uint8_t digest[32] = {};
    sha.finish(digest);
    std::string signature, error;
    if (!qpk::signDigest(qpk::developmentKeys(), digest, signature, error)) return std::string();
    if (length < 132) signature.resize(68);  // the legacy form alone
    signature.resize(length, '\0');
    file += signature;
    return withDeclaredSize(file, uint32_t(file.size() - 8));
}

std::string headerRecord(const std::string& nameField, Version version, uint32_t flags) {
    std::string field = nameField;
    field.resize(16, '\0');
    return field + le32(version) + le32(1) + std::string(8, '\0') + le32(flags);
}

std::string refList(uint16_t count, const std::vector<std::string>& names) {
    std::string out = le16(count);
    for (const std::string& n : names) {
        std::string field = n;
        field.resize(16, '\0');
        out += field + le32(0) + le32(0) + le32(0) + le32(0);
    }
    return out;
}

std::string withDeclaredSize(std::string file, uint32_t size) {
    std::string field = le32(size);
    file.replace(4, 4, field);
    return file;
}

std::string partsOf(const std::string& file) {
    return file.substr(8);
}

std::string recordBytes(uint16_t mode, const std::string& name, const std::string& contents,
                        std::optional<uint32_t> declaredSize,
                        std::optional<uint16_t> declaredNameLength) {
    std::string out = le16(mode) + std::string(21, '\0') + char(0);
    out += le32(declaredSize.value_or(uint32_t(contents.size())));
    out += le16(declaredNameLength.value_or(uint16_t(name.size())));
    return out + name + contents;
}

}  // namespace hostile
