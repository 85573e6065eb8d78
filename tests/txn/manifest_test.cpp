#include "txn/manifest.h"
#include "model/console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "model/spinner.h"
#include "support/temp_root.h"
#include "tmpfs_mount.h"
#include "txn/durability.h"
#include "txn/faults_armed.h"

namespace {

// Failed calls go to standard error as in the installer.
Console& testConsole() {
    static Console console;
    return console;
}

class ManifestTest : public ::testing::Test {
  protected:
    // The saved form, as a compact view of the entries.
    std::string listing(const FileManifest& m) {
        m.save("/listing");
        return root.read("/listing");
    }
    std::string stageFile(const std::string& target, const std::string& content,
                          uint64_t hint = 100, mode_t mode = 0) {
        auto out = manifest.createStaged(target, hint, mode);
        EXPECT_TRUE(out->is_open());
        *out << content;
        EXPECT_TRUE(out->close());
        return manifest.entries().at(target).source;
    }
    bool isLink(const std::string& inside) {
        struct stat st;
        return ::lstat(root.host(inside).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }

    TempRoot root;
    FileManifest manifest{testConsole()};
};

TEST_F(ManifestTest, CreateStagedPlacesTheTemporaryByFreeSpace) {
    root.mkdirs("/flash/var");
    root.mkdirs("/ram");
    // The nearest existing ancestor of the target has room.
    std::string temp = stageFile("/flash/var/pdb/new/files", "data", 100, 0755);
    EXPECT_EQ(temp.rfind("/flash/var/tmp", 0), 0u) << temp;
    EXPECT_EQ(root.read(temp), "data");
    struct stat st;
    ASSERT_EQ(::stat(root.host(temp).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    // No room there (or no hint): /ram.
    EXPECT_EQ(stageFile("/flash/big", "x", UINT64_MAX - 10).rfind("/ram/tmp", 0), 0u);
    EXPECT_EQ(stageFile("/flash/small", "x", 0).rfind("/ram/tmp", 0), 0u);
    ::rename(root.host("/ram").c_str(), root.host("/ram.gone").c_str());
    ::mkdir(root.host("/tmp").c_str(), 0755);
    EXPECT_EQ(stageFile("/flash/small", "y", 0).rfind("/tmp/tmp", 0), 0u);
}

TEST_F(ManifestTest, FailedTemporaryStagesNothing) {
    // No "/ram" to fall back on for a file that does not fit.
    auto out = manifest.createStaged("/flash/big", UINT64_MAX - 10, 0644);
    EXPECT_FALSE(out->is_open());
    root.mkdirs("/ram");
    rootfs::faults::arm(rootfs::faults::CREATE, 1, ENOSPC);
    out = manifest.createStaged("/flash/f", 0, 0644);
    rootfs::faults::disarm();
    EXPECT_FALSE(out->is_open());
    EXPECT_TRUE(manifest.empty());
    EXPECT_EQ(root.tree("/ram"), "");
}

TEST_F(ManifestTest, StagingOwnsTemporaryFiles) {
    root.mkdirs("/ram");
    std::string first = stageFile("/flash/f", "1", 0);
    std::string second = stageFile("/flash/f", "2", 0);
    EXPECT_FALSE(root.exists(first));  // replaced by the second
    manifest.stage("/flash/f", EntryKind::Move, second);
    EXPECT_TRUE(root.exists(second));  // the same file staged again stays
    std::string third = stageFile("/flash/g", "3", 0);
    manifest.stageMove("/ram/other", "/flash/g");
    EXPECT_FALSE(root.exists(third));

    // Removal of a path that is not there drops its entry and its temporary.
    std::string fourth = stageFile("/flash/h", "4", 0);
    manifest.stageRemove("/flash/h");
    EXPECT_FALSE(root.exists(fourth));
    EXPECT_EQ(manifest.entries().count("/flash/h"), 0u);
    // A dangling link is still something to remove.
    root.symlink("/nowhere", "/flash/dangling");
    manifest.stageRemove("/flash/dangling");
    EXPECT_EQ(listing(manifest),
              "U /flash/dangling\nM /flash/f " + second + "\nM /flash/g /ram/other\n");
}

TEST_F(ManifestTest, ReclaimDirectory) {
    root.mkdirs("/d");
    root.write("/file", "x");
    struct Case {
        const char* path;
        EntryKind staged;  // Move = nothing staged unless `stageIt`
        bool stageIt;
        bool result;
        bool entryKept;
    } cases[] = {
        {"/d", EntryKind::Move, true, false, true},        // something else goes there
        {"/d", EntryKind::Remove, true, true, false},      // removal withdrawn
        {"/file", EntryKind::Remove, true, false, false},  // a file stands there
        {"/missing", EntryKind::Move, false, true, false},
        {"/d", EntryKind::Move, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FileManifest m{testConsole()};
        if (c.stageIt) m.stage(c.path, c.staged, c.staged == EntryKind::Move ? "/src" : "");
        EXPECT_EQ(m.reclaimDirectory(c.path), c.result);
        EXPECT_EQ(m.entries().count(c.path), c.entryKept ? 1u : 0u);
    }
}

// Parametrised over the two ways of getting the result onto storage.
class ApplyTest : public ManifestTest, public ::testing::WithParamInterface<DurabilityMode> {
  protected:
    void SetUp() override { setDurabilityMode(GetParam()); }
    void TearDown() override { setDurabilityMode(DurabilityMode::SyncAll); }
};

INSTANTIATE_TEST_SUITE_P(Durability, ApplyTest,
                         ::testing::Values(DurabilityMode::SyncAll, DurabilityMode::FsyncEach));

TEST_P(ApplyTest, LinksAndRemovalsComeBeforeAnyMove) {
    // Both moves sort before the entries that change their sources: the
    // removal deletes one source and the link replaces the other before
    // either is moved.
    root.write("/m/removed", "r");
    root.write("/m/linked", "l");
    manifest.stageMove("/m/removed", "/a1");
    manifest.stageMove("/m/linked", "/a2");
    manifest.stageRemove("/m/removed");
    manifest.stageSymlink("text", "/m/linked");
    testing::internal::CaptureStderr();
    manifest.apply(false);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("rename: "), std::string::npos);
    EXPECT_FALSE(root.exists("/a1"));
    EXPECT_TRUE(isLink("/a2"));
    EXPECT_EQ(manifest.entries().size(), 4u);  // applying keeps the entries
}

TEST_P(ApplyTest, AppliesEveryKind) {
    root.mkdirs("/ram");
    root.write("/flash/old", "old");
    root.write("/flash/dir/file", "f");
    root.write("/flash/dir/.keep", "k");
    root.write("/flash/dir/sub/inner", "i");
    root.write("/flash/plain", "p");
    root.write("/blocker", "a file where a directory is needed");
    manifest.stageRemove("/flash/dir");
    manifest.stageRemove("/flash/plain");
    stageFile("/flash/old", "new", 100, 0640);
    stageFile("/flash/deep/er/file", "deep", 0);
    manifest.stageSymlink("../old", "/flash/links/l");
    manifest.stageSymlink("x", "/blocker/l");
    testing::internal::CaptureStderr();
    manifest.apply(false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "symlink: Not a directory\n");
    EXPECT_EQ(root.read("/flash/old"), "new");
    EXPECT_EQ(root.read("/flash/deep/er/file"), "deep");
    EXPECT_EQ(root.read("/flash/links/l"), "new");
    // One level emptied: the dot file and the subdirectory stay, so does the directory.
    EXPECT_EQ(root.tree("/flash/dir"), "/flash/dir/.keep\n/flash/dir/sub/\n/flash/dir/sub/inner\n");
    EXPECT_FALSE(root.exists("/flash/plain"));
    EXPECT_EQ(root.tree("/ram"), "");
}

TEST_F(ManifestTest, CancelDeletesOnlyStagedTemporaries) {
    root.mkdirs("/ram");
    root.write("/src", "s");
    root.write("/gone", "g");
    std::string temp = stageFile("/t1", "t", 0);
    manifest.stageMove("/src", "/t2");
    manifest.stageRemove("/gone");
    manifest.stageSymlink("/src", "/t3");
    manifest.cancel();
    EXPECT_TRUE(manifest.empty());
    EXPECT_FALSE(root.exists(temp));
    EXPECT_EQ(root.tree(), "/gone\n/ram/\n/src\n");
}

TEST_F(ManifestTest, SaveAndLoad) {
    root.mkdirs("/ram");
    std::string temp = stageFile("/b", "x", 0);
    manifest.stageMove("/src with blanks", "/a/x");
    manifest.stageSymlink("link text", "/a");
    manifest.stage("/c", EntryKind::Remove, "");
    std::string saved = "L /a link text\nM /a/x /src with blanks\nM /b " + temp + "\nU /c\n";
    ASSERT_TRUE(manifest.save("/ram/MANIFEST"));
    EXPECT_EQ(root.read("/ram/MANIFEST"), saved);

    FileManifest loaded{testConsole()};
    EXPECT_TRUE(loaded.load("/ram/MANIFEST"));
    EXPECT_EQ(loaded.entries().at("/b").kind, EntryKind::Move);
    EXPECT_EQ(listing(loaded), saved);
    loaded.cancel();  // loaded entries own no files
    EXPECT_TRUE(root.exists(temp));
}

TEST_F(ManifestTest, LoadEdgeCases) {
    struct Case {
        const char* text;
        bool result;
        const char* entries;  // as saved afterwards
    } cases[] = {
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
        SCOPED_TRACE(c.text);
        root.write("/m", c.text);
        FileManifest m{testConsole()};
        EXPECT_EQ(m.load("/m"), c.result);
        EXPECT_EQ(listing(m), c.entries);
    }
    FileManifest m{testConsole()};
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
        SCOPED_TRACE(c.target);
        FileManifest m{testConsole()};
        m.stage("/flash/ok", EntryKind::Remove, "");
        m.stage(c.target, c.kind, c.source);
        errno = 0;
        EXPECT_FALSE(m.save("/saved"));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_FALSE(root.exists("/saved"));
    }
}

TEST(ManifestHelpers, ParentDirectory) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/b", "/a"}, {"/a/b/", "/a"}, {"a/b//", "a"}, {"/a", "/"},
        {"/", "."},     {"a", "."},      {"", "."},
    };
    for (const auto& [path, parent] : cases) EXPECT_EQ(parentDirectory(path), parent) << path;
}

TEST(ManifestHelpers, SpinnerTurnsAtMostOncePer20Ticks) {
    // (tick, printed)
    const std::pair<unsigned, const char*> turns[] = {
        {1000, "|"},   {1015, ""},     {1021, "\b/"}, {1030, ""},
        {1500, "\b-"}, {1500, "\b\\"}, {1500, "\b|"}, {1500, "\b/"},
    };
    Spinner spinner;
    for (const auto& [tick, expected] : turns) {
        char* buf = nullptr;
        size_t size = 0;
        FILE* out = ::open_memstream(&buf, &size);
        spinner.turn(tick, out);
        std::fclose(out);
        EXPECT_EQ(std::string(buf, size), expected) << tick;
        std::free(buf);
    }
}

TEST_F(ManifestTest, CopiesAcrossFileSystems) {
    TmpfsMount ram(root.host("/ram"), "4m");
    SKIP_UNLESS_MOUNTED(ram);
    root.write("/flash/f", "old");
    const std::string content(100000, 'c');
    std::string temp = stageFile("/flash/f", content, UINT64_MAX - 10, 0751);
    ASSERT_EQ(temp.rfind("/ram/", 0), 0u);
    manifest.apply(false);
    EXPECT_EQ(root.read("/flash/f"), content);
    struct stat st;
    ASSERT_EQ(::stat(root.host("/flash/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_FALSE(root.exists(temp));  // the manifest's temporary goes once copied
    EXPECT_EQ(root.tree("/flash"), "/flash/f\n");

    // A copy that fails leaves the old target and no temporary behind.
    stageFile("/flash/f", "newer", UINT64_MAX - 10);
    rootfs::faults::arm(rootfs::faults::WRITE, 1, ENOSPC);
    testing::internal::CaptureStderr();
    manifest.apply(false);
    rootfs::faults::disarm();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "copy: No space left on device\n");
    EXPECT_EQ(root.read("/flash/f"), content);
    EXPECT_EQ(root.tree("/flash"), "/flash/f\n");
}

}  // namespace
