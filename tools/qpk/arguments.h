// Command-line reading for the qpk commands: options with a value given as
// "--name VALUE" or "--name=VALUE", plain switches, and positional operands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/package.h"

namespace qpk {

class Arguments {
  public:
    explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}

    bool more() const { return error_.empty() && pos_ < args_.size(); }
    // The current argument is the switch `name`: consumes it.
    bool isSwitch(const char* name);
    // The current argument is option `name` with a value: consumes both. A
    // missing value records an error (and still returns true).
    bool isOption(const char* name, std::string& value);
    // Anything else: an operand, or an unknown option (recorded as an error).
    std::string operand();

    const std::string& error() const { return error_; }

  private:
    std::vector<std::string> args_;
    size_t pos_ = 0;
    std::string error_;
};

// Decimal or 0x-hexadecimal, the whole text, within `max`.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& out);
// "name[:min[:max[:weight]]]"; `fields` is 3 for depends and conflicts, 4
// for provides. Empty version fields are 0. False with a message.
bool parseRef(const std::string& text, int fields, PackageRef& ref, std::string& error);
// A package name fits the 16-byte name field and is not empty.
bool validName(const std::string& name);
// Version text as the installer prints it ("7.1beta3"), or a number.
bool parseVersionOption(const std::string& text, Version& out, std::string& error);

bool readWholeFile(const std::string& path, std::string& bytes, std::string& error);

// One line on stderr: "qpk <command>: <message>".
void reportError(const char* command, const std::string& message);

}  // namespace qpk
