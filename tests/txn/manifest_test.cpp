#include "txn/manifest.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "model/console.h"
#include "support/temp_root.h"
#include "txn/faults_armed.h"

namespace {

// Failed calls go to standard error as in the installer.
Console& testConsole() {
    static Console console;
    return console;
}

constexpr uint64_t HUGE_FILE = UINT64_MAX - 10;

class ManifestTest : public ::testing::Test {
  protected:
    // The saved form, as a compact view of the entries.
    std::string listing(const FileManifest& m) {
        m.save("/listing");
        return root.read("/listing");
    }
    std::string stageFile(const std::string& target, const std::string& content, uint64_t hint = 0,
                          mode_t mode = 0) {
        auto out = manifest.createStaged(target, hint, mode);
        EXPECT_TRUE(out->is_open());
        *out << content;
        EXPECT_TRUE(out->close());
        return manifest.entries().at(target).source;
    }
    mode_t modeOf(const std::string& inside) {
        struct stat st {};
        ::lstat(root.host(inside).c_str(), &st);
        return st.st_mode;
    }

    TempRoot root;
    FileManifest manifest{root.layer(), testConsole()};
};

// The temporary goes next to the target when that file system has room,
// else to /ram, else /tmp; when none can be made nothing is staged.
TEST_F(ManifestTest, CreateStagedPlacesTheTemporaryByFreeSpace) {
    root.mkdirs("/flash/var");
    root.mkdirs("/ram");
    std::string temp = stageFile("/flash/var/pdb/new/files", "data", 100, 0755);
    EXPECT_EQ(temp.rfind("/flash/var/tmp", 0), 0u) << temp;
    EXPECT_EQ(root.read(temp), "data");
    EXPECT_EQ(modeOf(temp) & 07777, 0755u);
    EXPECT_EQ(stageFile("/flash/big", "x", HUGE_FILE).rfind("/ram/tmp", 0), 0u);
    EXPECT_EQ(stageFile("/flash/small", "x", 0).rfind("/ram/tmp", 0), 0u);
    rootfs::faults::arm(rootfs::faults::CREATE, 1, ENOSPC);
    EXPECT_FALSE(manifest.createStaged("/flash/f", 0, 0644)->is_open());
    rootfs::faults::disarm();
    EXPECT_EQ(manifest.entries().count("/flash/f"), 0u);
    ::rename(root.host("/ram").c_str(), root.host("/ram.gone").c_str());
    ::mkdir(root.host("/tmp").c_str(), 0755);
    EXPECT_EQ(stageFile("/flash/small", "y", 0).rfind("/tmp/tmp", 0), 0u);
    EXPECT_FALSE(manifest.createStaged("/flash/big2", HUGE_FILE, 0644)->is_open());
}

// A staged temporary belongs to the manifest: it goes when its entry is
// replaced, dropped or cancelled, and nothing else does.
TEST_F(ManifestTest, StagedTemporariesGoWithTheirEntries) {
    root.mkdirs("/ram");
    root.write("/src", "s");
    root.write("/gone", "g");
    std::string first = stageFile("/flash/f", "1");
    std::string second = stageFile("/flash/f", "2");
    EXPECT_FALSE(root.exists(first));
    manifest.stage("/flash/f", EntryKind::Move, second);
    EXPECT_TRUE(root.exists(second));  // the same file staged again stays
    std::string third = stageFile("/flash/g", "3");
    manifest.stageMove("/ram/other", "/flash/g");
    EXPECT_FALSE(root.exists(third));
    // Removal of a path that is not there drops its entry; a dangling link is
    // still something to remove.
    std::string fourth = stageFile("/flash/h", "4");
    manifest.stageRemove("/flash/h");
    EXPECT_FALSE(root.exists(fourth));
    root.symlink("/nowhere", "/flash/dangling");
    manifest.stageRemove("/flash/dangling");
    EXPECT_EQ(listing(manifest),
              "U /flash/dangling\nM /flash/f " + second + "\nM /flash/g /ram/other\n");
    // Cancelling deletes the staged temporaries and nothing else.
    stageFile("/flash/i", "5");
    manifest.stageSymlink("/src", "/t3");
    manifest.stageRemove("/gone");
    manifest.cancel();
    EXPECT_TRUE(manifest.empty());
    EXPECT_EQ(root.tree(), "/flash/dangling -> /nowhere\n/gone\n/listing\n" + second + "\n/src\n");
}

TEST_F(ManifestTest, ReclaimDirectory) {
    root.mkdirs("/d");
    root.write("/file", "x");
    struct Case {
        const char* path;
        const char* staged;  // "M", "U" or nothing
        bool result, entryKept;
    } cases[] = {
        {"/d", "M", false, true},      // something else goes there
        {"/d", "U", true, false},      // removal withdrawn
        {"/file", "U", false, false},  // a file stands there
        {"/missing", "", true, false}, {"/d", "", true, false},
    };
    for (const Case& c : cases) {
        FileManifest m{root.layer(), testConsole()};
        if (*c.staged)
            m.stage(c.path, *c.staged == 'M' ? EntryKind::Move : EntryKind::Remove, "/s");
        EXPECT_EQ(m.reclaimDirectory(c.path), c.result) << c.path << c.staged;
        EXPECT_EQ(m.entries().count(c.path), c.entryKept ? 1u : 0u) << c.path << c.staged;
    }
}

TEST_F(ManifestTest, ApplyDoesLinksAndRemovalsBeforeAnyMove) {
    root.mkdirs("/ram");
    root.write("/flash/old", "old");
    root.write("/flash/dir/file", "f");
    root.write("/flash/dir/.keep", "k");
    root.write("/flash/dir/sub/inner", "i");
    root.write("/blocker", "a file where a directory is needed");
    root.write("/m/removed", "r");
    root.write("/m/linked", "l");
    manifest.stageRemove("/flash/dir");
    stageFile("/flash/old", "new", 100, 0640);
    stageFile("/flash/deep/er/file", "deep");
    manifest.stageSymlink("../old", "/flash/links/l");
    manifest.stageSymlink("x", "/blocker/l");
    // Both moves sort before the entries that change their sources: the
    // removal deletes one source and the link replaces the other first.
    manifest.stageMove("/m/removed", "/a1");
    manifest.stageMove("/m/linked", "/a2");
    manifest.stageRemove("/m/removed");
    manifest.stageSymlink("text", "/m/linked");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(manifest.apply(false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "symlink: Not a directory\nrename: No such file or directory\n");
    EXPECT_EQ(manifest.entries().size(), 9u);  // applying keeps the entries
    EXPECT_FALSE(root.exists("/a1"));
    EXPECT_TRUE(S_ISLNK(modeOf("/a2")));
    EXPECT_EQ(root.read("/flash/old"), "new");
    EXPECT_EQ(modeOf("/flash/old") & 07777, 0640u);
    EXPECT_EQ(root.read("/flash/deep/er/file"), "deep");
    EXPECT_EQ(root.read("/flash/links/l"), "new");
    // One level emptied: the dot file and the subdirectory stay, so does the directory.
    EXPECT_EQ(root.tree("/flash/dir"), "/flash/dir/.keep\n/flash/dir/sub/inner\n");
    EXPECT_EQ(root.tree("/ram"), "");
}

// Every field is the rest of the line after the first two blanks; an empty
// line ends the file; a malformed line fails the load after what came before.
TEST_F(ManifestTest, LoadEdgeCases) {
    const char* saved = "L /a link text\nM /a/x /src with blanks\nM /b /ram/tmpX\nU /c\n";
    struct Case {
        const char* text;
        bool result;
        const char* entries;  // as saved afterwards
    } cases[] = {
        {saved, true, saved},
        {"", true, ""},
        {"\nU /a\n", true, ""},
        {"U /a\n\nU /b\n", true, "U /a\n"},
        {"U /a\nU\nU /b\n", false, "U /a\n"},
        {"U /a\nU \n", false, "U /a\n"},
        {"M /a\n", false, ""},
        {"L /a \n", false, ""},
        {"X /a b\nU /c", true, "U /c\n"},
        {"U /a\nM /a /s\n", true, "M /a /s\n"},
    };
    for (const Case& c : cases) {
        root.write("/m", c.text);
        FileManifest m{root.layer(), testConsole()};
        EXPECT_EQ(m.load("/m"), c.result) << c.text;
        EXPECT_EQ(listing(m), c.entries) << c.text;
    }
    FileManifest m{root.layer(), testConsole()};
    EXPECT_FALSE(m.load("/missing"));
}

// An entry that the file cannot hold faithfully makes save fail without
// writing: read back, "U /var/pdb/foo bar/files" would remove /var/pdb/foo.
TEST_F(ManifestTest, SaveRefusesEntriesThatWouldLoadBackAsOthers) {
    struct Case {
        const char* target;
        EntryKind kind;
        const char* source;
    } cases[] = {
        {"/flash/var/pdb/foo bar/files", EntryKind::Remove, ""},
        {"/flash/a b", EntryKind::Move, "/ram/tmpAAAAAA"},
        {"/flash/a\nU /flash/b", EntryKind::Symlink, "text"},
        {"", EntryKind::Remove, ""},
        {"/flash/a", EntryKind::Move, "/ram/x\nU /flash/b"},
        {"/flash/a", EntryKind::Symlink, ""},
    };
    for (const Case& c : cases) {
        FileManifest m{root.layer(), testConsole()};
        m.stage("/flash/ok", EntryKind::Remove, "");
        m.stage(c.target, c.kind, c.source);
        errno = 0;
        EXPECT_FALSE(m.save("/saved")) << c.target;
        EXPECT_EQ(errno, EINVAL) << c.target;
        EXPECT_FALSE(root.exists("/saved")) << c.target;
    }
}

TEST_F(ManifestTest, CopiesAcrossFileSystems) {
    // A small tmpfs at /ram: a second file system.
    const std::string ram = root.host("/ram");
    ::mkdir(ram.c_str(), 0755);
    if (::mount("tmpfs", ram.c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "mounting needs root";
    std::shared_ptr<void> unmount(nullptr, [&ram](void*) { ::umount2(ram.c_str(), MNT_DETACH); });
    root.write("/flash/f", "old");
    const std::string content(100000, 'c');
    std::string temp = stageFile("/flash/f", content, HUGE_FILE, 0751);
    ASSERT_EQ(temp.rfind("/ram/", 0), 0u);
    EXPECT_TRUE(manifest.apply(false));
    EXPECT_EQ(root.read("/flash/f"), content);
    EXPECT_EQ(modeOf("/flash/f") & 07777, 0751u);
    EXPECT_EQ(root.tree("/flash") + root.tree("/ram"), "/flash/f\n");
    // A copy that fails leaves the old target and no temporary behind.
    stageFile("/flash/f", "newer", HUGE_FILE);
    rootfs::faults::arm(rootfs::faults::WRITE, 1, ENOSPC);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(manifest.apply(false));
    rootfs::faults::disarm();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "copy: No space left on device\n");
    EXPECT_EQ(root.read("/flash/f"), content);
    EXPECT_EQ(root.tree("/flash") + root.tree("/ram"), "/flash/f\n");
}

}  // namespace
