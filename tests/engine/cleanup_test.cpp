#include "engine/cleanup.h"

#include <gtest/gtest.h>

#include "database_scenario.h"

using namespace enginetest;

namespace {

TEST(Cleanup, KeepsWhatNeedsTheCurrentSystem) {
    DatabaseScenario scenario({
        {.name = "plain"},
        {.name = "anysys", .depends = "system"},
        {.name = "rcsys", .depends = "system:3.22rc1"},
        {.name = "newsys", .depends = "system:3.22"},
        {.name = "system", .version = "3.23"},
        {.name = "vexo"},
        {.name = "disk-drivers"},
        {.name = "lib"},
        {.name = "tool", .depends = "lib system:3.22"},
        {.name = "old", .schedule = "uninstall", .depends = "system:3.22"},
        {.name = "pack", .members = {{.name = "m", .depends = "system:3.22.1"}}},
        {.name = "loose", .members = {{.name = "n"}}},
    });
    scenario.check([](Installer& installer,
                      FileManifest& manifest) { return cleanupPackages(installer, manifest); },
                   true,
                   "plain=gone anysys=gone rcsys=gone newsys=on system=on vexo=on "
                   "disk-drivers=on lib=on tool=on old=gone m=on pack=on n=gone loose=gone",
                   {"WARNING: can not uninstall lib-1.0: tool depends on it"}, "cleanup");
}

TEST(Cleanup, RefusedWhenNothingWouldStay) {
    DatabaseScenario scenario({{.name = "a"}, {.name = "b"}});
    scenario.check([](Installer& installer,
                      FileManifest& manifest) { return cleanupPackages(installer, manifest); },
                   false, "a=on b=on", {"ERROR: can not uninstall or disable all packages"},
                   "refused cleanup");
}

}  // namespace
