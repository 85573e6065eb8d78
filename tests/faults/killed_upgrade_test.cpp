// The installer killed at 50 random points of a real upgrade: a run with
// "--reinstall" afterwards must reach exactly the state of an uninterrupted
// upgrade. The temporary files that the killed runs leave are counted by
// place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <random>

#include "faults/upgrade_fixture.h"

using namespace faulttest;

namespace {

constexpr int KILLS = 50;
constexpr unsigned SEED = 20240611;

bool skipLogAndTemporaries(const std::string& rel) {
    return skipPostLog(rel) || isTemporaryName(rel);
}

// Starts `installer -r root [extra]` with its output thrown away; `traced`
// makes it stop for its tracer at its first instruction.
pid_t startInstaller(const std::string& root, const char* extra, bool traced = false) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (traced) ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    const char* argv[] = {INSTALLER_BINARY, "-r", root.c_str(), extra, nullptr};
    // The leak check of a sanitizer build does not work under ptrace.
    char* envp[] = {const_cast<char*>("PATH=/usr/bin:/bin"),
                    const_cast<char*>("ASAN_OPTIONS=detect_leaks=0"), nullptr};
    ::execve(INSTALLER_BINARY, const_cast<char**>(argv), envp);
    _exit(127);
}

// Exit status, or 128 + the signal that ended it.
int waitFor(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct TracedRun {
    long systemCalls = 0;  // entered
    int status = -1;       // exit status, or 128 + signal
};

// Runs the upgrade on `root` and kills it with SIGKILL as it enters its
// `killAt`-th system call (0: never). The count of system calls does not
// depend on timing, so the same number stops the run at the same point.
TracedRun runKilledAt(const std::string& root, long killAt) {
    TracedRun run;
    const pid_t pid = startInstaller(root, nullptr, true);
    int status = 0;
    ::waitpid(pid, &status, 0);  // stopped by its exec, unless tracing is not allowed
    if (!WIFSTOPPED(status)) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return run;
    }
    ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    bool inCall = false;
    int signal = 0;
    for (;;) {
        ::ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(long(signal)));
        ::waitpid(pid, &status, 0);
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        signal = 0;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            if (WSTOPSIG(status) != SIGTRAP) signal = WSTOPSIG(status);
            continue;
        }
        inCall = !inCall;
        if (inCall && ++run.systemCalls == killAt) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

class KilledUpgrade : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        templateRoot_ = new std::string(makeTempDir("killed-template"));
        prepareUpgradeRoot(*templateRoot_, firstVersions(), nextVersions(200, 2048));
        const std::string work = makeTempDir("killed-target");
        copyTree(*templateRoot_, work);
        clean_ = runKilledAt(work, 0);
        target_ = new Snapshot(snapshot(work, skipLogAndTemporaries));
        removeTree(work);
    }
    static void TearDownTestSuite() {
        removeTree(*templateRoot_);
        delete templateRoot_;
        delete target_;
    }

    static std::string* templateRoot_;
    static Snapshot* target_;
    static TracedRun clean_;
};

std::string* KilledUpgrade::templateRoot_ = nullptr;
Snapshot* KilledUpgrade::target_ = nullptr;
TracedRun KilledUpgrade::clean_;

TEST_F(KilledUpgrade, ReinstallAfterAKillReachesTheUpgradedState) {
    if (clean_.systemCalls == 0) GTEST_SKIP() << "needs ptrace to stop the installer";
    ASSERT_EQ(clean_.status, 0);
    ASSERT_EQ(target_->count("/flash/var/pdb/system/image"), 1u);
    std::mt19937 random(SEED);
    std::uniform_int_distribution<long> point(1, clean_.systemCalls);
    std::map<std::string, int> leftBehind;  // directory -> temporaries after the kill
    int leftAfterReinstall = 0;
    std::string problems;
    for (int i = 0; i < KILLS; ++i) {
        const std::string work = makeTempDir("killed-case");
        copyTree(*templateRoot_, work);
        const long at = point(random);
        const TracedRun killed = runKilledAt(work, at);
        if (killed.status != 128 + SIGKILL)
            problems += "not killed at system call " + std::to_string(at) + "\n";

        const std::string temps = temporaries(work);
        for (size_t from = 0, end; from < temps.size(); from = end + 1) {
            end = temps.find('\n', from);
            const std::string path = temps.substr(from, end - from);
            ++leftBehind[path.substr(0, path.rfind('/') + 1)];
        }

        const int status = waitFor(startInstaller(work, "--reinstall"));
        const Snapshot after = snapshot(work, skipLogAndTemporaries);
        if (status != 0 || after != *target_)
            problems += "killed at system call " + std::to_string(at) + ": status " +
                        std::to_string(status) + "\n" + difference(*target_, after);
        const std::string stillLeft = temporaries(work);
        leftAfterReinstall += int(std::count(stillLeft.begin(), stillLeft.end(), '\n'));
        removeTree(work);
    }
    std::cout << "uninterrupted upgrade: " << clean_.systemCalls << " system calls; killed at "
              << KILLS << " of them\n";
    int total = 0;
    for (const auto& [dir, n] : leftBehind) {
        std::cout << "  temporaries left in " << dir << ": " << n << "\n";
        total += n;
    }
    std::cout << "  temporaries left in all: " << total
              << ", still there after --reinstall: " << leftAfterReinstall << "\n";
    EXPECT_EQ(problems, "");
}

}  // namespace
