// Changes below /flash stay inside /flash: a link planted in the flash that
// leads elsewhere makes the change fail with ELOOP, whether the layer
// resolves inside a root with openat2 or through the plain-path fallback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "fs/rootfs.h"
#include "support/temp_root.h"
#include "support/tree.h"
#include "txn/faults_armed.h"

namespace {

const std::string PASSWD = "root:x:0:0\n";

// Absolute links resolve inside the root through openat2; the plain-path
// fallback would resolve them on the host, so it gets
// relative ones that lead to the same places.
void plant(const TempRoot& root, bool absolute) {
    root.write("/etc/passwd", PASSWD);
    root.write("/ram/t", "moved\n");
    root.mkdirs("/flash/real");
    root.mkdirs("/flash/var/pdb/a");
    root.symlink(absolute ? "/etc" : "../etc", "/flash/bin");
    root.symlink("../etc", "/flash/rel");
    root.symlink("..", "/flash/up");
    root.symlink(absolute ? "/" : "../../..", "/flash/var/pdb/x");
    root.symlink("real", "/flash/inner");
    root.symlink(absolute ? "/etc/passwd" : "../etc/passwd", "/flash/passwd");
    root.symlink("/flash/bootimage", "/flash/var/pdb/a/image");
}

// Runs the changes in order and returns those that did not go as they must.
std::string failedChecks(rootfs::Root& fs) {
    std::string failed;
    auto check = [&failed](const char* what, bool ok) {
        if (!ok) failed += std::string(what) + " (errno " + std::to_string(errno) + ")\n";
    };
    auto refused = [&check](const char* what, int rc) { check(what, rc == -1 && errno == ELOOP); };
    for (const char* path : {"/flash/bin/x", "/flash/rel/x", "/flash/up/etc/x", "/flash/../etc/x",
                             "//flash/./bin/x", "flash/bin/x"})
        refused(path, fs.truncateCreate(path));
    refused("exclusive create", fs.open("/flash/bin/tmp", O_RDWR | O_CREAT | O_EXCL, 0600));
    refused("truncate", fs.open("/flash/bin/passwd", O_WRONLY | O_TRUNC));
    refused("rename onto", fs.rename("/ram/t", "/flash/bin/passwd"));
    refused("rename away", fs.rename("/flash/bin/passwd", "/ram/stolen"));
    refused("unlink", fs.unlink("/flash/bin/passwd"));
    refused("unlink through the database", fs.unlink("/flash/var/pdb/x/etc/passwd"));
    refused("mkdir", fs.mkdir("/flash/bin/d", 0755));
    refused("symlink", fs.symlink("x", "/flash/bin/l"));
    refused("chmod", fs.chmod("/flash/bin/passwd", 0600));
    // The last component is never followed.
    refused("write through a final link", fs.open("/flash/passwd", O_WRONLY | O_APPEND));
    refused("chmod through a final link", fs.chmod("/flash/passwd", 0600));
    // Reading is no change, and links that stay inside /flash keep working.
    struct stat st;
    check("read through a link", fs.stat("/flash/bin/passwd", &st) == 0);
    check("create through an inner link", fs.truncateCreate("/flash/inner/x") == 0);
    check("rename through an inner link", fs.rename("/flash/inner/x", "/flash/inner/y") == 0);
    check("exclusive create in the flash",
          fs.open("/flash/var/tmp", O_RDWR | O_CREAT | O_EXCL, 0600) >= 0);
    check("plain create", fs.truncateCreate("/flash/var/pdb/a/version") == 0);
    // A final link is replaced or removed as a link.
    check("replace the image link",
          fs.unlink("/flash/var/pdb/a/image") == 0 &&
              fs.symlink("/flash/bootimage", "/flash/var/pdb/a/image") == 0);
    check("rename onto a final link", fs.rename("/ram/t", "/flash/passwd") == 0);
    check("unlink a link to a directory", fs.unlink("/flash/var/pdb/x/") == 0);
    return failed;
}

enum Resolution { Openat2, Fallback };
const char* const RESOLUTION_NAMES[] = {"Openat2", "Fallback"};

class FlashGuard : public ::testing::TestWithParam<Resolution> {
  protected:
    void TearDown() override { rootfs::faults::simulateNoOpenat2(false); }
};

INSTANTIATE_TEST_SUITE_P(Resolution, FlashGuard, ::testing::Values(Openat2, Fallback),
                         [](const auto& info) { return RESOLUTION_NAMES[info.param]; });

// On the router the root is the process's own, entered with chroot: the
// hostile catalogue, run as root, plants links at every place the installer
// writes and checks the guard there.
TEST_P(FlashGuard, ChangesStayInTheFlash) {
    TempRoot root;
    plant(root, GetParam() == Openat2);
    rootfs::faults::simulateNoOpenat2(GetParam() == Fallback);
    EXPECT_EQ(failedChecks(root.layer()), "");
    EXPECT_EQ(root.read("/etc/passwd"), PASSWD);
    EXPECT_EQ(tree::leaves(tree::snapshot(root.host("/etc"))), std::vector<std::string>{"passwd"});
    EXPECT_EQ(root.read("/flash/passwd"), "moved\n");  // the link was replaced
    EXPECT_TRUE(root.exists("/flash/real/y"));
    EXPECT_TRUE(root.exists("/flash/var/pdb/a/version"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/x"));
}

}  // namespace
