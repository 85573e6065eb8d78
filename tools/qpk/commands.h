// The qpk commands; each takes the arguments after its name and returns the
// exit status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qpk {

int buildCommand(const std::vector<std::string>& args);
int bundleCommand(const std::vector<std::string>& args);
int inspectCommand(const std::vector<std::string>& args);
int keygenCommand(const std::vector<std::string>& args);
int verifyCommand(const std::vector<std::string>& args);
int listCommand(const std::vector<std::string>& args);
int filesCommand(const std::vector<std::string>& args);
int ownerCommand(const std::vector<std::string>& args);
int planCommand(const std::vector<std::string>& args);

// The body of "inspect" on a file's bytes, for the fuzz target as well.
int inspectData(const std::string& data, bool json, std::ostream& out);

// Exit statuses.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;  // the work itself failed
constexpr int EXIT_USAGE = 2;   // bad command line

}  // namespace qpk
