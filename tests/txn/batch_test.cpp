// Within a rootfs::Batch the layer reuses the directories it resolved and
// the staging choice remembers what it found. Both must give what a fresh
// resolution would: a directory moved, removed or replaced by a link during
// the batch is not reached through what was kept, and staging places follow
// the directories and the room there is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_root.h"
#include "tmpfs_mount.h"
#include "fs/faults.h"
#include "txn/manifest.h"
#include "fs/rootfs.h"

namespace {

bool refused(int rc, int err) {
    return rc == -1 && errno == err;
}

// Through openat2 and through the plain-path fallback.
class BatchModes : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        rootfs::faults::simulateNoOpenat2(GetParam());
        root.write("/etc/passwd", "root\n");
        root.mkdirs("/ram");
    }
    void TearDown() override { rootfs::faults::simulateNoOpenat2(false); }
    // Absolute links resolve inside the root through openat2 only.
    std::string etcLink() const { return GetParam() ? "../etc" : "/etc"; }
    TempRoot root;
};

INSTANTIATE_TEST_SUITE_P(Resolution, BatchModes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fallback" : "Openat2"; });

TEST_P(BatchModes, ADirectoryMovedAwayIsNotReachedThroughWhatWasKept) {
    root.mkdirs("/flash/a");
    rootfs::Batch batch;
    EXPECT_EQ(rootfs::truncateCreate("/flash/a/x"), 0);
    EXPECT_EQ(rootfs::rename("/flash/a", "/flash/old"), 0);
    EXPECT_EQ(rootfs::symlink(etcLink(), "/flash/a"), 0);
    EXPECT_TRUE(refused(rootfs::truncateCreate("/flash/a/y"), ELOOP));
    EXPECT_TRUE(refused(rootfs::mkdir("/flash/a/d", 0755), ELOOP));
    EXPECT_EQ(root.tree("/etc"), "/etc/passwd\n");
    EXPECT_EQ(root.tree("/flash/old"), "/flash/old/x\n");
}

TEST_P(BatchModes, ADirectoryRemovedAndMadeAgainIsTheNewOne) {
    root.mkdirs("/flash/d");
    rootfs::Batch batch;
    EXPECT_EQ(rootfs::truncateCreate("/flash/d/x"), 0);
    EXPECT_EQ(rootfs::unlink("/flash/d/x"), 0);
    EXPECT_EQ(rootfs::rmdir("/flash/d"), 0);
    EXPECT_EQ(rootfs::mkdir("/flash/d", 0755), 0);
    EXPECT_EQ(rootfs::truncateCreate("/flash/d/y"), 0);
    EXPECT_EQ(root.tree("/flash/d"), "/flash/d/y\n");
}

TEST_P(BatchModes, AFileMovedOntoALinkEndsTheWayThroughIt) {
    root.mkdirs("/flash/real");
    root.symlink("real", "/flash/inner");
    rootfs::Batch batch;
    EXPECT_EQ(rootfs::truncateCreate("/flash/inner/x"), 0);
    EXPECT_EQ(rootfs::truncateCreate("/flash/t"), 0);
    EXPECT_EQ(rootfs::renameFile("/flash/t", "/flash/inner"), 0);
    EXPECT_TRUE(refused(rootfs::truncateCreate("/flash/inner/y"), ENOTDIR));
    EXPECT_EQ(root.tree("/flash/real"), "/flash/real/x\n");
}

TEST_P(BatchModes, PlantedLinksAreRefusedEveryTime) {
    root.symlink(etcLink(), "/flash/bin");
    root.mkdirs("/flash/var");
    rootfs::Batch batch;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rootfs::truncateCreate("/flash/var/x"), 0);
        EXPECT_TRUE(refused(rootfs::truncateCreate("/flash/bin/x"), ELOOP));
        EXPECT_TRUE(refused(rootfs::rename("/flash/var/x", "/flash/bin/x"), ELOOP));
    }
    EXPECT_EQ(root.tree("/etc"), "/etc/passwd\n");
}

TEST_P(BatchModes, ManyDirectoriesInTurn) {
    rootfs::Batch batch;
    for (int i = 0; i < 12; ++i) {
        std::string dir = "/flash/d" + std::to_string(i);
        makeDirectories(dir);
        EXPECT_EQ(rootfs::truncateCreate(dir + "/f"), 0);
        EXPECT_EQ(rootfs::renameFile(dir + "/f", "/flash/d0/f" + std::to_string(i)), 0);
    }
    EXPECT_TRUE(root.exists("/flash/d0/f11"));
    EXPECT_FALSE(root.exists("/flash/d11/f"));
}

std::string placeOf(const std::string& temp) {
    return temp.substr(0, temp.rfind('/'));
}

// The temporary file of `target`, staged and closed.
std::string stage(FileManifest& manifest, const std::string& target, uint64_t size) {
    std::unique_ptr<OutFile> out = manifest.createStaged(target, size, 0);
    if (!out->is_open()) return "<none>";
    std::string content(size_t(std::min<uint64_t>(size, 100000)), 'x');
    out->write(content.data(), std::streamsize(content.size()));
    out->close();
    return manifest.entries().at(target).source;
}

TEST_P(BatchModes, StagingFollowsDirectoriesMadeDuringTheBatch) {
    root.mkdirs("/flash");
    FileManifest manifest;
    rootfs::Batch batch;
    EXPECT_EQ(placeOf(stage(manifest, "/flash/n/a", 10)), "/flash");
    EXPECT_EQ(placeOf(stage(manifest, "/flash/n/b", 10)), "/flash");
    makeDirectories("/flash/n");
    EXPECT_EQ(placeOf(stage(manifest, "/flash/n/c", 10)), "/flash/n");
    EXPECT_EQ(placeOf(stage(manifest, "/flash/n/d", UINT64_MAX - 10)), "/ram");
    EXPECT_EQ(placeOf(stage(manifest, "/flash/n/e", 10)), "/flash/n");
    manifest.cancel();
}

// A file system that fills up: within a batch the places are those that a
// fresh look at the free space gives for every file.
TEST(BatchStaging, PlacesFollowTheRoomLeft) {
    std::vector<std::string> places[2];
    for (int withBatch = 0; withBatch < 2; ++withBatch) {
        TempRoot root;
        root.mkdirs("/ram");
        TmpfsMount flash(root.host("/flash"), "2m");
        SKIP_UNLESS_MOUNTED(flash);
        FileManifest manifest;
        {
            std::unique_ptr<rootfs::Batch> batch;
            if (withBatch) batch = std::make_unique<rootfs::Batch>();
            for (int i = 0; i < 40; ++i)
                places[withBatch].push_back(
                    placeOf(stage(manifest, "/flash/d/f" + std::to_string(i), 100000)));
        }
        manifest.cancel();
    }
    EXPECT_EQ(places[1], places[0]);
    ASSERT_EQ(places[0].size(), 40u);
    EXPECT_EQ(places[0].front(), "/flash");
    EXPECT_EQ(places[0].back(), "/ram");
}

}  // namespace
