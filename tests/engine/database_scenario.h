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

struct Db {
    const char* name = "";
    const char* version = "1.0";
    const char* state = "on";   // "on", "on(user)", "off(user)" or "off(auto)"
    const char* schedule = "";  // first word of the schedule file, if any
    const char* depends = "";   // as for refs()
    const char* provides = "";
    const char* conflicts = "";
    std::vector<Db> members = {};  // not empty: an image-backed bundle
};

class DatabaseScenario {
  public:
    // Writes the records and loads them with PackageDatabase::open. The
    // records are then put in the order given (members before their bundle),
    // since the file system's directory order is its own.
    explicit DatabaseScenario(const std::vector<Db>& db);

    Installer& installer() { return Installer::instance(); }
    // The state of every package of the scenario as its files show it:
    // "name=on", "name=off(auto)", "name=gone", ... separated by blanks.
    std::string states() const;
    // The names still known, in list order, separated by blanks.
    std::string known() const;
    std::string printed() { return output_.text(); }

    // Runs `act` on the loaded records and a fresh manifest, applies the
    // manifest, and checks
    // the result, the resulting states, the messages, and that the records
    // still known are exactly those whose database directory remains.
    template <typename Act>
    void check(Act act, bool result, const std::string& states,
               const std::vector<std::string>& messages, const char* what);

  private:
    void write(const Db& d);
    void finishCheck(bool actual, bool result, const std::string& states,
                     const std::vector<std::string>& messages, const char* what);

    TempRoot root_;
    CapturedOutput output_;
    std::vector<std::string> order_;
};

template <typename Act>
void DatabaseScenario::check(Act act, bool result, const std::string& states,
                             const std::vector<std::string>& messages, const char* what) {
    FileManifest manifest;
    const bool actual = act(installer(), manifest);
    manifest.apply(false);
    finishCheck(actual, result, states, messages, what);
}

}  // namespace enginetest
