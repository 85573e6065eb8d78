// The command line of the real binary: option order, the commands that act
// at once, and entering the root.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "support/run.h"
#include "support/temp_root.h"

namespace {

RunOptionsForTest withEnv(const std::string& key, const std::string& value) {
    RunOptionsForTest options;
    options.env[key] = value;
    return options;
}

RunOptionsForTest inRoot(const std::string& dir) {
    RunOptionsForTest options;
    options.chrootDir = dir;
    return options;
}

const std::string kUsage = "usage: installer [-q] [-r <root>] [-]\n";

TEST(CommandLine, UnknownOptionsAndDanglingRootPrintUsage) {
    TempRoot root;
    for (std::vector<std::string> args : {std::vector<std::string>{"--bogus"},
                                          {"-r"},
                                          {"-q", "-r", root.path(), "-r"},
                                          {"-x", "--show"}}) {
        RunResult r = runInstaller(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(r.err, "");
    }
}

TEST(CommandLine, BoardProbeEndsAtOnceWhateverTheArguments) {
    RunResult r = runInstaller({"--bogus", "-r"}, withEnv("board", "qemu_p9"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    RunResult other = runInstaller({"--bogus"}, withEnv("board", "qemu_p8"));
    EXPECT_EQ(other.out, kUsage);
}

TEST(CommandLine, ReinstallPrintsTheResumeTextBeforeLoading) {
    TempRoot root;
    RunResult r = runInstaller({"--reinstall", "-r", root.path()});
    EXPECT_EQ(r.status, 1);
    // With nothing installed the normal pass ends with the failure line.
    EXPECT_EQ(r.out,
              "\nResuming upgrade...\nWARNING: could not open repo\n"
              "ERROR: router installation failed!!!\n");
    // Options after an unknown word are never read.
    RunResult u = runInstaller({"--reinstall", "--what", "--reinstall"});
    EXPECT_EQ(u.out, "\nResuming upgrade...\n" + kUsage);
}

TEST(CommandLine, ChrootFailureStopsWithStatusOne) {
    RunResult r = runInstaller({"-r", "/nonexistent/root/dir", "--show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "chroot: No such file or directory\n");
}

TEST(CommandLine, ShowAndStdinEndOptionReadingInTheirOrder) {
    TempRoot root;
    root.mkdirs("/flash/var/pdb");
    RunResult show = runInstaller({"-r", root.path(), "--show", "-"});
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(show.out.substr(0, 16), "            Name");
    // "-" ends option reading: "--show" after it is not looked at, and the
    // empty standard input is a broken image.
    RunResult stdinMode = runInstaller({"-r", root.path(), "-", "--show"});
    EXPECT_EQ(stdinMode.out.find("Name"), std::string::npos);
}

// --commit and --cancel act on the process's own root, before "-r" is
// entered: they run in a child that has entered a temporary root.
class SavedManifest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!canChroot()) GTEST_SKIP() << "entering a temporary root needs chroot (run as root)";
        root.write("/ram/MANIFEST",
                   "M /flash/new /ram/staged\nU /flash/old\nL /flash/link /flash/new\n");
        root.write("/ram/staged", "content");
        root.write("/flash/old", "old");
    }
    TempRoot root;
};

TEST_F(SavedManifest, CommitAppliesAndKeepsTheManifestFile) {
    TempRoot other;  // given with -r: not yet entered when --commit acts
    other.write("/ram/MANIFEST", "U /flash/keep\n");
    other.write("/flash/keep", "x");
    RunResult r = runInstaller({"-r", other.path(), "--commit", "--bogus"}, inRoot(root.path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "finishing install... \b \n");
    EXPECT_EQ(root.read("/flash/new"), "content");
    EXPECT_FALSE(root.exists("/ram/staged"));
    EXPECT_FALSE(root.exists("/flash/old"));
    char text[64] = {};
    ASSERT_GT(::readlink(root.host("/flash/link").c_str(), text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "/flash/new");
    EXPECT_TRUE(root.exists("/ram/MANIFEST"));
    EXPECT_TRUE(other.exists("/flash/keep"));
}

TEST_F(SavedManifest, CancelDeletesTheManifestAndNoStagedFile) {
    RunResult r = runInstaller({"--cancel"}, inRoot(root.path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    EXPECT_TRUE(root.exists("/ram/staged"));
    EXPECT_TRUE(root.exists("/flash/old"));
    EXPECT_FALSE(root.exists("/flash/new"));
}

}  // namespace
