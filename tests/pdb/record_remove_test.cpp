#include <unistd.h>

#include "database_fixture.h"

namespace {

TEST_F(DatabaseTest, InstalledPackageIsRemovedCompletely) {
    root.write("/flash/bin/other", "not ours");
    InstalledPackage p("tool");
    p.version = makeVersion(6, 40, 'f', 0);
    // Files staged and recorded as extraction does it.
    FileManifest manifest;
    for (const char* path : {"/flash/bin/tool", "/flash/lib/libtool.so", "/flash/x/tool/etc/rc"}) {
        *manifest.createStaged(path, 16, 0755) << "contents";
        p.files.insert(path);
    }
    ASSERT_TRUE(PackageDatabase::writeRecord(Installer::instance(), p, manifest));
    manifest.apply(false);
    EXPECT_EQ(root.read("/flash/var/pdb/tool/files"),
              "flash/bin/tool\nflash/lib/libtool.so\nflash/x/tool/etc/rc\n");
    EXPECT_EQ(root.read("/flash/bin/tool"), "contents");

    load();
    InstalledPackage& loaded = *installer.packages.at(0);
    loaded.scheduledAction = ACTION_UNINSTALL;
    removeAndApply(loaded);
    EXPECT_TRUE(loaded.files.empty());
    EXPECT_EQ(loaded.scheduledAction, ACTION_NONE);
    EXPECT_EQ(filesBelow("/flash"), "/flash/bin/other\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/tool"));
}

// Databases written by earlier installers list files in either form.
TEST_F(DatabaseTest, OldFormEntriesAreRemovedToo) {
    root.write("/flash/var/pdb/old/version", "100 0\n");
    root.write("/flash/var/pdb/old/files", "bin/old\nflash/lib/libold.so\n/etc/old.conf");
    for (const char* f : {"/flash/bin/old", "/flash/lib/libold.so", "/flash/etc/old.conf"})
        root.write(f, "x");
    load();
    EXPECT_EQ(installer.packages.at(0)->files,
              (std::set<std::string>{"/bin/old", "/etc/old.conf", "/flash/lib/libold.so"}));
    removeAndApply(*installer.packages[0]);
    EXPECT_EQ(filesBelow("/"), "");
}

// A damaged or planted list must not reach files outside the package's own.
TEST_F(DatabaseTest, EntriesLeadingOutOfFlashOrAtDirectoriesAreNotFollowed) {
    const std::string kept = "/etc/passwd\n/flash/bin/keep\n/flash/bootimage\n/flash/etc/keep\n";
    for (const char* f : {"/etc/passwd", "/flash/bin/keep", "/flash/bootimage", "/flash/etc/keep"})
        root.write(f, "keep");
    root.write("/flash/var/pdb/evil/version", "100 0\n");
    root.write("/flash/var/pdb/evil/files",
               "../../etc/passwd\nbin/../../etc/passwd\nflash/../etc/passwd\n"
               "bin\nbin/.\nflash/etc/\n.\n/\n");
    load();
    removeAndApply(*installer.packages.at(0));
    EXPECT_EQ(filesBelow("/"), kept);

    for (const char* name : {"", ".", "..", "../var", "a/b"}) {
        InstalledPackage p(name);
        FileManifest manifest;
        PackageDatabase::removeRecord(p, manifest);
        EXPECT_TRUE(manifest.empty()) << name;
    }
}

TEST_F(DatabaseTest, BootImageGoesOnlyWithItsLastLinkAndBootPackage) {
    const struct {
        uint32_t flags;
        bool secondLink, remains;
    } cases[] = {{FLAG_BOOT_IMAGE, false, false}, {FLAG_BOOT_IMAGE, true, true}, {0, false, true}};
    for (const auto& c : cases) {
        root.write("/flash/bootimage", "kernel");
        root.write("/flash/var/pdb/kernel/image", "image");
        if (c.secondLink) {
            ASSERT_EQ(::link(root.host("/flash/bootimage").c_str(),
                             root.host("/flash/bootimage.old").c_str()),
                      0);
        }
        InstalledPackage p("kernel");
        p.flags = c.flags;
        removeAndApply(p);
        EXPECT_EQ(root.exists("/flash/bootimage"), c.remains) << c.flags << c.secondLink;
        EXPECT_FALSE(root.exists("/flash/var/pdb/kernel"));
        ::unlink(root.host("/flash/bootimage.old").c_str());
    }
}

TEST(InstalledFilePath, MapsEntriesBelowFlashAndRejectsEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"/flash/bin/x", "/flash/bin/x"},
        {"/bin/x", "/flash/bin/x"},
        {"bin/x", "/flash/bin/x"},
        {"/flash/flash/x", "/flash/flash/x"},
        {"/bin//x", "/flash/bin/x"},
        {"/./bin/./x", "/flash/bin/x"},
        {"/flash", "/flash/flash"},
        {"/../etc/passwd", ""},
        {"/flash/../etc/passwd", ""},
        {"/bin/../../etc/passwd", ""},
        {"/bin/..", ""},
        {"/", ""},
        {"/flash/", ""},
        {"/.", ""},
        {std::string("/bin\0/x", 7), ""},
    };
    for (const auto& [entry, path] : cases) EXPECT_EQ(installedFilePath(entry), path) << entry;
}

}  // namespace
