// Every mutating file operation of a whole upgrade made to fail in turn, with
// a full disk, an I/O error, a refused permission, or the process killed on
// the spot, in each way an upgrade runs: the normal pass, "--safe" followed
// by "--commit", and a system image on standard input. The run is the
// installer-faults binary (the installer with the armed seam, see
// fs/faults.h). A reported failure must leave a non-zero status and a flash
// from which "--reinstall" reaches exactly what an uninterrupted upgrade
// gives; so must a killed run.
#include <gtest/gtest.h>

#include <unistd.h>

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
package routing name=routing version=7.2 build-time=200 "exec=bin/routing:routing 7.2\n"
    "file=lib/routing.so:routing lib 7.2\n" "file=etc/routing/tables/main:table 7.2\n"
package wireless name=wireless version=7.2 build-time=200 "exec=bin/wireless:wireless 7.2\n"
    "exec=bin/wlctl:wlctl 7.2\n"
package system2 name=system version=7.2 build-time=200 keep-image=\{2000:k}
    default-disabled=wireless bundle-of=routing,wireless
package tools2 name=tools version=7.2 build-time=200 depends=system:7.2
    "exec=bin/tools:tools 7.2\n"
package branding2 name=branding version=7.2 build-time=200 "file=etc/logo:logo 7.2\n"
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
const std::pair<std::string, std::string> FAULTS[] = {{"ENOSPC", "disk is too small"},
                                                      {"EIO", "disk error"},
                                                      {"EACCES", "could not "},
                                                      {"crash", ""}};

std::map<std::string, std::string> blobs;  // by name

// Runs `runs` on `root`, the one numbered `only` (every one when -1) with
// INSTALLER_FAULT=`fault`: the outputs joined, the first failing status.
RunResult run(const std::string& root, const std::vector<std::string>& runs,
              const std::string& fault = "", long only = -1) {
    RunResult all{0, "", "", 0};
    for (size_t k = 0; k < runs.size(); ++k) {
        RunOptionsForTest options;
        std::vector<std::string> args;
        std::istringstream words(runs[k]);
        for (std::string w; words >> w;)
            w == "chroot" ? (void)(options.chrootDir = root)
                          : args.push_back(w == "ROOT" ? root : w);
        if (args.back() == "-") options.stdinData = blobs.at("system2");
        if (!fault.empty() && (only < 0 || size_t(only) == k))
            options.env["INSTALLER_FAULT"] = fault;
        const RunResult r = runProgram(INSTALLER_FAULTS_BINARY, args, options);
        all = {all.status ? all.status : r.status, all.out + r.out, all.err + r.err, 0};
    }
    return all;
}

// The tree without what every run rewrites: the log, the saved manifest and
// the standard-input image file; after a kill also its temporaries.
tree::Snapshot picture(const std::string& root, bool killed) {
    tree::Snapshot shot = tree::snapshot(root);
    for (const char* p : {"/flash/postlog", "/ram/MANIFEST", "/flash/var/pdb/image"}) shot.erase(p);
    std::erase_if(shot, [&](const auto& e) {
        const std::string name = e.first.substr(e.first.rfind('/') + 1);
        return killed && name.size() == 9 && name.rfind("tmp", 0) == 0;
    });
    return shot;
}

class UpgradeFaults : public ::testing::TestWithParam<std::tuple<int, const char*>> {};

TEST_P(UpgradeFaults, EveryOperationFailsInTurn) {
    const Mode& mode = MODES[std::get<0>(GetParam())];
    const std::string op = std::get<1>(GetParam());
    if (mode.upgrade.size() > 1 && ::geteuid() != 0)
        return skipOrFail("--commit runs inside a chroot");
    // Thousands of short runs that flush file by file: the roots lie in
    // memory when they can.
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    scenario::Scenario s;
    std::string error;
    const std::string text = std::regex_replace(PACKAGES, std::regex("\n +"), " ");
    ASSERT_TRUE(scenario::parseScenarioText("packages", text, s, error)) << error;
    for (const scenario::Directive& d : s.directives)
        ASSERT_TRUE(
            testpkg::build({d.words.begin() + 1, d.words.end()}, blobs, blobs[d.words[0]], error))
            << error;
    TempRoot prepared;
    for (const char* dir : {"/ram", "/tmp", "/flash/var/pdb"}) prepared.mkdirs(dir);
    const auto place = [&](const std::string& next) {
        for (const std::string p : {"system", "tools", "branding"})
            prepared.write("/flash/rw/pckg/" + p + ".qpk", blobs.at(p + next));
    };
    place("");
    ASSERT_EQ(run(prepared.path(), {"-r ROOT"}).status, 0);
    place("2");
    TempRoot copy;
    const std::string work = copy.path();
    const auto fresh = [&] {
        stdfs::remove_all(work);
        stdfs::copy(prepared.path(), work,
                    stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks);
    };

    fresh();
    run(work, mode.upgrade);
    const tree::Snapshot target = picture(work, false);
    ASSERT_TRUE(target.count("/flash/x/wireless/bin/wlctl") && !target.count("/flash/bin/legacy"));
    ASSERT_TRUE(target.count("/flash/UPGRADED") || std::string(mode.name) == "StandardInput");

    fresh();
    const std::string counted = run(work, mode.upgrade, op + ":count").err;
    std::vector<long> counts;
    for (size_t at = 0; (at = counted.find("fault-count ", at)) != std::string::npos; at += 12)
        counts.push_back(std::stol(counted.substr(at + 12)));
    ASSERT_EQ(counts.size(), mode.upgrade.size()) << counted;
    for (size_t k = 0; k < counts.size(); ++k)
        for (long n = 1; n <= counts[k]; ++n)
            for (const auto& [fault, why] : FAULTS) {
                SCOPED_TRACE(op + " #" + std::to_string(n) + " of run " + std::to_string(k + 1) +
                             " " + fault);
                const bool killed = fault == "crash";
                fresh();
                const RunResult r =
                    run(work, mode.upgrade, op + ":" + std::to_string(n) + ":" + fault, long(k));
                const auto says = [&](const char* part) { return r.out.find(part) != r.out.npos; };
                const tree::Snapshot after = picture(work, killed);
                const std::string left = tree::differences(target, after);
                if (left.empty() && after == picture(work, false)) continue;
                // A removal that fails is not reported today: the old file
                // stays behind and the run succeeds. Tolerated for removals
                // alone (only files left over, nothing missing or changed)
                // until the apply step reports it.
                if (op == "unlink" && !killed && r.status == 0 &&
                    left.find("gone: ") == left.npos && left.find("changed: ") == left.npos)
                    continue;
                ASSERT_TRUE(killed || (r.status != 0 && (says("ERROR: ") || !r.err.empty())))
                    << "a failure passed for success:\n"
                    << left << r.out << r.err;
                EXPECT_TRUE(killed || !says("ERROR: installation of ") || says(why.c_str()) ||
                            says("broken package"))
                    << r.out;
                run(work, mode.resume);
                ASSERT_EQ(tree::differences(target, picture(work, killed)), "")
                    << "--reinstall does not reach the upgraded state";
            }
}

INSTANTIATE_TEST_SUITE_P(Matrix, UpgradeFaults,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::ValuesIn(OPS)),
                         [](const auto& info) {
                             return MODES[std::get<0>(info.param)].name + std::string("_") +
                                    std::get<1>(info.param);
                         });

}  // namespace
