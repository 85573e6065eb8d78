#include <cerrno>
#include <filesystem>

#include "database_fixture.h"
#include "fs/faults.h"

namespace {

constexpr Version V1 = makeVersion(6, 40, 'f', 1);
constexpr Version V2 = makeVersion(6, 41, 'b', 3);

InstalledPackage samplePackage() {
    InstalledPackage p("tool");
    p.version = V1;
    p.buildTime = 1700000000;
    p.depends = {PackageRef{"system", V1, 0}, PackageRef{"lib", 0, V2}};
    p.provides = {PackageRef{"api", V1, V2, -7}};
    p.conflicts = {PackageRef{"old", 0, V1}};
    p.files = {"/flash/bin/tool", "/flash/lib/libx.so"};
    return p;
}

TEST_F(DatabaseTest, WrittenRecordLoadsBackTheSame) {
    const struct {
        uint8_t disabled, userState;
        const char* stateFiles;
    } cases[] = {
        {0, 0, ""}, {0, 1, "enabled:user\n"}, {1, 0, "disabled:auto\n"}, {1, 1, "disabled:user\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stateFiles);
        InstalledPackage p = samplePackage();
        p.disabled = c.disabled;
        p.userState = c.userState;
        writeAndApply(p);
        std::string states;
        for (const char* f : {"disabled", "enabled"})
            if (root.exists(std::string("/flash/var/pdb/tool/") + f))
                states += std::string(f) + ":" + root.read(std::string("/flash/var/pdb/tool/") + f);
        EXPECT_EQ(states, c.stateFiles);
        load();
        ASSERT_EQ(installer.packages.size(), 1u);
        EXPECT_EQ(describe(*installer.packages[0]), describe(p));
    }
}

TEST_F(DatabaseTest, MetaFilesHaveTheirExactForm) {
    InstalledPackage p = samplePackage();
    p.bundleRef = PackageRef{"suite", V1, V1};
    p.files.insert("/");  // empty once stored, so left out
    writeAndApply(p);
    const std::string dir = "/flash/var/pdb/tool/", v1 = std::to_string(V1),
                      v2 = std::to_string(V2);
    EXPECT_EQ(root.read(dir + "version"), v1 + " 1700000000\n");
    EXPECT_EQ(root.read(dir + "deps"), "system " + v1 + " 0\nlib 0 " + v2 + "\n");
    EXPECT_EQ(root.read(dir + "provides"), "api " + v1 + " " + v2 + " -7\n");
    EXPECT_EQ(root.read(dir + "conflicts"), "old 0 " + v1 + "\n");
    EXPECT_EQ(root.read(dir + "bundle"), "suite\n");
    EXPECT_EQ(root.read(dir + "files"), "flash/bin/tool\nflash/lib/libx.so\n");
}

TEST_F(DatabaseTest, RecordFilesDependOnTheKindOfPackage) {
    const struct {
        const char* label;
        uint8_t keepsImage, isBundle;
        uint32_t flags;
        const char* files;
    } cases[] = {
        {"bare", 0, 0, 0, "deps files version "},
        {"bundle", 0, 1, 0, "deps version "},
        {"keeps image", 1, 0, 0, "disabled "},
        {"flags bit 1", 0, 0, FLAG_NO_META, "disabled "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        InstalledPackage p(c.label);
        p.keepsImage = c.keepsImage;
        p.isBundle = c.isBundle;
        p.flags = c.flags;
        p.disabled = c.keepsImage || c.flags;
        writeAndApply(p);
        std::set<std::string> names;
        for (const auto& e :
             std::filesystem::directory_iterator(root.host(PackageDatabase::recordDir(p))))
            names.insert(e.path().filename().string());
        std::string files;
        for (const std::string& n : names) files += n + " ";
        EXPECT_EQ(files, c.files);
    }
    EXPECT_EQ(root.read("/flash/var/pdb/bare/deps"), "");
}

// A replacement keeps the record directory: lists the new version does not
// have must not survive from the old one.
TEST_F(DatabaseTest, ReplacementDropsListsTheNewVersionLacks) {
    InstalledPackage old = samplePackage();
    old.bundleRef = PackageRef{"suite", V1, V1};
    writeAndApply(old);
    load();
    InstalledPackage next("tool");
    next.version = V2;
    next.isBundle = 1;
    FileManifest manifest;
    PackageDatabase::removeRecord(*installer.packages.at(0), manifest);
    ASSERT_TRUE(manifest.reclaimDirectory(PackageDatabase::recordDir(next)));
    ASSERT_TRUE(PackageDatabase::writeRecord(Installer::instance(), next, manifest));
    manifest.apply(false);
    EXPECT_EQ(filesBelow("/flash/var/pdb/tool"),
              "/flash/var/pdb/tool/deps\n/flash/var/pdb/tool/version\n");
    load();
    EXPECT_EQ(describe(*installer.packages.at(0)), describe(next));
}

TEST_F(DatabaseTest, FailedMetaWriteIsReportedAndStopsTheRecord) {
    const struct {
        int errorNumber;
        long failingWrite;  // 1 version, 2 deps, 3 provides
        const char* message;
        const char* staged;
    } cases[] = {
        {ENOSPC, 1, "disk is too small", "version "},
        {EIO, 2, "disk error", "deps version "},
        {EACCES, 3, "could not create meta/provides: Permission denied", "deps provides version "},
    };
    for (const auto& c : cases) {
        CapturedOutput out;
        InstalledPackage p = samplePackage();
        FileManifest manifest;
        rootfs::faults::arm(rootfs::faults::WRITE, c.failingWrite, c.errorNumber);
        EXPECT_FALSE(PackageDatabase::writeRecord(Installer::instance(), p, manifest));
        rootfs::faults::disarm();
        EXPECT_EQ(out.text(),
                  "ERROR: installation of tool-6.40.1 failed: " + std::string(c.message) + "\n");
        std::string staged;  // nothing after the failed file
        for (const auto& entry : manifest.entries()) staged += entry.first.substr(20) + " ";
        EXPECT_EQ(staged, c.staged);
        manifest.cancel();
    }
}

// A reference name that the list files cannot hold (empty, or with white
// space) would read back as another entry or not at all, and the next
// start-up would schedule the package for removal: the record is refused.
// A bundle member is loaded from its bundle's image, so its record is kept.
TEST_F(DatabaseTest, NamesTheListsCannotHoldRefuseTheRecord) {
    const char* names[] = {"", "foo bar", "tab\tname", "line\nfeed"};
    for (const char* name : names) {
        for (int list = 0; list < 3; ++list) {
            SCOPED_TRACE(std::string(name) + " in list " + std::to_string(list));
            InstalledPackage p = samplePackage();
            std::vector<PackageRef>* lists[] = {&p.depends, &p.provides, &p.conflicts};
            lists[list]->push_back(PackageRef{name, 0, 0});
            CapturedOutput out;
            FileManifest manifest;
            EXPECT_FALSE(PackageDatabase::writeRecord(Installer::instance(), p, manifest));
            EXPECT_EQ(out.text(), "ERROR: installation of tool-6.40.1 failed: broken package\n");
            EXPECT_TRUE(manifest.empty());

            p.bundleRef = PackageRef{"suite", V1, V1};
            EXPECT_TRUE(PackageDatabase::writeRecord(Installer::instance(), p, manifest));
            manifest.cancel();
        }
    }
}

}  // namespace
