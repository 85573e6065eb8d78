// Records planted as one long chain of needs (p0 needs p1, ..., each link a
// record of its own). The installer walks the chain without recursion, so a
// chain as long as any list cannot exhaust its stack, and in time that grows
// with the chain, not with its square.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "hostile/catalogue.h"

namespace hostile {
namespace {

constexpr int LINKS = 30000;

std::string link(int k) {
    return "p" + std::to_string(k);
}

// The last link needs `last` (nothing when empty).
void plantChain(const TempRoot& r, bool disabled, const std::string& last) {
    const std::string version = std::to_string(ver("1.0")) + " 1\n";
    for (int k = 0; k < LINKS; ++k) {
        const std::string dir = "/flash/var/pdb/" + link(k) + "/";
        const std::string need = k + 1 < LINKS ? link(k + 1) : last;
        r.write(dir + "version", version);
        r.write(dir + "deps", need.empty() ? "" : need + " 0 0\n");
        r.write(dir + "files", "");
        if (disabled) r.write(dir + "disabled", "auto\n");
    }
}

// Tens of thousands of records: the root lies in memory when it can.
class Chain : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        if (old) oldTmpdir_ = old;
        if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
        router_ = std::make_unique<Router>();
    }
    void TearDown() override {
        router_.reset();
        if (oldTmpdir_.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", oldTmpdir_.c_str(), 1);
    }
    std::unique_ptr<Router> router_;
    std::string oldTmpdir_;
};

size_t linesStartingWith(const std::string& out, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& line : plainLines(out)) n += line.rfind(prefix, 0) == 0;
    return n;
}

TEST_F(Chain, EnablingTheHeadEnablesEveryLink) {
    Router& router = *router_;
    plantChain(router.root(), true, "");
    router.root().write("/ram/pdb/p0/schedule", "enable\n");
    const Outcome run = router.run({"-r", "ROOT"}, User::Self);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(linesStartingWith(run.out, "enabled p"), size_t(LINKS));
    EXPECT_FALSE(router.root().exists("/flash/var/pdb/p0/disabled"));
    EXPECT_FALSE(router.root().exists("/flash/var/pdb/" + link(LINKS - 1) + "/disabled"));
}

TEST_F(Chain, AMissingLastNeedUninstallsEveryLink) {
    Router& router = *router_;
    plantChain(router.root(), false, "gone");
    router.root().write("/flash/var/pdb/keep/version", std::to_string(ver("1.0")) + " 1\n");
    router.root().write("/flash/var/pdb/keep/deps", "");
    router.root().write("/flash/var/pdb/keep/files", "");
    const Outcome run = router.run({"-r", "ROOT"}, User::Self);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(router.root().exists("/flash/var/pdb/p0"));
    EXPECT_FALSE(router.root().exists("/flash/var/pdb/" + link(LINKS - 1)));
    EXPECT_TRUE(router.root().exists("/flash/var/pdb/keep/version"));
}

}  // namespace
}  // namespace hostile
