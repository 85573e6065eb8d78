// Carries out one scenario against the real installer binary in a fresh
// temporary root.
#pragma once

#include <string>
#include <vector>

#include "e2e/scenario.h"

namespace scenario {

// Who runs the installer: the test's own user (as root the installer enters
// the root with chroot), or the unprivileged user "nobody" (the installer
// then works inside the root through its file layer).
enum class RunAs { Self, Nobody };

struct Failure {
    int line = 0;  // scenario line at fault
    std::string message;
};

// Replaces lines [from, to) (0-based) of the scenario file with `lines`.
struct Patch {
    int from = 0;
    int to = 0;
    std::vector<std::string> lines;
};

// Runs every directive in order and collects what did not match. With
// `patches`, records how to rewrite the stdout, stderr, status and
// expect-tree expectations to the actual results.
std::vector<Failure> runScenario(const Scenario& s, RunAs as, std::vector<Patch>* patches);

// Applies patches to a file (bottom up, so that line numbers stay valid).
bool applyPatches(const std::string& path, std::vector<Patch> patches);

// Line diff of two texts, shown in the scenario's escaped notation.
std::string describeDifference(const std::string& expected, const std::string& actual);

}  // namespace scenario
