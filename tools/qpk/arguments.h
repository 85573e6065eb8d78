// Command-line reading for the qpk commands: options with a value given as
// "--name VALUE" or "--name=VALUE", plain switches, and positional operands.
#pragma once

#include <cstdint>
#include <optional>
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

// The options that build and bundle share: -o, --name, --version,
// --build-time, --flags and --arch.
struct HeaderOptions {
    std::string output;
    bool haveName = false;
    bool haveVersion = false;
    bool haveBuildTime = false;
};
// The current argument is one of the shared options: consumes it into
// `recipe` and `seen`. A bad value sets `error` (and still returns true).
bool isHeaderOption(Arguments& args, std::string& name, Version& version, uint32_t& buildTime,
                    uint32_t& flags, std::optional<std::string>& architecture, HeaderOptions& seen,
                    std::string& error);
template <class Recipe>
bool isHeaderOption(Arguments& args, Recipe& recipe, HeaderOptions& seen, std::string& error) {
    return isHeaderOption(args, recipe.name, recipe.version, recipe.buildTime, recipe.flags,
                          recipe.architecture, seen, error);
}
// The first shared option missing or bad after reading ("package" or
// "bundle" as `what`); empty when all is well.
std::string headerOptionsError(const HeaderOptions& seen, const std::string& name,
                               const char* what);
// The build time when --build-time is not given: SOURCE_DATE_EPOCH (decimal
// seconds) when set, else the current time. False with a message when the
// variable is malformed.
bool defaultBuildTime(uint32_t& buildTime, std::string& error);

// "2023-11-14 22:13:20" (UTC) of seconds since the epoch; "?" when out of range.
std::string utcTimeText(uint32_t seconds);

// Lower-case hexadecimal text of `n` bytes.
std::string hexText(const uint8_t* bytes, size_t n);

bool readWholeFile(const std::string& path, std::string& bytes, std::string& error);

// One line on stderr: "qpk <command>: <message>".
void reportError(const char* command, const std::string& message);

}  // namespace qpk
