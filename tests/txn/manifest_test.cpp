// The saved manifest file (what loads, what a save refuses) and taking a
// directory back from a staged removal. (Staging and applying are checked
// through the installer: scenarios and the fault matrix.)
#include "txn/manifest.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "model/console.h"
#include "support/temp_root.h"

namespace {

class ManifestTest : public ::testing::Test {
  protected:
    // The saved form, as a compact view of the entries.
    std::string listing(FileManifest& m) {
        m.save("/listing");
        return root.read("/listing");
    }

    TempRoot root;
    Console console;
};

// A directory to keep is taken back from a staged removal; something else
// staged there, or a file standing there, keeps it from being one.
TEST_F(ManifestTest, ReclaimDirectory) {
    root.mkdirs("/d");
    root.write("/file", "x");
    FileManifest m{root.layer(), console};
    m.stage("/d", EntryKind::Remove, "");
    m.stage("/e", EntryKind::Move, "/s");
    m.stage("/file", EntryKind::Remove, "");
    EXPECT_TRUE(m.reclaimDirectory("/d") && m.reclaimDirectory("/missing"));
    EXPECT_FALSE(m.reclaimDirectory("/e") || m.reclaimDirectory("/file"));
    EXPECT_EQ(listing(m), "M /e /s\n");
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
        FileManifest m{root.layer(), console};
        EXPECT_EQ(m.load("/m"), c.result) << c.text;
        EXPECT_EQ(listing(m), c.entries) << c.text;
    }
    FileManifest m{root.layer(), console};
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
        FileManifest m{root.layer(), console};
        m.stage("/flash/ok", EntryKind::Remove, "");
        m.stage(c.target, c.kind, c.source);
        errno = 0;
        EXPECT_FALSE(m.save("/saved")) << c.target;
        EXPECT_EQ(errno, EINVAL) << c.target;
        EXPECT_FALSE(root.exists("/saved")) << c.target;
    }
}

}  // namespace
