// Records planted as one long chain of needs (p0 needs p1, ..., each link a
// record of its own). The installer walks the chain without recursion, so a
// chain as long as any list cannot exhaust its stack, and in time that grows
// with the chain, not with its square.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "model/version.h"
#include "support/run.h"
#include "support/temp_root.h"

namespace {

constexpr int LINKS = 30000;

std::string link(int k) {
    return "p" + std::to_string(k);
}

// The last link needs `last` (nothing when empty).
void plantChain(const TempRoot& r, bool disabled, const std::string& last) {
    Version v = 0;
    parseVersion("1.0", v);
    for (int k = 0; k < LINKS; ++k) {
        const std::string dir = "/flash/var/pdb/" + link(k) + "/";
        const std::string need = k + 1 < LINKS ? link(k + 1) : last;
        r.write(dir + "version", std::to_string(v) + " 1\n");
        r.write(dir + "deps", need.empty() ? "" : need + " 0 0\n");
        r.write(dir + "files", "");
        if (disabled) r.write(dir + "disabled", "auto\n");
    }
    r.write("/flash/var/pdb/keep/version", std::to_string(v) + " 1\n");
    r.write("/flash/var/pdb/keep/deps", "");
    r.write("/flash/var/pdb/keep/files", "");
    r.mkdirs("/ram");
    r.mkdirs("/tmp");
}

// Tens of thousands of records: the root lies in memory when it can.
class Chain : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        if (old) oldTmpdir_ = old;
        if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
        root_ = std::make_unique<TempRoot>();
    }
    void TearDown() override {
        root_.reset();
        if (oldTmpdir_.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", oldTmpdir_.c_str(), 1);
    }
    std::unique_ptr<TempRoot> root_;
    std::string oldTmpdir_;
};

TEST_F(Chain, EnablingTheHeadEnablesEveryLink) {
    plantChain(*root_, true, "");
    root_->write("/ram/pdb/p0/schedule", "enable\n");
    const RunResult run = runInstaller({"-r", root_->path()});
    EXPECT_EQ(run.status, 0) << run.err;
    // The progress captions say "enabling".
    size_t enabled = 0;
    for (size_t at = 0; (at = run.out.find("enabled p", at)) != std::string::npos; ++at) ++enabled;
    EXPECT_EQ(enabled, size_t(LINKS));
    EXPECT_FALSE(root_->exists("/flash/var/pdb/p0/disabled"));
    EXPECT_FALSE(root_->exists("/flash/var/pdb/" + link(LINKS - 1) + "/disabled"));
}

TEST_F(Chain, AMissingLastNeedUninstallsEveryLink) {
    plantChain(*root_, false, "gone");
    const RunResult run = runInstaller({"-r", root_->path()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(root_->exists("/flash/var/pdb/p0"));
    EXPECT_FALSE(root_->exists("/flash/var/pdb/" + link(LINKS - 1)));
    EXPECT_TRUE(root_->exists("/flash/var/pdb/keep/version"));
}

}  // namespace
