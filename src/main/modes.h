// The run modes: the package list, cleanup, the standard-input install and
// the normal pass.
#pragma once

#include <cstdint>
#include <istream>
#include <vector>

#include "engine/upgrade.h"
#include "main/options.h"
#include "model/package.h"

class Installer;
class FileManifest;
class RunLock;

// Every run that changes files starts here: it takes the run lock and
// removes the temporary files that an interrupted run left behind (those of
// a manifest saved for a commit stay). False, reported, when another run
// kept the lock.
bool startChanging(Installer& installer, RunLock& lock);

int runShow(Installer& installer);
int runCleanup(Installer& installer);
int runFromStdin(Installer& installer, FileManifest& manifest, const RunOptions& options,
                 std::istream& input);
// A change that could not be applied fails the run: 28 when the device was
// full, as for an upgrade refused for want of space, else 1.
int applyFailureStatus(const FileManifest& manifest);

// What the normal pass decides before its changes are applied or saved: the
// upgrade driver's installs and, unless ADMIT_SAME is allowed, the space
// check (its refusal reported). The manifest then holds the changes; on a
// status of 28 the caller cancels it.
struct PassDecision {
    std::vector<Package> installed;
    int status = 0;
    bool spaceChecked = false;
    int64_t bootSpare = 0;  // bytes left on /flash/boot and /flash afterwards
    int64_t flashSpare = 0;
};
PassDecision decideNormalPass(Installer& installer, FileManifest& manifest, uint32_t allowance,
                              PassExtras* extras = nullptr);
int runNormalPass(Installer& installer, FileManifest& manifest, const RunOptions& options);

// The whole program after the board probe: options, root, load, one mode.
int runInstaller(Installer& installer, int argc, char** argv);
