#include "faults/upgrade_fixture.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "engine/admission.h"
#include "engine/schedule.h"
#include "fs/rootfs.h"
#include "main/modes.h"
#include "model/installer.h"
#include "output/postlog.h"
#include "pdb/database.h"
#include "qpk/lib/builder.h"
#include "support/packages.h"
#include "support/temp_root.h"
#include "txn/manifest.h"

namespace stdfs = std::filesystem;

namespace faulttest {
namespace {

Version v(unsigned major, unsigned minor) {
    return makeVersion(major, minor, VERSION_KIND_FINAL, 0);
}

using testpkg::signedPackage;

qpk::BundleRecipe systemBundle(Version version, uint32_t built) {
    qpk::BundleRecipe b;
    b.name = "system";
    b.version = version;
    b.buildTime = built;
    b.keepImagePayload = std::string(2000, 'k');
    b.defaultDisabled = {PackageRef{"wireless", 0, 0, 0}};
    return b;
}

qpk::PackageRecipe tools(Version version, uint32_t built, std::vector<qpk::FileEntry> files) {
    qpk::PackageRecipe s = testpkg::recipe("tools", version, built, std::move(files));
    s.depends = {PackageRef{"system", version, 0, 0}};
    return s;
}

// Contents that differ between versions, so that a file left from the old
// version never passes for the new one.
std::string text(const std::string& what, const char* version) {
    return what + " " + version + "\n";
}

}  // namespace

PackageSet firstVersions() {
    const Version ver = v(7, 1);
    PackageSet set;
    set.bundle = qpk::buildBundle(
        systemBundle(ver, 100),
        {signedPackage(
             testpkg::recipe("routing", ver, 100,
                             {{"bin/routing", 0100755, text("routing", "7.1"), 0},
                              {"lib/routing.so", 0100644, text("routing lib", "7.1"), 0}})),
         signedPackage(testpkg::recipe("wireless", ver, 100,
                                       {{"bin/wireless", 0100755, text("wireless", "7.1"), 0}})),
         signedPackage(testpkg::recipe("legacy", ver, 100,
                                       {{"bin/legacy", 0100755, text("legacy", "7.1"), 0}}))});
    set.tools = signedPackage(tools(ver, 100,
                                    {{"bin/tools", 0100755, text("tools", "7.1"), 0},
                                     {"share/tools/readme", 0100644, text("readme", "7.1"), 0}}));
    set.branding = signedPackage(
        testpkg::recipe("branding", ver, 100, {{"etc/logo", 0100644, text("logo", "7.1"), 0}}));
    return set;
}

PackageSet nextVersions(int filesPerMember, size_t fileSize) {
    const Version ver = v(7, 2);
    std::vector<qpk::FileEntry> routing = {
        {"bin/routing", 0100755, text("routing", "7.2"), 0},
        {"lib/routing.so", 0100644, text("routing lib", "7.2"), 0},
        {"etc/routing/tables/main", 0100600, text("table", "7.2"), 0}};
    for (int i = 0; i < filesPerMember; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "share/routing/d%02d/f%05d", i % 50, i);
        std::string body(fileSize, char('a' + i % 26));
        body += name;
        routing.push_back({name, 0100644, body, 0});
    }
    PackageSet set;
    set.bundle = qpk::buildBundle(
        systemBundle(ver, 200),
        {signedPackage(testpkg::recipe("routing", ver, 200, routing)),
         signedPackage(testpkg::recipe("wireless", ver, 200,
                                       {{"bin/wireless", 0100755, text("wireless", "7.2"), 0},
                                        {"bin/wlctl", 0100755, text("wlctl", "7.2"), 0}}))});
    set.tools = signedPackage(tools(ver, 200, {{"bin/tools", 0100755, text("tools", "7.2"), 0}}));
    set.branding = signedPackage(
        testpkg::recipe("branding", ver, 200, {{"etc/logo", 0100644, text("logo", "7.2"), 0}}));
    return set;
}

void copyTree(const std::string& from, const std::string& to) {
    removeTree(to);
    stdfs::copy(from, to, stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks);
}

void removeTree(const std::string& dir) {
    std::error_code ec;
    stdfs::remove_all(dir, ec);
}

namespace {

// The hundreds of roots of these tests go to a tmpfs of their own when the
// tests may mount one: copying and removing them then costs no disk writes.
class WorkArea {
  public:
    WorkArea() {
        const char* base = std::getenv("TMPDIR");
        dir_ = std::string(base && *base ? base : "/tmp") + "/faults.XXXXXX";
        if (!::mkdtemp(dir_.data())) std::abort();
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=512m") == 0;
    }
    ~WorkArea() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
        ::rmdir(dir_.c_str());
    }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
    bool mounted_ = false;
};

}  // namespace

std::string makeTempDir(const char* label) {
    static WorkArea area;
    std::string pattern = area.dir() + "/" + label + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
}

Snapshot snapshot(const std::string& dir, bool (*skip)(const std::string& rel)) {
    Snapshot out;
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(dir, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string host = it->path().string();
        const std::string rel = host.substr(dir.size());
        if (skip && skip(rel)) continue;
        struct stat st;
        if (::lstat(host.c_str(), &st) != 0) continue;
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        if (S_ISDIR(st.st_mode)) {
            out[rel] = "directory";
        } else if (S_ISLNK(st.st_mode)) {
            out[rel] = "link to " + stdfs::read_symlink(host).string();
        } else {
            std::ifstream in(host, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            out[rel] = std::string("file ") + mode + " " + content.str();
        }
    }
    return out;
}

std::string difference(const Snapshot& expected, const Snapshot& actual) {
    std::string out;
    int shown = 0;
    auto brief = [](const std::string& s) { return s.size() > 60 ? s.substr(0, 60) + "..." : s; };
    for (const auto& [path, what] : expected) {
        auto it = actual.find(path);
        if (it == actual.end()) {
            out += "  missing " + path + "\n";
        } else if (it->second != what) {
            out += "  changed " + path + ": " + brief(it->second) + " instead of " + brief(what) +
                   "\n";
        } else {
            continue;
        }
        if (++shown == 8) return out + "  ...\n";
    }
    for (const auto& [path, what] : actual) {
        if (expected.count(path)) continue;
        out += "  extra " + path + "\n";
        if (++shown == 8) return out + "  ...\n";
    }
    return out;
}

bool skipPostLog(const std::string& rel) {
    return rel == "/flash/postlog";
}

bool isTemporaryName(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    return name.size() == 9 && name.compare(0, 3, "tmp") == 0;
}

std::string temporaries(const std::string& dir) {
    std::string out;
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(dir, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        if (isTemporaryName(path)) out += path.substr(dir.size()) + "\n";
    }
    return out;
}

namespace {

// What this process writes to descriptor `fd` goes to a file while it lives.
class FdCapture {
  public:
    explicit FdCapture(int fd) : fd_(fd) {
        std::fflush(nullptr);
        file_ = std::tmpfile();
        saved_ = ::dup(fd);
        ::dup2(::fileno(file_), fd);
    }
    ~FdCapture() {
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        std::fclose(file_);
    }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    std::string text() {
        std::fflush(nullptr);
        std::string out;
        std::rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        return out;
    }

  private:
    int fd_;
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

}  // namespace

namespace {

// Runs `pass` inside `rootDir` with a fresh database, both output streams
// captured.
PassResult inRoot(const std::string& rootDir,
                  const std::function<int(Installer&, FileManifest&)>& pass) {
    PassResult result;
    if (!rootfs::setRoot(rootDir)) return result;
    {
        CapturedOutput output;
        FdCapture out(1);
        FdCapture err(2);
        postLogReserved = false;
        Installer& installer = Installer::instance();
        PackageDatabase::open(installer, false, "i386");
        FileManifest manifest(applyRank);
        applySchedule(installer, manifest, 1);
        result.status = pass(installer, manifest);
        result.out = output.text() + out.text();
        result.err = err.text();
    }
    postLogReserved = false;
    rootfs::setRoot("/");
    return result;
}

PassResult normalPass(const std::string& rootDir, uint32_t allowance, bool applyNow) {
    return inRoot(rootDir, [&](Installer& installer, FileManifest& manifest) {
        RunOptions options;
        options.allowance = allowance;
        options.applyNow = applyNow;
        int status = runNormalPass(installer, manifest, options);
        if (!applyNow) {
            const int committed = commitSavedManifest();
            if (status == 0) status = committed;
        }
        return status;
    });
}

}  // namespace

PassResult runNormalPassIn(const std::string& rootDir, uint32_t allowance) {
    return normalPass(rootDir, allowance, true);
}

PassResult runSafeThenCommitIn(const std::string& rootDir, uint32_t allowance) {
    return normalPass(rootDir, allowance, false);
}

void runCommitIn(const std::string& rootDir) {
    if (!rootfs::setRoot(rootDir)) return;
    {
        FdCapture out(1);
        FdCapture err(2);
        commitSavedManifest();
    }
    rootfs::setRoot("/");
}

PassResult runStdinInstallIn(const std::string& rootDir, const std::string& image,
                             uint32_t allowance) {
    return inRoot(rootDir, [&](Installer& installer, FileManifest& manifest) {
        RunOptions options;
        options.fromStdin = true;
        options.allowance = allowance;
        std::istringstream input(image);
        return runFromStdin(installer, manifest, options, input);
    });
}

void prepareUpgradeRoot(const std::string& rootDir, const PackageSet& first,
                        const PackageSet& next) {
    for (const char* dir : {"/flash/var/pdb", "/flash/rw/pckg", "/ram", "/rw", "/tmp"})
        stdfs::create_directories(rootDir + dir);
    auto put = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(rootDir + "/flash/rw/pckg/" + name, std::ios::binary | std::ios::trunc)
            << bytes;
    };
    put("system.qpk", first.bundle);
    put("tools.qpk", first.tools);
    put("branding.qpk", first.branding);
    runNormalPassIn(rootDir, 0);
    put("system.qpk", next.bundle);
    put("tools.qpk", next.tools);
    put("branding.qpk", next.branding);
    // The rest of the router takes the markers away once it has seen them.
    ::unlink((rootDir + "/flash/PCKGS_CHANGED").c_str());
    ::unlink((rootDir + "/flash/UPGRADED").c_str());
    ::unlink((rootDir + "/flash/postlog").c_str());
}

}  // namespace faulttest
