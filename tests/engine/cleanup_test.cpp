#include "engine/cleanup.h"

#include <gtest/gtest.h>

#include "database_scenario.h"

using namespace enginetest;

namespace {

auto cleanup = [](Installer& installer, FileManifest& manifest) {
    return cleanupPackages(installer, manifest);
};

TEST(Cleanup, KeepsWhatNeedsTheCurrentSystem) {
    DatabaseScenario scenario({
        "plain",
        "anysys dep=system",
        "rcsys dep=system:3.22rc1",
        "newsys dep=system:3.22",
        "system 3.23",
        "vexo",
        "disk-drivers",
        "lib",
        "tool dep=lib,system:3.22",
        "old do=uninstall dep=system:3.22",  // removed by the first, quiet pass
        "m in=pack dep=system:3.22.1",
        "pack bundle",
        "n in=loose",
        "loose bundle",
    });
    scenario.check(cleanup, true,
                   "plain=gone anysys=gone rcsys=gone newsys=on system=on vexo=on "
                   "disk-drivers=on lib=on tool=on old=gone m=on pack=on n=gone loose=gone",
                   {"WARNING: can not uninstall lib-1.0: tool depends on it"}, "cleanup");
}

TEST(Cleanup, RefusedWhenNothingWouldStay) {
    DatabaseScenario scenario({"a", "b dep=a"});
    scenario.check(cleanup, false, "a=on b=on",
                   {"ERROR: can not uninstall or disable all packages"}, "refused cleanup");
}

}  // namespace
