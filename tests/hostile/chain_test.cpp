// Records planted as one long chain of needs (p0 needs p1, ..., each link a
// record of its own). The installer walks the chain without recursion, so a
// chain as long as any list cannot exhaust its stack, and in time that grows
// with the chain, not with its square.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "model/version.h"
#include "support/run.h"
#include "support/temp_root.h"

namespace {

constexpr int LINKS = 30000;

// Tens of thousands of records: the root lies in memory when it can.
struct InMemory {
    const std::string old = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    InMemory() {
        if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    }
    ~InMemory() { old.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", old.c_str(), 1); }
};

// Plants the chain, its links disabled or not, the last one needing `last`
// (nothing when empty), and a record "keep" outside it; then runs.
RunResult runChain(const TempRoot& r, bool disabled, const std::string& last) {
    Version v = 0;
    parseVersion("1.0", v);
    const std::string version = std::to_string(v) + " 1\n";
    for (int k = 0; k < LINKS; ++k) {
        const std::string dir = "/flash/var/pdb/p" + std::to_string(k) + "/";
        const std::string need = k + 1 < LINKS ? "p" + std::to_string(k + 1) : last;
        r.write(dir + "version", version);
        r.write(dir + "deps", need.empty() ? "" : need + " 0 0\n");
        r.write(dir + "files", "");
        if (disabled) r.write(dir + "disabled", "auto\n");
    }
    r.write("/flash/var/pdb/keep/version", version);
    r.write("/flash/var/pdb/keep/deps", "");
    r.write("/flash/var/pdb/keep/files", "");
    r.mkdirs("/ram");
    r.mkdirs("/tmp");
    if (disabled) r.write("/ram/pdb/p0/schedule", "enable\n");
    return runProgram(INSTALLER_BINARY, {"-r", r.path()});
}

const std::string HEAD = "/flash/var/pdb/p0", TAIL = "/flash/var/pdb/p" + std::to_string(LINKS - 1);

TEST(Chain, EnablingTheHeadEnablesEveryLink) {
    InMemory memory;
    TempRoot root;
    const RunResult run = runChain(root, true, "");
    EXPECT_EQ(run.status, 0) << run.err;
    size_t enabled = 0;
    for (size_t at = 0; (at = run.out.find("enabled p", at)) != std::string::npos; ++at) ++enabled;
    EXPECT_EQ(enabled, size_t(LINKS));
    EXPECT_FALSE(root.exists(HEAD + "/disabled") || root.exists(TAIL + "/disabled"));
}

TEST(Chain, AMissingLastNeedUninstallsEveryLink) {
    InMemory memory;
    TempRoot root;
    const RunResult run = runChain(root, false, "gone");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(root.exists(HEAD) || root.exists(TAIL));
    EXPECT_TRUE(root.exists("/flash/var/pdb/keep/version"));
}

}  // namespace
