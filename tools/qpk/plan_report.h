// "qpk plan" apart from its command line: the installer's normal pass run
// on a root and cancelled, and its report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "json_output.h"

namespace qpk {

struct PlanLine {
    bool json = false;
    std::string root;
    uint32_t allowance = 0;
    std::vector<std::string> packages;  // files given as if uploaded
};

// Runs the pass with what it would draw on the screen going to `screen`.
// Returns the status the installer would end with; `document` is the
// report, or null when the plan could not be made (reported on standard
// error, status 1).
int planOnRoot(const PlanLine& line, std::FILE* screen, Json& document);
// The text form of a report.
void printPlanText(const Json& report, std::ostream& out);

}  // namespace qpk
