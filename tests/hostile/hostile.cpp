#include "hostile/hostile.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qpk/lib/signer.h"
#include "sign/crypto.h"

namespace hostile {

namespace {

namespace stdfs = std::filesystem;

constexpr uid_t NOBODY = 65534;

void giveToNobody(const std::string& dir) {
    ::lchown(dir.c_str(), NOBODY, NOBODY);
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(dir, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec))
        ::lchown(it->path().c_str(), NOBODY, NOBODY);
}

void feed(int fd, const std::string& input) {
    const char* p = input.data();
    size_t left = input.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) break;
        p += n;
        left -= size_t(n);
    }
}

// Runs the installer with a clean environment; as nobody after dropping
// the user and group. Standard input comes from a second child, so a large
// input cannot dead-lock against the output pipes.
Outcome runChild(const std::vector<std::string>& args, User user, const std::string& input,
                 const std::string& inputFile) {
    Outcome result;
    int outPipe[2], errPipe[2], inPipe[2];
    if (::pipe(outPipe) || ::pipe(errPipe) || ::pipe(inPipe)) return result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(inputFile.empty() ? inPipe[0] : ::open(inputFile.c_str(), O_RDONLY), 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]})
            ::close(fd);
        if (user == User::Nobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0))
            _exit(126);
        std::vector<std::string> strings = {INSTALLER_BINARY};
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        char path[] = "PATH=/usr/bin:/bin";
        char* envp[] = {path, nullptr};
        ::execve(INSTALLER_BINARY, argv.data(), envp);
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ::close(inPipe[0]);
    pid_t feeder = -1;
    if (!input.empty()) {
        feeder = ::fork();
        if (feeder == 0) {
            ::close(outPipe[0]);
            ::close(errPipe[0]);
            feed(inPipe[1], input);
            _exit(0);
        }
    }
    ::close(inPipe[1]);
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0 && ::poll(fds, 2, -1) >= 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, size_t(n));
            }
        }
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    if (feeder > 0) ::waitpid(feeder, nullptr, 0);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    result.maxRssKb = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
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
    for (std::string& a : args)
        if (a == "ROOT") a = root_.path();
    if (user == User::Nobody) giveToNobody(root_.path());
    return runChild(args, user, input, std::string());
}

Outcome Router::runFromFile(std::vector<std::string> args, User user, const std::string& hostFile) {
    for (std::string& a : args)
        if (a == "ROOT") a = root_.path();
    if (user == User::Nobody) giveToNobody(root_.path());
    return runChild(args, user, std::string(), hostFile);
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
    qpk::PackageRecipe s;
    s.name = name;
    s.version = ver(version);
    s.buildTime = 1000;
    s.files = {{"bin/a", 0100755, name + " " + version + "\n"},
               {"lib/liba", 0100644, "lib " + std::string(version) + "\n"}};
    return s;
}

std::string build(const qpk::PackageRecipe& recipe) {
    return qpk::buildPackage(recipe, qpk::developmentKeys());
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

std::string le16(uint16_t v) {
    return std::string{char(v & 0xFF), char(v >> 8)};
}

std::string le32(uint32_t v) {
    std::string out;
    for (int shift = 0; shift < 32; shift += 8) out += char((v >> shift) & 0xFF);
    return out;
}

std::string part(uint16_t type, const std::string& payload, std::optional<uint32_t> declared) {
    return le16(type) + le32(declared.value_or(uint32_t(payload.size()))) + payload;
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

std::string container(const std::string& parts, uint32_t magic) {
    return le32(magic) + le32(uint32_t(parts.size())) + parts;
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
