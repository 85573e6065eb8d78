// Schedule and cleanup scenarios on a package database that the test writes
// into a temporary root: ordinary records as meta files, bundles as images
// with their members' records beside them.
#pragma once

#include <string>
#include <vector>

#include "model/installer.h"
#include "support/temp_root.h"
#include "txn/manifest.h"

namespace enginetest {

class DatabaseScenario {
  public:
    // One database record per line, in the words of parse() (engine_records.h)
    // plus the state "on(user)", "off(user)" or "off(auto)" (default: enabled,
    // no state file) and "bundle". "do=" writes the schedule file; "in=<b>"
    // makes the record a member of the bundle b, listed before b. The records
    // are loaded with PackageDatabase::open and then put in the order of the
    // lines, since the file system's directory order is its own.
    explicit DatabaseScenario(const std::vector<const char*>& lines);

    Installer& installer() { return Installer::instance(); }
    // Every record's state as its files show it, in line order:
    // "a=on b=on(user) c=off(auto) d=gone".
    std::string states() const;
    // The names still known, in list order.
    std::string known() const;
    std::string printed() { return output_.text(); }

    // Runs `act` on the records and a fresh manifest, applies the manifest,
    // and checks the result, the states, the messages, and that the records
    // still known are exactly those whose directory remains.
    template <typename Act>
    void check(Act act, bool result, const std::string& states,
               const std::vector<std::string>& messages, const std::string& what) {
        FileManifest manifest;
        const bool actual = act(installer(), manifest);
        manifest.apply(false);
        finishCheck(actual, result, states, messages, what);
    }

  private:
    void finishCheck(bool actual, bool result, const std::string& states,
                     const std::vector<std::string>& messages, const std::string& what);

    TempRoot root_;
    CapturedOutput output_;
    std::vector<std::string> names_;
};

}  // namespace enginetest
