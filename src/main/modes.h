// The run modes: the package list, cleanup, the standard-input install and
// the normal pass.
#pragma once

#include <istream>

#include "main/options.h"

class Installer;
class FileManifest;

int runShow(Installer& installer);
int runCleanup(Installer& installer);
int runFromStdin(Installer& installer, FileManifest& manifest, const RunOptions& options,
                 std::istream& input);
int runNormalPass(Installer& installer, FileManifest& manifest, const RunOptions& options);

// The whole program after the board probe: options, root, load, one mode.
int runInstaller(int argc, char** argv);

constexpr const char* IMAGE_FILE = "/flash/var/pdb//image";
constexpr const char* PACKAGES_CHANGED = "/flash/PCKGS_CHANGED";
