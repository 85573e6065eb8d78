// The catalogue of hostile package files: each case makes the bytes of one
// file and states what the installer must do with it when the file lies on
// flash (normal pass) and when it arrives on standard input.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "hostile/hostile.h"

namespace hostile {

struct Expect {
    int status = 0;
    // The line of standard output that says what went wrong, or, for a
    // package that installs from flash, its "installed ..." line (from
    // standard input an install prints only its progress: no line is named).
    std::string line;
    // The package installs: its files replace a-1.0's (or join them) and
    // nothing outside /flash changes. Otherwise nothing changes at all.
    bool installs = false;
};

struct Case {
    const char* name;
    std::string (*make)();
    Expect flash;
    Expect stdinRun;
};

// Standard output as lines, with the progress drawing taken away.
std::vector<std::string> plainLines(const std::string& out);
bool hasLine(const std::string& out, const std::string& wanted);
// The lines indented, for failure messages.
std::string showLines(const std::string& out);

// Names the case in test output.
void PrintTo(const Case& c, std::ostream* os);

// Offers the case's file to a router holding a-1.0 and checks the outcome.
void runCase(const Case& c, Via via, User user);

// The refusals that most cases end in.
extern const std::string BROKEN_FILE;   // discovery: "ERROR: broken package a.qpk"
extern const std::string BROKEN_A2;     // "ERROR: installation of a-2.0 failed: broken package"
extern const std::string INSTALLED_A2;  // "installed a-2.0"

}  // namespace hostile
