// A package that inflates far beyond the flash, and saved manifests that a
// later --commit carries out. Both need root: the first mounts small file
// systems, the second runs the installer inside a chroot (with "-r" the
// commit would act on the host's /ram/MANIFEST, as the root is entered only
// after the options are read).
#include <gtest/gtest.h>
#include <unistd.h>

#include "hostile/catalogue.h"
#include "support/run.h"

namespace hostile {
namespace {

// a-2.0 whose files need megabytes; zeros compress to almost nothing.
std::string flood(int files, size_t size) {
    qpk::PackageRecipe s = recipe();
    s.files.clear();
    for (int i = 0; i < files; ++i)
        s.files.push_back({"bin/f" + std::to_string(i), 0100644, std::string(size, '\0')});
    return build(s);
}

class DiskFull : public ::testing::TestWithParam<std::tuple<Via, User, int>> {};

TEST_P(DiskFull, NothingIsAppliedAndTheCauseIsNamed) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small flash needs root";
    auto [via, user, shape] = GetParam();
    SCOPED_TRACE(std::string(name(via)) + " as " + name(user) + " shape " + std::to_string(shape));
    Router router;
    // A 1 MiB flash and a 256 KiB /ram, where staging goes once the flash
    // has no room.
    ASSERT_TRUE(router.mountTmpfs("/flash", "1m"));
    ASSERT_TRUE(router.mountTmpfs("/ram", "256k"));
    router.root().mkdirs("/flash/var/pdb");
    router.root().mkdirs("/flash/rw/pckg");
    router.root().write("/ram/keep", "ram\n");
    router.installGood();
    ASSERT_EQ(router.root().read("/flash/bin/a"), GOOD_A);

    // Many files that each fit, or one file larger than both.
    const std::string bytes = shape == 0 ? flood(64, 65536) : flood(1, 8u << 20);
    ASSERT_LT(bytes.size(), 64u * 1024);
    if (via == Via::Flash) router.root().write("/flash/rw/pckg/a.qpk", bytes);
    Snapshot before = router.snapshot();
    Outcome run = via == Via::Flash ? router.run({"-r", "ROOT"}, user)
                                    : router.run({"-r", "ROOT", "-"}, user, bytes);
    EXPECT_EQ(run.status, 1) << showLines(run.out);
    EXPECT_TRUE(hasLine(run.out, "ERROR: installation of a-2.0 failed: disk is too small"))
        << showLines(run.out);
    EXPECT_EQ(run.err, "");
    // No temporary file is left behind, and a-1.0 stands as it was.
    EXPECT_EQ(differences(before, router.snapshot(), {"/flash/postlog", "/flash/var/pdb/image"}),
              "");
}

std::string diskCaseName(const ::testing::TestParamInfo<DiskFull::ParamType>& info) {
    const Via via = std::get<0>(info.param);
    const User user = std::get<1>(info.param);
    return std::string(name(via)) + "_" + name(user) +
           (std::get<2>(info.param) == 0 ? "_ManyFiles" : "_OneHugeFile");
}

INSTANTIATE_TEST_SUITE_P(Catalogue, DiskFull,
                         ::testing::Combine(::testing::Values(Via::Flash, Via::Stdin),
                                            ::testing::Values(User::Self, User::Nobody),
                                            ::testing::Values(0, 1)),
                         diskCaseName);

// --commit trusts /ram/MANIFEST as the router's own file: its targets are
// carried out wherever they are, except that nothing below /flash is changed
// through a link leading out of it. What cannot be carried out fails the
// commit (status 1); nothing crashes.
TEST(Commit, SavedManifestIsTrustedButCannotEscapeTheFlash) {
    if (::geteuid() != 0) GTEST_SKIP() << "committing inside a chroot needs root";
    Router router;
    const TempRoot& r = router.root();
    r.write("/ram/new", "new\n");
    r.write("/ram/evil", "evil\n");
    r.symlink("/etc", "/flash/bin");
    r.write("/ram/MANIFEST",
            "U /etc/canary\n"
            "M /flash/bin/x /ram/evil\n"
            "L /flash/bin/l /etc/passwd\n"
            "U /flash/bin/passwd\n"
            "M /flash/ok /ram/new\n"
            "M /rw/keep /ram/missing\n");
    RunOptionsForTest options;
    options.chrootDir = r.path();
    RunResult run = runInstaller({"--commit"}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "finishing install... \b \n");
    // The trusted target outside /flash was carried out.
    EXPECT_FALSE(r.exists("/etc/canary"));
    // Nothing reached /etc through the link.
    EXPECT_FALSE(r.exists("/etc/x"));
    EXPECT_FALSE(r.exists("/etc/l"));
    EXPECT_EQ(r.read("/etc/passwd"), "root:x:0:0:root:/root:/bin/sh\n");
    EXPECT_EQ(r.read("/ram/evil"), "evil\n");
    EXPECT_EQ(r.read("/flash/ok"), "new\n");
    EXPECT_EQ(r.read("/rw/keep"), "rw\n");
    EXPECT_NE(run.err.find("rename: Too many levels of symbolic links"), std::string::npos)
        << run.err;
}

TEST(Commit, MalformedManifestsEndTheReading) {
    if (::geteuid() != 0) GTEST_SKIP() << "committing inside a chroot needs root";
    const std::string manifests[] = {
        std::string(1 << 20, 'U') + "\n",
        "U " + std::string(1 << 20, '/') + "\n",
        "M /flash/a\n",
        "L\n",
        std::string("\0\xff\x01 U /etc/canary\n", 17),
        "U /flash/../etc/canary",
        std::string(300000, '\n'),
        "M " + std::string(5000, 'a') + " " + std::string(5000, 'b') + "\n",
    };
    for (const std::string& text : manifests) {
        SCOPED_TRACE(text.substr(0, 40));
        Router router;
        router.root().write("/ram/MANIFEST", text);
        RunOptionsForTest options;
        options.chrootDir = router.root().path();
        RunResult run = runInstaller({"--commit"}, options);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "finishing install... \b \n");
        EXPECT_EQ(router.root().read("/etc/passwd"), "root:x:0:0:root:/root:/bin/sh\n");
    }
}

}  // namespace
}  // namespace hostile
