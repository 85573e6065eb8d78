// The command line: options in the order they are tested, and the commands
// that act the moment they are read.
#pragma once

#include <cstdint>
#include <string>

class Installer;

struct RunOptions {
    bool cleanup = false;
    bool fromStdin = false;
    bool quiet = false;
    bool show = false;
    bool applyNow = true;
    std::string root;
    uint32_t allowance = 0;
};

// Reads the options. Returns false when the program must end now with
// `exitStatus` (usage printed, "--commit" or "--cancel" carried out).
bool parseOptions(Installer& installer, int argc, char** argv, RunOptions& options,
                  int& exitStatus);

constexpr const char* USAGE_LINE = "usage: installer [-q] [-r <root>] [-]";

// "--commit": apply the saved manifest; "--cancel": throw it away with its
// staged files. Each returns the exit status: 0, that of a failed apply, or
// 1 when another run kept the lock.
int commitSavedManifest(Installer& installer);
int cancelSavedManifest(Installer& installer);
