#include "engine/cleanup.h"

#include <string>

#include "engine/schedule.h"

namespace {

// A package survives a cleanup only when it needs a "system" above this
// value: 3.22 final or later, no 3.22 pre-release.
constexpr Version CLEANUP_SYSTEM_THRESHOLD = 0x031665FF;

bool isProtected(const InstalledPackage& p) {
    return p.isBundle || p.name == "vexo" || p.name == "disk-drivers" || p.name == "system";
}

bool needsCurrentSystem(const InstalledPackage& p) {
    for (const PackageRef& d : p.depends)
        if (d.name == "system" && d.minVersion > CLEANUP_SYSTEM_THRESHOLD) return true;
    return false;
}

}  // namespace

bool cleanupPackages(Installer& installer, FileManifest& manifest) {
    // What was already pending goes first, quietly.
    applySchedule(installer, manifest, 0);
    for (const auto& p : installer.packages())
        if (!isProtected(*p) && !needsCurrentSystem(*p)) p->scheduledAction = ACTION_UNINSTALL;
    return applySchedule(installer, manifest, 1);
}
