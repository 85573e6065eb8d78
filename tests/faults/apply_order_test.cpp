// The order of the moves of one apply under failing renames and copies: a
// package's record names its new version only once all of its files are in
// place, and no temporary file outlives the apply.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "faults/upgrade_fixture.h"
#include "fs/faults.h"
#include "pdb/layout.h"
#include "support/temp_root.h"
#include "txn/manifest.h"
#include "txn/tmpfs_mount.h"

namespace faults = rootfs::faults;

namespace {

constexpr const char* FILE_A = "/flash/bin/a";
constexpr const char* FILE_LIST = "/flash/var/pdb/p/files";
constexpr const char* VERSION = "/flash/var/pdb/p/version";
constexpr const char* IMAGE = "/flash/var/pdb/p/image";
constexpr const char* PACKAGE_FILE = "/flash/rw/pckg/p.qpk";

class ApplyOrder : public ::testing::Test {
  protected:
    ApplyOrder() {
        for (const char* dir : {"/flash/bin", "/flash/var/pdb/p", "/ram"}) root.mkdirs(dir);
        root.write(VERSION, "old\n");
        root.write(PACKAGE_FILE, "package");
    }
    ~ApplyOrder() override { faults::disarm(); }

    void stage(FileManifest& manifest, const char* target, uint64_t sizeHint = 16) {
        std::unique_ptr<OutFile> out = manifest.createStaged(target, sizeHint, 0);
        *out << "new " << target;
        ASSERT_TRUE(out->close());
    }
    bool isNew(const char* target) const {
        return root.exists(target) && root.read(target) == std::string("new ") + target;
    }

    TempRoot root;
};

struct FailingRename {
    long nth;  // 0: none
    bool a, fileList, version, image;
};

TEST_F(ApplyOrder, RecordFilesFollowOnlyWhenEverythingBeforeThemMoved) {
    // Renames in order: the files, then "version", then "image".
    const FailingRename cases[] = {
        {0, true, true, true, true},    {1, false, true, false, false},
        {2, true, false, false, false}, {3, true, true, false, false},
        {4, true, true, true, false},
    };
    for (const FailingRename& c : cases) {
        SCOPED_TRACE(c.nth);
        root.write(VERSION, "old\n");
        root.write(PACKAGE_FILE, "package");
        for (const char* t : {FILE_A, FILE_LIST, IMAGE}) ::unlink(root.host(t).c_str());
        FileManifest manifest(applyRank);
        stage(manifest, FILE_A);
        stage(manifest, FILE_LIST);
        stage(manifest, VERSION);
        manifest.stageMove(PACKAGE_FILE, IMAGE);
        faults::arm(faults::RENAME, c.nth, EIO);
        manifest.apply(false);
        faults::disarm();

        EXPECT_EQ(isNew(FILE_A), c.a);
        EXPECT_EQ(isNew(FILE_LIST), c.fileList);
        EXPECT_EQ(isNew(VERSION), c.version);
        if (!c.version) {
            EXPECT_EQ(root.read(VERSION), "old\n");
        }
        // The package file stays where it was found until it is the image.
        EXPECT_EQ(root.exists(IMAGE), c.image);
        EXPECT_EQ(root.exists(PACKAGE_FILE), !c.image);
        EXPECT_EQ(faulttest::temporaries(root.path()), "");
    }
}

TEST_F(ApplyOrder, SourceMovedByAnInterruptedCommitDoesNotHoldBackTheRecord) {
    // A saved manifest applied a second time: the first move's source is gone.
    root.write("/ram/staged-version", "new\n");
    FileManifest manifest(applyRank);
    manifest.stageMove("/ram/gone", FILE_A);
    manifest.stageMove("/ram/staged-version", VERSION);
    manifest.apply(false);
    EXPECT_EQ(root.read(VERSION), "new\n");
}

TEST_F(ApplyOrder, CopyAcrossFileSystemsLeavesNoTemporary) {
    TmpfsMount ram(root.host("/ram"), "1m");
    SKIP_UNLESS_MOUNTED(ram);
    struct Case {
        long failingWrite;  // 0: none
        bool copied;
    };
    for (const Case c : {Case{0, true}, Case{1, false}}) {
        SCOPED_TRACE(c.failingWrite);
        root.write(FILE_A, "old");
        root.write(VERSION, "old\n");
        FileManifest manifest(applyRank);
        stage(manifest, FILE_A, 0);  // no size hint: staged in /ram
        stage(manifest, VERSION);
        faults::arm(faults::WRITE, c.failingWrite, ENOSPC);
        manifest.apply(false);
        faults::disarm();
        EXPECT_EQ(isNew(FILE_A), c.copied);
        if (!c.copied) {
            EXPECT_EQ(root.read(FILE_A), "old");
        }
        EXPECT_EQ(isNew(VERSION), c.copied);
        EXPECT_EQ(faulttest::temporaries(root.path()), "");
    }
}

}  // namespace
