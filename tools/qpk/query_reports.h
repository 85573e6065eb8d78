// The JSON answers of the database queries, apart from the commands that
// print them (the fuzz target checks them on damaged databases).
#pragma once

#include <string>
#include <vector>

#include "json_output.h"
#include "model/installer.h"

namespace qpk {

Json packageJson(Installer& installer, const InstalledPackage& p);
// "qpk list --json": every record in load order.
Json listJson(Installer& installer);
std::vector<std::string> sortedFiles(const InstalledPackage& p);
// "qpk files --json".
Json filesJson(const InstalledPackage& p);
// The packages whose file list holds `path` ("/flash/x" or "/x").
std::vector<std::string> ownersOf(const Installer& installer, const std::string& path);
// "qpk owner --json".
Json ownerJson(const Installer& installer, const std::vector<std::string>& paths);

}  // namespace qpk
