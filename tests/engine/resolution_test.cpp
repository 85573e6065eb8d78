#include "engine/resolution.h"

#include <gtest/gtest.h>

#include <sstream>

#include "engine_records.h"
#include "support/temp_root.h"

using namespace enginetest;

namespace {

// A candidate line beginning with "*" is a bundle whose members follow it
// after "|": "*sys 1.0|a|b 2.0".
std::unique_ptr<Package> candidate(const std::string& line) {
    if (line[0] != '*') return pkg(line.c_str());
    std::vector<std::string> parts;
    std::istringstream in(line.substr(1));
    for (std::string part; std::getline(in, part, '|');) parts.push_back(part);
    std::vector<const char*> members;
    for (size_t i = 1; i < parts.size(); ++i) members.push_back(parts[i].c_str());
    return bundle(parts[0].c_str(), members);
}

struct Case {
    std::vector<std::string> input;
    const char* result;  // survivors by name and version, in order
    std::vector<std::string> messages;
    uint32_t limit = NO_DOWNGRADE;
    bool verbose = true;
    bool flagged = false;
};

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        PlatformGuard platform;
        platform.flagged(c.flagged);
        CapturedOutput output;
        std::vector<std::unique_ptr<Package>> owned;
        std::list<Package*> list;
        for (const std::string& line : c.input) {
            owned.push_back(candidate(line));
            list.push_back(owned.back().get());
        }
        resolveCandidates(Installer::instance(), list, c.limit, c.verbose);
        std::string result;
        for (const Package* p : list) result += (result.empty() ? "" : " ") + nameWithVersion(*p);
        const std::string what = ::testing::PrintToString(c.input);
        EXPECT_EQ(result, c.result) << what;
        EXPECT_EQ(Installer::instance().messages, c.messages) << what;
    }
}

std::string newer(const char* name) {
    return std::string("WARNING: omitting package ") + name + ": newer package is already provided";
}
std::string older(const char* name) {
    return std::string("WARNING: omitting package ") + name + ": older package is already provided";
}

// clang-format off
TEST(ResolveCandidates, Filter) {
    const Version limit = makeVersion(1, 5, VERSION_KIND_FINAL, 0);
    const std::string notAllowed = "WARNING: ommitting package a-1.0: not allowed";
    run({
        // Equal and not bundles: both go, silently.
        {{"a", "a", "b"}, "b-1.0", {}},
        {{"*sys", "*sys"}, "", {}},
        // An equal loose member gives way to its bundle; a newer member too.
        {{"m", "*sys|x|m"}, "sys-1.0", {}},
        {{"m", "*sys|m 2.0"}, "sys-1.0", {newer("m-1.0")}},
        {{"a 1.0", "a 3.0", "a 2.0"}, "a-3.0", {newer("a-1.0"), newer("a-2.0")}},
        {{"a 1.0", "a 2.0"}, "a-2.0", {}, NO_DOWNGRADE, false},
        // A dropped entry still counts against the later ones.
        {{"a 2.0", "a 2.0", "a 1.0"}, "", {newer("a-1.0")}},
        // Downgrade mode keeps the oldest; below the limit is told even quietly.
        {{"a 2.0", "a 1.0", "a 3.0"}, "a-1.0", {older("a-2.0"), older("a-3.0")}, 0},
        {{"a 1.0", "b 2.0"}, "b-2.0", {notAllowed}, limit, false},
        // A file below the limit does not keep an allowed one out.
        {{"a 1.0", "a 3.0", "a 2.0"}, "a-2.0", {notAllowed, older("a-3.0")}, limit},
        // Flagged: only the latest builds survive, whatever their names.
        {{"a @5", "b @9", "c @9"}, "c-1.0 b-1.0",
         {"WARNING: ommiting older package a-1.0: router in flagged state"},
         NO_DOWNGRADE, true, true},
        {{"a @5", "b @9"}, "b-1.0", {}, NO_DOWNGRADE, false, true},
    });
}
// clang-format on

TEST(ResolveCandidates, Order) {
    run({
        {{"x", "y", "z"}, "z-1.0 y-1.0 x-1.0", {}},
        {{"lib", "app dep=lib"}, "lib-1.0 app-1.0", {}},
        // Right after the last entry it needs, seen from the back.
        {{"x", "w dep=x", "y dep=x", "z"}, "z-1.0 x-1.0 y-1.0 w-1.0", {}},
        {{"old conf=new", "new"}, "old-1.0 new-1.0", {}},
        {{"*sys|lib", "app dep=lib"}, "sys-1.0 app-1.0", {}},
    });
}

TEST(ClassifyProviders, MetOnlyDisabledOrMissing) {
    // clang-format off
    const std::pair<std::vector<const char*>, int> cases[] = {
        {{}, 1}, {{"p"}, 0}, {{"p off do=enable"}, 0},
        {{"p off"}, 3}, {{"p off do=uninstall"}, 3}, {{"p off do=disable"}, 3},
        {{"p do=disable"}, 3}, {{"p do=uninstall"}, 1}, {{"p do=enable"}, 1},
        {{"p do=uninstall", "q off"}, 3}, {{"p off", "q"}, 0},
    };
    // clang-format on
    for (const auto& [lines, expected] : cases) {
        std::vector<std::unique_ptr<InstalledPackage>> owned;
        std::vector<InstalledPackage*> providers;
        for (const char* line : lines)
            providers.push_back(owned.emplace_back(installed(line)).get());
        EXPECT_EQ(classifyProviders(providers), expected) << ::testing::PrintToString(lines);
    }
}

struct EnsureCase {
    std::vector<const char*> packages;  // ensureDependencies runs on the first
    const char* actions;                // every resulting action, in list order
    std::vector<std::string> messages;
    int level = 1;
};

TEST(EnsureDependencies, Scenarios) {
    const EnsureCase cases[] = {
        {{"app dep=lib", "lib do=uninstall"},
         "00",
         {"WARNING: can not uninstall lib-1.0: app depends on it"}},
        {{"app dep=lib", "lib do=uninstall"}, "00", {}, 0},
        // The cancelled disable's own needs are met in turn.
        {{"app dep=lib", "lib dep=base do=disable", "base off"},
         "002",
         {"WARNING: can not disable lib-1.0: app depends on it"}},
        {{"app off do=enable dep=lib", "lib off"}, "22", {}},
        // A cycle of disabled packages ends once each is to be enabled.
        {{"a off do=enable dep=b", "b off dep=a"}, "22", {}},
        {{"x dep=a", "a off do=disable dep=b", "b off do=disable dep=a"},
         "022",
         {"WARNING: can not disable a-1.0: x depends on it",
          "WARNING: can not disable b-1.0: a depends on it"}},
        // A need nobody provides ends the walk.
        {{"app dep=gone,lib", "lib off"}, "00", {}},
        // The latest provider is chosen; equal ones cancel out.
        {{"app dep=lib", "lib 2.0 off", "lib 1.0 off"}, "020", {}},
        {{"app dep=lib", "lib off", "lib off"}, "000", {}},
        // A member needs its bundle record, also in circles.
        {{"m in=sys", "sys off"}, "02", {}},
        {{"x off do=enable in=y", "y off do=enable in=x"}, "22", {}},
        {{"sys off do=enable in=sys"}, "2", {}},
    };
    for (const EnsureCase& c : cases) {
        PlatformGuard platform;
        CapturedOutput output;
        Installer& installer = Installer::instance();
        addInstalled(installer, c.packages);
        ensureDependencies(installer, *installer.packages[0], c.level);
        std::string actions;
        for (const auto& p : installer.packages) actions += char('0' + p->scheduledAction);
        const std::string what = ::testing::PrintToString(c.packages);
        EXPECT_EQ(actions, c.actions) << what;
        EXPECT_EQ(installer.messages, c.messages) << what;
    }
}

TEST(RequireEnabled, CancelsOrEnables) {
    CapturedOutput output;
    Installer& installer = Installer::instance();
    addInstalled(installer, {"lib do=uninstall", "app"});
    InstalledPackage& lib = *installer.packages[0];
    requireEnabled(installer, lib, *installer.packages[1], 1);
    EXPECT_EQ(lib.scheduledAction, ACTION_NONE);
    requireEnabled(installer, lib, *installer.packages[1], 1);  // enabled: nothing to do
    EXPECT_EQ(lib.scheduledAction, ACTION_NONE);
    lib.disabled = 1;
    requireEnabled(installer, lib, *installer.packages[1], 1);
    EXPECT_EQ(lib.scheduledAction, ACTION_ENABLE);
    EXPECT_EQ(installer.messages,
              std::vector<std::string>{"WARNING: can not uninstall lib-1.0: app depends on it"});
}

}  // namespace
