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

// Runs every directive in order and collects what did not match.
std::vector<Failure> runScenario(const Scenario& s, RunAs as);

// Runs a scenario as a test: as root twice from a fresh root, as root and as
// nobody, both held to the same expectations; reports each failure at its
// scenario line. Skips what needs root when not root (see rootRequired()).
void checkScenario(const Scenario& s);

}  // namespace scenario
