#include "fs/rootfs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/temp_root.h"
#include "fs/faults.h"

namespace {

std::string readAll(const std::string& path) {
    int fd = rootfs::open(path, O_RDONLY);
    if (fd < 0) return "<missing>";
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    return std::string(buf, n > 0 ? size_t(n) : 0);
}

mode_t hostMode(const std::string& hostPath) {
    struct stat st;
    return ::stat(hostPath.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The ordinary operations behave alike through openat2 and through the
// plain-path fallback of kernels without it.
class RootfsModes : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { rootfs::faults::simulateNoOpenat2(GetParam()); }
    void TearDown() override { rootfs::faults::simulateNoOpenat2(false); }
    TempRoot root;
};

INSTANTIATE_TEST_SUITE_P(Resolution, RootfsModes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fallback" : "Openat2"; });

TEST_P(RootfsModes, TrailingSlashesNameTheDirectory) {
    const std::string dir = "/flash/var/pdb/x/";
    root.mkdirs("/flash/var/pdb");
    ASSERT_EQ(rootfs::mkdir(dir, 0755), 0);
    struct stat st;
    ASSERT_EQ(rootfs::stat(dir, &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(rootfs::lstat(dir, &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(rootfs::unlink(dir), -1);
    EXPECT_EQ(errno, EISDIR);  // apply relies on this to empty directories
    EXPECT_EQ(rootfs::rmdir(dir), 0);
    EXPECT_FALSE(root.exists("/flash/var/pdb/x"));
    EXPECT_EQ(rootfs::stat("", &st), -1);
}

TEST_P(RootfsModes, NameOperations) {
    root.write("/a/f", "one");
    EXPECT_EQ(rootfs::rename("/a/f", "a/g"), 0);  // relative paths start at the root
    EXPECT_EQ(root.read("/a/g"), "one");
    EXPECT_EQ(rootfs::symlink("g", "/a/l"), 0);
    EXPECT_EQ(readAll("/a/l"), "one");
    EXPECT_EQ(rootfs::chmod("/a/l", 0640), 0);
    EXPECT_EQ(hostMode(root.host("/a/g")), 0640u);
    struct stat st;
    ASSERT_EQ(rootfs::lstat("/a/l", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    std::vector<std::string> names{"stale"};
    ASSERT_TRUE(rootfs::listDirectory("/a", names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"g", "l"}));
    EXPECT_FALSE(rootfs::listDirectory("/a/g", names));
    EXPECT_EQ(rootfs::unlink("/a/l"), 0);
    EXPECT_FALSE(rootfs::exists("/a/l"));
}

TEST_P(RootfsModes, MkstempMakesPrivateUniqueFiles) {
    root.mkdirs("/ram");
    std::string first = "/ram/tmpXXXXXX", second = first;
    int fd1 = rootfs::mkstemp(first);
    int fd2 = rootfs::mkstemp(second);
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);
    ::close(fd1);
    ::close(fd2);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind("/ram/tmp", 0), 0u);
    EXPECT_NE(first.substr(8), "XXXXXX");
    EXPECT_EQ(hostMode(root.host(first)), 0600u);

    std::string bad = "/ram/tmpXXXXX";
    EXPECT_EQ(rootfs::mkstemp(bad), -1);
    EXPECT_EQ(errno, EINVAL);
    std::string missing = "/nowhere/tmpXXXXXX";
    EXPECT_EQ(rootfs::mkstemp(missing), -1);
    EXPECT_EQ(missing, "/nowhere/tmpXXXXXX");  // left unchanged on failure
}

TEST(Rootfs, AbsoluteLinksResolveInsideTheRoot) {
    TempRoot root;
    root.write("/etc/marker", "inside");
    root.symlink("/etc", "/flash/etc");
    root.symlink("../../../../../../..", "/flash/up");
    EXPECT_EQ(readAll("/flash/etc/marker"), "inside");
    struct stat st;
    // The host has /etc/passwd; the root has none, whichever way it is named.
    ASSERT_EQ(::stat("/etc/passwd", &st), 0);
    for (const char* path : {"/flash/etc/passwd", "/../../../../etc/passwd", "/flash/up/etc/passwd",
                             "../etc/passwd"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(rootfs::stat(path, &st), -1);
        EXPECT_EQ(rootfs::open(path, O_RDONLY), -1);
    }
}

TEST(Rootfs, ChangesThroughLinksStayInsideTheRoot) {
    TempRoot root;
    TempRoot outside;  // a host directory the root's links name
    // Outside /flash, where a link leading out of the flash is no refusal.
    rootfs::setRoot(root.path());
    outside.write("/f", "host");
    ::chmod(outside.host("/f").c_str(), 0644);
    root.symlink(outside.path(), "/data/out");
    root.symlink(outside.host("/f"), "/data/outfile");
    root.mkdirs(outside.path());  // the same path inside the root

    EXPECT_EQ(rootfs::truncateCreate("/data/out/new"), 0);
    EXPECT_EQ(rootfs::mkdir("/data/out/dir", 0755), 0);
    EXPECT_EQ(rootfs::symlink("x", "/data/out/link"), 0);
    EXPECT_EQ(rootfs::chmod("/data/outfile", 0600), -1);
    EXPECT_EQ(outside.tree(), "/f\n");
    EXPECT_EQ(hostMode(outside.host("/f")), 0644u);
    EXPECT_TRUE(root.exists(outside.path() + "/new"));
    EXPECT_TRUE(root.exists(outside.path() + "/dir"));
    EXPECT_TRUE(root.exists(outside.path() + "/link"));
}

TEST(Rootfs, ProcessRootUsesHostPaths) {
    TempRoot root;
    ASSERT_TRUE(rootfs::setRoot("/"));
    std::string dir = root.host("/d/");
    EXPECT_EQ(rootfs::mkdir(dir, 0755), 0);
    EXPECT_EQ(rootfs::truncateCreate(dir + "f"), 0);
    EXPECT_EQ(rootfs::rename(dir + "f", dir + "g"), 0);
    EXPECT_EQ(rootfs::unlink(dir), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(rootfs::exists(dir + "g"));
    EXPECT_FALSE(rootfs::setRoot(root.host("/missing")));
}

TEST(RootfsFaults, NthCreateFails) {
    TempRoot root;
    root.mkdirs("/d");
    rootfs::faults::arm(rootfs::faults::CREATE, 2, ENOSPC);
    std::string pattern = "/d/tmpXXXXXX";
    int fd = rootfs::open("/d/a", O_WRONLY | O_CREAT, 0644);
    EXPECT_GE(fd, 0);
    ::close(fd);
    fd = rootfs::open("/d/a", O_RDONLY);  // not counted: no O_CREAT
    EXPECT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(rootfs::mkstemp(pattern), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(rootfs::truncateCreate("/d/b"), 0);
    EXPECT_EQ(rootfs::faults::count(), 3);
    rootfs::faults::disarm();
    EXPECT_EQ(root.tree("/d"), "/d/a\n/d/b\n");
}

}  // namespace
