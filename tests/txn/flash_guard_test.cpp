// Changes below /flash stay inside /flash: a link planted in the flash that
// leads elsewhere makes the change fail with ELOOP, whether the layer
// resolves inside a root (openat2 or the plain-path fallback) or works on
// the process's own root, as on the router or after chroot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "fs/rootfs.h"
#include "support/temp_root.h"
#include "txn/faults_armed.h"

namespace {

const std::string PASSWD = "root:x:0:0\n";

// Absolute links resolve inside the root through openat2 and under chroot;
// the plain-path fallback would resolve them on the host, so it gets
// relative ones that lead to the same places.
void plant(const TempRoot& root, bool absolute) {
    root.write("/etc/passwd", PASSWD);
    root.mkdirs("/ram");
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

struct Check {
    const char* what;
    std::function<bool()> holds;
};

bool refused(int rc) {
    return rc == -1 && errno == ELOOP;
}

bool madeTemp(const char* pattern) {
    std::string name = pattern;
    int fd = rootfs::mkstemp(name);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

int readable(const std::string& path) {
    struct stat st;
    return rootfs::stat(path, &st);
}

// Each check changes nothing it should not; the caller then looks at /etc.
std::vector<Check> checks() {
    return {
        {"create through an absolute link",
         [] { return refused(rootfs::truncateCreate("/flash/bin/x")); }},
        {"create through a relative link",
         [] { return refused(rootfs::truncateCreate("/flash/rel/x")); }},
        {"create through a link to the flash's parent",
         [] { return refused(rootfs::truncateCreate("/flash/up/etc/x")); }},
        {"create by climbing", [] { return refused(rootfs::truncateCreate("/flash/../etc/x")); }},
        {"create with odd slashes",
         [] { return refused(rootfs::truncateCreate("//flash/./bin/x")); }},
        {"create on a relative path",
         [] { return refused(rootfs::truncateCreate("flash/bin/x")); }},
        {"temporary file", [] { return !madeTemp("/flash/bin/tmpXXXXXX") && errno == ELOOP; }},
        {"truncate a file",
         [] { return refused(rootfs::open("/flash/bin/passwd", O_WRONLY | O_TRUNC)); }},
        {"rename onto", [] { return refused(rootfs::rename("/ram/t", "/flash/bin/passwd")); }},
        {"rename away", [] { return refused(rootfs::rename("/flash/bin/passwd", "/ram/stolen")); }},
        {"unlink", [] { return refused(rootfs::unlink("/flash/bin/passwd")); }},
        {"unlink through the database",
         [] { return refused(rootfs::unlink("/flash/var/pdb/x/etc/passwd")); }},
        {"mkdir", [] { return refused(rootfs::mkdir("/flash/bin/d", 0755)); }},
        {"symlink", [] { return refused(rootfs::symlink("x", "/flash/bin/l")); }},
        {"chmod", [] { return refused(rootfs::chmod("/flash/bin/passwd", 0600)); }},
        // The last component is never followed.
        {"write through a final link",
         [] { return refused(rootfs::open("/flash/passwd", O_WRONLY | O_APPEND)); }},
        {"chmod through a final link",
         [] { return refused(rootfs::chmod("/flash/passwd", 0600)); }},
        // Reading is not a change.
        {"read through a link", [] { return readable("/flash/bin/passwd") == 0; }},
        // Links that stay inside /flash keep working.
        {"create through an inner link",
         [] { return rootfs::truncateCreate("/flash/inner/x") == 0; }},
        {"rename through an inner link",
         [] { return rootfs::rename("/flash/inner/x", "/flash/inner/y") == 0; }},
        {"temporary file in the flash",
         [] { return madeTemp("/flash/var/tmpXXXXXX") || errno == ENOENT; }},
        {"plain create", [] { return rootfs::truncateCreate("/flash/var/pdb/a/version") == 0; }},
        // A final link is replaced or removed as a link.
        {"replace the image link",
         [] {
             return rootfs::unlink("/flash/var/pdb/a/image") == 0 &&
                    rootfs::symlink("/flash/bootimage", "/flash/var/pdb/a/image") == 0;
         }},
        {"rename onto a final link", [] { return rootfs::rename("/ram/t", "/flash/passwd") == 0; }},
        {"unlink a link to a directory", [] { return rootfs::unlink("/flash/var/pdb/x/") == 0; }},
    };
}

// Runs the checks and returns the names of those that failed.
std::string failedChecks() {
    std::string failed;
    for (const Check& c : checks()) {
        errno = 0;
        if (!c.holds()) failed += std::string(c.what) + " (errno " + std::to_string(errno) + ")\n";
    }
    return failed;
}

void expectSystemUntouched(const TempRoot& root) {
    EXPECT_EQ(root.read("/etc/passwd"), PASSWD);
    EXPECT_EQ(root.tree("/etc"), "/etc/passwd\n");
    EXPECT_EQ(root.read("/flash/passwd"), "moved\n");  // the link was replaced
    EXPECT_TRUE(root.exists("/flash/real/y"));
    EXPECT_TRUE(root.exists("/flash/var/pdb/a/version"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/x"));
}

class FlashGuard : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { rootfs::faults::simulateNoOpenat2(GetParam()); }
    void TearDown() override { rootfs::faults::simulateNoOpenat2(false); }
};

INSTANTIATE_TEST_SUITE_P(Resolution, FlashGuard, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fallback" : "Openat2"; });

TEST_P(FlashGuard, ChangesInsideARootStayInTheFlash) {
    TempRoot root;
    plant(root, !GetParam());
    root.write("/ram/t", "moved\n");
    EXPECT_EQ(failedChecks(), "");
    expectSystemUntouched(root);
}

// As on the router: the root is the process's own, entered with chroot.
TEST(FlashGuardProcessRoot, ChangesStayInTheFlash) {
    if (::geteuid() != 0) GTEST_SKIP() << "chroot needs root";
    TempRoot root;
    plant(root, true);
    root.write("/ram/t", "moved\n");
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string failed = "cannot enter the root\n";
        if (::chroot(root.path().c_str()) == 0 && ::chdir("/") == 0 && rootfs::setRoot("/"))
            failed = failedChecks();
        ssize_t ignored = ::write(pipeFds[1], failed.data(), failed.size());
        (void)ignored;
        _exit(0);
    }
    ::close(pipeFds[1]);
    std::string failed;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) failed.append(buf, size_t(n));
    ::close(pipeFds[0]);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(failed, "");
    expectSystemUntouched(root);
}

}  // namespace
