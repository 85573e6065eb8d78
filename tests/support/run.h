// Running the real programs from tests.
#pragma once

#include <map>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    long maxRssKb = 0;  // the child's peak resident memory
};

struct RunOptionsForTest {
    std::string stdinData;
    bool stdinFromFile = false;              // stdinData names a host file to redirect from
    std::map<std::string, std::string> env;  // added to a clean environment
    // The child enters this root first (root only); the mount points it
    // makes there are gone once the run is.
    std::string chrootDir;
    int runAsUser = -1;  // then drops to this user and group, without supplementary groups
};

// The user that unprivileged runs use.
constexpr int NOBODY_UID = 65534;

// Runs `program` with `args` (argv[0] is added); the environment holds PATH
// and whatever `options.env` adds, nothing else from the test's own.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptionsForTest& options = {});

// The same in two steps, so that runs can overlap: a started program is
// finished (waited for) once.
struct StartedProgram {
    int pid = -1, feeder = -1, out = -1, err = -1;
    std::vector<std::string> made;  // mount points of a chroot run
};
StartedProgram startProgram(const std::string& program, const std::vector<std::string>& args,
                            const RunOptionsForTest& options = {});
RunResult finishProgram(StartedProgram& started);

// Hands `dir` and everything below it to the user and group `uid` (links
// themselves, not their targets).
void giveTreeTo(const std::string& dir, int uid);

// True when INSTALLER_TESTS_REQUIRE_ROOT is set: a test that needs root then
// fails instead of skipping (CI runs as root and must not skip silently).
bool rootRequired();
// Skips the current test with `why`, or fails it when rootRequired().
void skipOrFail(const std::string& why);
