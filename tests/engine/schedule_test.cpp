#include "engine/schedule.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "database_scenario.h"

using namespace enginetest;

namespace {

struct Case {
    std::vector<const char*> db;
    const char* states;  // after the manifest is applied
    std::vector<std::string> messages;
    bool result = true;
    int level = 1;
};

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        DatabaseScenario scenario(c.db);
        const std::string what = ::testing::PrintToString(c.db);
        scenario.check(
            [&](Installer& installer, FileManifest& manifest) {
                return applySchedule(installer, manifest, c.level);
            },
            c.result, c.states, c.messages, what);
        if (c.level == 0) {
            EXPECT_EQ(scenario.printed(), "") << what;
        }
    }
}

const std::vector<const char*> bundleUninstallNeeded = {"base in=sys", "extra in=sys",
                                                        "sys bundle do=uninstall", "app dep=base"};

TEST(ApplySchedule, Bundles) {
    run({
        // A member another package needs stays, and with it the bundle record.
        {bundleUninstallNeeded,
         "base=on extra=gone sys=on app=on",
         {"WARNING: can not uninstall base-1.0: app depends on it",
          "WARNING: can not uninstall sys-1.0: base depends on it"}},
        {bundleUninstallNeeded, "base=on extra=gone sys=on app=on", {}, true, 0},
        {{"a in=sys", "b in=sys", "sys bundle do=uninstall", "other"},
         "a=gone b=gone sys=gone other=on",
         {}},
        // Disabling a bundle disables its members and removes its record.
        {{"base in=sys", "extra in=sys", "sys bundle do=disable", "other"},
         "base=off(auto) extra=off(auto) sys=gone other=on",
         {"disabled extra-1.0", "disabled base-1.0"}},
        // Enabling a bundle enables its disabled members only.
        {{"base in=sys off(auto)", "extra in=sys", "sys bundle do=enable"},
         "base=on extra=on sys=on(user)",
         {"enabled base-1.0", "enabled sys-1.0"}},
    });
}

TEST(ApplySchedule, NeedsAndConflicts) {
    run({
        {{"a off(user) do=enable dep=b", "b off(auto) dep=a"},
         "a=on(user) b=on",
         {"enabled b-1.0", "enabled a-1.0"}},
        // Of two enables, the one the other conflicts with loses...
        {{"x off(auto) do=enable conf=y", "y off(auto) do=enable", "other"},
         "x=on(user) y=off(auto) other=on",
         {"WARNING: can not enable y: x-1.0 conflicts with it", "enabled x-1.0"}},
        // ...and in a mutual conflict the first one scanned.
        {{"x off(auto) do=enable conf=y", "y off(auto) do=enable conf=x", "other"},
         "x=off(auto) y=on(user) other=on",
         {"WARNING: can not enable x: y-1.0 conflicts with it", "enabled y-1.0"}},
        {{"old conf=new", "new off(auto) do=enable"},
         "old=off(auto) new=on(user)",
         {"disabled old-1.0", "enabled new-1.0"}},
        // No provider at all: uninstalled, also when disabled; only disabled
        // providers: disabled.
        {{"lib off(auto) do=uninstall", "app dep=lib", "lone dep=missing",
          "idle off(auto) dep=missing", "other"},
         "lib=off(auto) app=off(auto) lone=gone idle=gone other=on",
         {"WARNING: can not uninstall lib-1.0: app depends on it", "disabled app-1.0"}},
        {{"lib do=uninstall", "app do=uninstall dep=lib", "other"},
         "lib=gone app=gone other=on",
         {}},
    });
}

TEST(ApplySchedule, StateFilesAndRefusal) {
    run({
        {{"tool on(user) do=disable", "other"}, "tool=off(user) other=on", {"disabled tool-1.0"}},
        {{"tool off(auto) do=enable"}, "tool=on(user)", {"enabled tool-1.0"}},
        {{"a do=disable", "b on(user) do=uninstall"},
         "a=on b=on(user)",
         {"ERROR: can not uninstall or disable all packages"},
         false},
        {{"a do=disable", "b do=uninstall"}, "a=on b=on", {}, false, 0},
        {{"a", "b off(user)"}, "a=on b=off(user)", {}, false},
        {{}, "", {}, false},
    });
}

TEST(ApplySchedule, RefusalResetsEveryActionAndStagesNothing) {
    DatabaseScenario scenario({"a do=disable"});
    FileManifest manifest;
    EXPECT_FALSE(applySchedule(scenario.installer(), manifest, 1));
    EXPECT_TRUE(manifest.empty());
    EXPECT_EQ(scenario.installer().packages[0]->scheduledAction, ACTION_NONE);
}

TEST(ApplySchedule, ProgressCaptionsAtLevelOne) {
    DatabaseScenario scenario({"a do=disable", "b off(auto) do=enable"});
    FileManifest manifest;
    EXPECT_TRUE(applySchedule(scenario.installer(), manifest, 1));
    const std::string printed = scenario.printed();
    EXPECT_NE(printed.find("\rdisabling a-1.0..."), std::string::npos);
    EXPECT_NE(printed.find("\renabling b-1.0..."), std::string::npos);
    EXPECT_LT(printed.find("disabled a-1.0\n"), printed.find("enabled b-1.0\n"));
}

// p0 needs p1, p1 needs p2, and so on; the last link needs `lastNeed` when
// that is given.
void plantChain(Installer& installer, int length, const char* lastNeed, bool disabled) {
    for (int i = 0; i < length; ++i) {
        auto p = std::make_unique<InstalledPackage>("p" + std::to_string(i));
        p->disabled = disabled;
        if (i + 1 < length)
            p->depends.push_back(PackageRef{"p" + std::to_string(i + 1), 0, 0, 0});
        else if (lastNeed)
            p->depends.push_back(PackageRef{lastNeed, 0, 0, 0});
        installer.append(std::move(p));
    }
}

TEST(ApplySchedule, ChainsOfNeedsAsLongAsTheList) {
    constexpr int LENGTH = 30000;
    TempRoot root;
    CapturedOutput output;
    Installer& installer = Installer::instance();
    {
        // Enabling the first link enables every other.
        plantChain(installer, LENGTH, nullptr, true);
        installer.packages[0]->scheduledAction = ACTION_ENABLE;
        FileManifest manifest;
        EXPECT_TRUE(applySchedule(installer, manifest, 0));
        EXPECT_TRUE(std::all_of(installer.packages.begin(), installer.packages.end(),
                                [](const auto& p) { return !p->disabled; }));
    }
    installer.packages.clear();
    {
        // Nobody meets the last need: the whole chain goes.
        plantChain(installer, LENGTH, "gone", false);
        installer.append(std::make_unique<InstalledPackage>("other"));
        FileManifest manifest;
        EXPECT_TRUE(applySchedule(installer, manifest, 0));
        ASSERT_EQ(installer.packages.size(), 1u);
        EXPECT_EQ(installer.packages[0]->name, "other");
    }
}

TEST(EnablePackages, WritesTheStateFilesInListOrder) {
    DatabaseScenario scenario({"a off(user)", "b off(auto)"});
    Installer& installer = scenario.installer();
    InstalledPackage* a = installer.packages[0].get();
    InstalledPackage* b = installer.packages[1].get();
    b->scheduledAction = ACTION_ENABLE;
    scenario.check(
        [&](Installer& context, FileManifest& manifest) {
            enablePackages(context, manifest, {b, a}, 1);
            return !a->disabled && !b->disabled && b->scheduledAction == ACTION_NONE;
        },
        true, "a=on(user) b=on", {"enabled b-1.0", "enabled a-1.0"}, "enablePackages");
}

}  // namespace
