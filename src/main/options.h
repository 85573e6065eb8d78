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

// "--commit": apply the saved manifest, returning the exit status (0, or
// that of a failed apply); "--cancel": throw it away.
int commitSavedManifest(Installer& installer);
void cancelSavedManifest(Installer& installer);
