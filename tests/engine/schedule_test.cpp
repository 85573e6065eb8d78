#include "engine/schedule.h"

#include <gtest/gtest.h>

#include "database_scenario.h"

using namespace enginetest;

namespace {

struct ScheduleCase {
    const char* what;
    std::vector<Db> db;
    const char* states;  // after the manifest is applied
    std::vector<std::string> messages;
    bool result = true;
    int level = 1;
};

void run(const ScheduleCase& c) {
    DatabaseScenario scenario(c.db);
    scenario.check(
        [&](Installer& installer, FileManifest& manifest) {
            return applySchedule(installer, manifest, c.level);
        },
        c.result, c.states, c.messages, c.what);
    if (c.level == 0) {
        EXPECT_EQ(scenario.printed(), "") << c.what;
    }
}

const std::vector<Db> bundleUninstallNeeded = {
    {.name = "sys", .schedule = "uninstall", .members = {{.name = "base"}, {.name = "extra"}}},
    {.name = "app", .depends = "base"},
};

TEST(ApplySchedule, Bundles) {
    const ScheduleCase cases[] = {
        {"uninstalling a bundle keeps the member another package needs",
         bundleUninstallNeeded,
         "base=on extra=gone sys=on app=on",
         {"WARNING: can not uninstall base-1.0: app depends on it",
          "WARNING: can not uninstall sys-1.0: base depends on it"}},
        {"the same, quietly",
         bundleUninstallNeeded,
         "base=on extra=gone sys=on app=on",
         {},
         true,
         0},
        {"uninstalling a bundle nobody needs",
         {{.name = "sys", .schedule = "uninstall", .members = {{.name = "a"}, {.name = "b"}}},
          {.name = "other"}},
         "a=gone b=gone sys=gone other=on",
         {}},
        {"disabling a bundle disables its members and drops the bundle record",
         {{.name = "sys", .schedule = "disable", .members = {{.name = "base"}, {.name = "extra"}}},
          {.name = "other"}},
         "base=off(auto) extra=off(auto) sys=gone other=on",
         {"disabled extra-1.0", "disabled base-1.0"}},
        {"enabling a bundle enables its disabled members only",
         {{.name = "sys",
           .schedule = "enable",
           .members = {{.name = "base", .state = "off(auto)"}, {.name = "extra"}}}},
         "base=on extra=on sys=on(user)",
         {"enabled base-1.0", "enabled sys-1.0"}},
    };
    for (const ScheduleCase& c : cases) run(c);
}

TEST(ApplySchedule, NeedsAndConflicts) {
    const ScheduleCase cases[] = {
        {"a dependency cycle of disabled packages is enabled together",
         {{.name = "a", .state = "off(user)", .schedule = "enable", .depends = "b"},
          {.name = "b", .state = "off(auto)", .depends = "a"}},
         "a=on(user) b=on",
         {"enabled b-1.0", "enabled a-1.0"}},
        {"of two enables, the one the other conflicts with loses",
         {{.name = "x", .state = "off(auto)", .schedule = "enable", .conflicts = "y"},
          {.name = "y", .state = "off(auto)", .schedule = "enable"},
          {.name = "other"}},
         "x=on(user) y=off(auto) other=on",
         {"WARNING: can not enable y: x-1.0 conflicts with it", "enabled x-1.0"}},
        {"of two enables in mutual conflict, the first scanned loses",
         {{.name = "x", .state = "off(auto)", .schedule = "enable", .conflicts = "y"},
          {.name = "y", .state = "off(auto)", .schedule = "enable", .conflicts = "x"},
          {.name = "other"}},
         "x=off(auto) y=on(user) other=on",
         {"WARNING: can not enable x: y-1.0 conflicts with it", "enabled y-1.0"}},
        {"an enable disables the enabled package in conflict",
         {{.name = "old", .conflicts = "new"},
          {.name = "new", .state = "off(auto)", .schedule = "enable"}},
         "old=off(auto) new=on(user)",
         {"disabled old-1.0", "enabled new-1.0"}},
        {"needs of everything: missing providers uninstall, disabled ones disable",
         {{.name = "lib", .state = "off(auto)", .schedule = "uninstall"},
          {.name = "app", .depends = "lib"},
          {.name = "lone", .depends = "missing"},
          {.name = "idle", .state = "off(auto)", .depends = "missing"},
          {.name = "other"}},
         "lib=off(auto) app=off(auto) lone=gone idle=gone other=on",
         {"WARNING: can not uninstall lib-1.0: app depends on it", "disabled app-1.0"}},
        {"uninstalling a dependant and what it needs together",
         {{.name = "lib", .schedule = "uninstall"},
          {.name = "app", .schedule = "uninstall", .depends = "lib"},
          {.name = "other"}},
         "lib=gone app=gone other=on",
         {}},
    };
    for (const ScheduleCase& c : cases) run(c);
}

TEST(ApplySchedule, StateFilesAndRefusal) {
    const ScheduleCase cases[] = {
        {"a disable the user asked for replaces the enabled file",
         {{.name = "tool", .state = "on(user)", .schedule = "disable"}, {.name = "other"}},
         "tool=off(user) other=on",
         {"disabled tool-1.0"}},
        {"an enable the user asked for writes the enabled file",
         {{.name = "tool", .state = "off(auto)", .schedule = "enable"}},
         "tool=on(user)",
         {"enabled tool-1.0"}},
        {"nothing may be left enabled",
         {{.name = "a", .schedule = "disable"},
          {.name = "b", .state = "on(user)", .schedule = "uninstall"}},
         "a=on b=on(user)",
         {"ERROR: can not uninstall or disable all packages"},
         false},
        {"the refusal is silent at level 0",
         {{.name = "a", .schedule = "disable"}, {.name = "b", .schedule = "uninstall"}},
         "a=on b=on",
         {},
         false,
         0},
        {"nothing scheduled",
         {{.name = "a"}, {.name = "b", .state = "off(user)"}},
         "a=on b=off(user)",
         {},
         false},
        {"no packages at all", {}, "", {}, false},
    };
    for (const ScheduleCase& c : cases) run(c);
}

TEST(ApplySchedule, RefusalResetsEveryAction) {
    DatabaseScenario scenario(std::vector<Db>{{.name = "a", .schedule = "disable"}});
    FileManifest manifest;
    EXPECT_FALSE(applySchedule(scenario.installer(), manifest, 1));
    EXPECT_TRUE(manifest.empty());
    EXPECT_EQ(scenario.installer().packages[0]->scheduledAction, ACTION_NONE);
}

TEST(ApplySchedule, ProgressCaptionsAtLevelOne) {
    DatabaseScenario scenario({{.name = "a", .schedule = "disable"},
                               {.name = "b", .state = "off(auto)", .schedule = "enable"}});
    FileManifest manifest;
    EXPECT_TRUE(applySchedule(scenario.installer(), manifest, 1));
    const std::string printed = scenario.printed();
    EXPECT_NE(printed.find("\rdisabling a-1.0..."), std::string::npos);
    EXPECT_NE(printed.find("\renabling b-1.0..."), std::string::npos);
    EXPECT_LT(printed.find("disabled a-1.0\n"), printed.find("enabled b-1.0\n"));
    EXPECT_EQ(scenario.installer().progressLine, "");
}

TEST(EnablePackages, WritesStateInListOrder) {
    DatabaseScenario scenario(
        {{.name = "a", .state = "off(user)"}, {.name = "b", .state = "off(auto)"}});
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
