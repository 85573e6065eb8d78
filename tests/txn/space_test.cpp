#include "txn/space.h"

#include <gtest/gtest.h>
#include <sys/statfs.h>

#include <cstdint>
#include <string>

#include "support/temp_root.h"
#include "tmpfs_mount.h"
#include "txn/manifest.h"

namespace {

constexpr int64_t RESERVE = 32768;

// "/flash" and "/flash/boot" are small tmpfs instances; staged sources lie
// in "/ram" on the temporary root's own file system, so moving them costs.
class SpaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!flash.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs for /flash";
        root.mkdirs("/ram");
    }
    void mountBoot() { boot = std::make_unique<TmpfsMount>(root.host("/flash/boot"), "512k"); }
    // Free bytes now, and the block size.
    int64_t freeBytes(const char* inside, int64_t* blockSize = nullptr) {
        struct statfs fs;
        EXPECT_EQ(::statfs(root.host(inside).c_str(), &fs), 0);
        if (blockSize) *blockSize = int64_t(fs.f_bsize);
        return int64_t(fs.f_bfree) * int64_t(fs.f_bsize);
    }

    TempRoot root;
    TmpfsMount flash{root.host("/flash"), "1m"};
    std::unique_ptr<TmpfsMount> boot;
    FileManifest manifest;
    int64_t bootSpare = 0, flashSpare = 0;
};

TEST_F(SpaceTest, LinksAndSameDeviceMovesCostNothing) {
    mountBoot();
    root.write("/flash/staged", std::string(9000, 's'));
    manifest.stageSymlink("/flash/x", "/flash/link");
    manifest.stageMove("/flash/staged", "/flash/new/dir/file");  // nearest ancestor: /flash
    int64_t flashFree = freeBytes("/flash"), bootFree = freeBytes("/flash/boot");
    EXPECT_TRUE(estimateSpace(manifest, bootSpare, flashSpare));
    EXPECT_EQ(flashSpare, flashFree);
    EXPECT_EQ(bootSpare, bootFree);
}

TEST_F(SpaceTest, ReserveOnlyWhenBlocksAreTaken) {
    int64_t bs = 0;
    struct Case {
        int64_t sourceBlocks, sourceExtra, oldBlocks, expectedBlocks;
        bool reserve;
    } cases[] = {
        {1, 0, 1, 0, false},  // frees as much as it takes
        {0, 1, 0, -1, true},  // one byte takes a block
        {1, 1, 0, -2, true},  // rounded up
        {0, 1, 2, 1, false},  // frees more than it takes
        {0, 0, 0, 0, false},  // an empty file takes nothing
    };
    freeBytes("/flash", &bs);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expectedBlocks);
        FileManifest m;
        root.write("/ram/src", std::string(size_t(c.sourceBlocks * bs + c.sourceExtra), 'n'));
        ::unlink(root.host("/flash/f").c_str());
        if (c.oldBlocks) root.write("/flash/f", std::string(size_t(c.oldBlocks * bs), 'o'));
        m.stageMove("/ram/src", "/flash/f");
        int64_t before = freeBytes("/flash");
        EXPECT_EQ(estimateSpace(m, bootSpare, flashSpare), true);
        EXPECT_EQ(flashSpare, before + c.expectedBlocks * bs - (c.reserve ? RESERVE : 0));
    }
}

TEST_F(SpaceTest, BootFilesCountOnBothAccounts) {
    mountBoot();
    int64_t bs = 0;
    freeBytes("/flash/boot", &bs);
    root.write("/ram/kernel", std::string(size_t(2 * bs), 'k'));
    root.write("/flash/old", std::string(size_t(bs), 'o'));
    manifest.stageMove("/ram/kernel", "/flash/boot/kernel");
    manifest.stageRemove("/flash/old");                  // frees a block on /flash
    manifest.stageMove("/ram/missing", "/elsewhere/f");  // no account holds it
    int64_t bootFree = freeBytes("/flash/boot"), flashFree = freeBytes("/flash");
    EXPECT_TRUE(estimateSpace(manifest, bootSpare, flashSpare));
    EXPECT_EQ(bootSpare, bootFree - 2 * bs - RESERVE);
    EXPECT_EQ(flashSpare, flashFree - bs - RESERVE);
}

TEST_F(SpaceTest, UnqueryableBootHasNoRoom) {
    root.write("/ram/kernel", std::string(1000, 'k'));
    manifest.stageMove("/ram/kernel", "/flash/boot/kernel");  // no /flash/boot at all
    EXPECT_FALSE(estimateSpace(manifest, bootSpare, flashSpare));
    EXPECT_EQ(bootSpare, -1000 - RESERVE);
    EXPECT_GT(flashSpare, 0);
}

}  // namespace
