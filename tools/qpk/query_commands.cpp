// "qpk list", "qpk files" and "qpk owner": what the database of a root
// holds, read the way the installer reads it at start-up.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "arguments.h"
#include "commands.h"
#include "json_output.h"
#include "pdb/database.h"
#include "query_reports.h"
#include "root_database.h"

namespace qpk {

namespace {

const char* const LIST_USAGE =
    "usage: qpk list [--json] -r ROOT\n"
    "Lists the packages installed on ROOT, a copy of a router's flash: name,\n"
    "version, build time, state, scheduled action, bundle and whether the\n"
    "package file is kept as its image. Nothing under ROOT changes.\n";
const char* const FILES_USAGE =
    "usage: qpk files [--json] -r ROOT NAME\n"
    "Lists the files that the installed package NAME owns on ROOT. Exit status 1\n"
    "when no such package is installed.\n";
const char* const OWNER_USAGE =
    "usage: qpk owner [--json] -r ROOT PATH...\n"
    "Tells which installed package owns each PATH (\"/flash/bin/x\", or \"/bin/x\"\n"
    "for the same file), or \"not owned\". Exit status 1 when a path is not owned.\n";

// The command line every query shares: --json, -r ROOT and operands.
struct QueryLine {
    bool json = false;
    std::string root;
    std::vector<std::string> operands;
};

// False when the command is done: help printed (status 0) or a usage error
// reported (status 2).
bool readQueryLine(const char* name, const char* usage, const std::vector<std::string>& argv,
                   QueryLine& line, int& status) {
    Arguments args(argv);
    while (args.more()) {
        if (args.isSwitch("--help") || args.isSwitch("-h")) {
            std::cout << usage;
            status = EXIT_OK;
            return false;
        }
        if (args.isSwitch("--json")) {
            line.json = true;
            continue;
        }
        if (args.isOption("-r", line.root) || args.isOption("--root", line.root)) continue;
        std::string operand = args.operand();
        if (args.error().empty()) line.operands.push_back(std::move(operand));
    }
    std::string error = args.error();
    if (error.empty() && line.root.empty()) error = "no root given (-r ROOT)";
    if (!error.empty()) {
        reportError(name, error);
        status = EXIT_USAGE;
        return false;
    }
    return true;
}

// The root's database, or false with the failure reported.
bool openRoot(const char* name, const QueryLine& line, bool withFileLists, Installer& installer) {
    std::string error;
    if (loadRootDatabase(installer, line.root, withFileLists, error)) return true;
    reportError(name, error);
    return false;
}

}  // namespace

Json packageJson(Installer& installer, const InstalledPackage& p) {
    Json j;
    j["name"] = p.name;
    j["version"] = versionText(p.version);
    j["build_time"] = p.buildTime;
    j["state"] = stateName(p);
    j["state_chosen_by_user"] = p.userState != 0;
    j["scheduled"] = p.scheduledAction ? Json(scheduledActionName(p.scheduledAction)) : Json();
    j["bundle"] = p.bundleRef.name.empty() ? Json() : Json(p.bundleRef.name);
    j["is_bundle"] = p.isBundle != 0;
    j["members"] = p.memberNames;
    j["image_kept"] = imageKept(installer, p);
    return j;
}

Json listJson(Installer& installer) {
    Json packages = Json::array();
    for (const auto& p : installer.packages()) packages.push_back(packageJson(installer, *p));
    Json document;
    document["packages"] = std::move(packages);
    return document;
}

std::vector<std::string> sortedFiles(const InstalledPackage& p) {
    std::vector<std::string> paths(p.files.begin(), p.files.end());
    std::sort(paths.begin(), paths.end());
    return paths;
}

Json filesJson(const InstalledPackage& p) {
    Json document;
    document["name"] = p.name;
    document["version"] = versionText(p.version);
    document["files"] = sortedFiles(p);
    return document;
}

std::vector<std::string> ownersOf(const Installer& installer, const std::string& path) {
    std::vector<std::string> owners;
    // Named the way a record's file list names it.
    const std::string target = installedFilePath(path);
    if (!target.empty())
        for (const auto& p : installer.packages())
            if (p->files.contains(target)) owners.push_back(p->name);
    return owners;
}

Json ownerJson(const Installer& installer, const std::vector<std::string>& paths) {
    Json answers = Json::array();
    for (const std::string& path : paths) {
        const std::string target = installedFilePath(path);
        Json answer;
        answer["path"] = path;
        answer["file"] = target.empty() ? Json() : Json(target);
        answer["owners"] = ownersOf(installer, path);
        answers.push_back(std::move(answer));
    }
    Json document;
    document["paths"] = std::move(answers);
    return document;
}

int listCommand(const std::vector<std::string>& argv) {
    QueryLine line;
    int status = EXIT_OK;
    if (!readQueryLine("list", LIST_USAGE, argv, line, status)) return status;
    if (!line.operands.empty()) {
        reportError("list", "unexpected operand " + line.operands.front());
        return EXIT_USAGE;
    }
    RootContext installer;
    if (!openRoot("list", line, false, installer)) return EXIT_FAILED;
    if (line.json) {
        printJson(listJson(installer), std::cout);
        return EXIT_OK;
    }
    char row[256];
    std::snprintf(row, sizeof row, "%-16s %-12s %-19s  %-8s  %-9s  %-16s %s\n", "NAME", "VERSION",
                  "BUILD TIME (UTC)", "STATE", "SCHEDULED", "BUNDLE", "IMAGE");
    std::cout << row;
    for (const auto& p : installer.packages()) {
        const std::string bundle = p->isBundle                 ? "(bundle)"
                                   : p->bundleRef.name.empty() ? "-"
                                                               : p->bundleRef.name;
        std::snprintf(row, sizeof row, "%-16s %-12s %-19s  %-8s  %-9s  %-16s %s\n", p->name.c_str(),
                      versionText(p->version), utcTimeText(p->buildTime).c_str(), stateName(*p),
                      p->scheduledAction ? scheduledActionName(p->scheduledAction) : "-",
                      bundle.c_str(), imageKept(installer, *p) ? "kept" : "-");
        std::cout << row;
    }
    return EXIT_OK;
}

int filesCommand(const std::vector<std::string>& argv) {
    QueryLine line;
    int status = EXIT_OK;
    if (!readQueryLine("files", FILES_USAGE, argv, line, status)) return status;
    if (line.operands.size() != 1) {
        reportError("files", line.operands.empty() ? "no package name given"
                                                   : "more than one package name given");
        return EXIT_USAGE;
    }
    RootContext installer;
    if (!openRoot("files", line, true, installer)) return EXIT_FAILED;
    const std::string& name = line.operands.front();
    const InstalledPackage* p = findPackage(installer, name);
    if (!p) {
        reportError("files", "no package " + name + " is installed");
        return EXIT_FAILED;
    }
    if (line.json)
        printJson(filesJson(*p), std::cout);
    else
        for (const std::string& path : sortedFiles(*p)) std::cout << path << "\n";
    return EXIT_OK;
}

int ownerCommand(const std::vector<std::string>& argv) {
    QueryLine line;
    int status = EXIT_OK;
    if (!readQueryLine("owner", OWNER_USAGE, argv, line, status)) return status;
    if (line.operands.empty()) {
        reportError("owner", "no path given");
        return EXIT_USAGE;
    }
    RootContext installer;
    if (!openRoot("owner", line, true, installer)) return EXIT_FAILED;
    bool allOwned = true;
    for (const std::string& path : line.operands) {
        const std::vector<std::string> owners = ownersOf(installer, path);
        allOwned = allOwned && !owners.empty();
        if (line.json) continue;
        std::string text;
        for (const std::string& owner : owners) text += (text.empty() ? "" : ", ") + owner;
        std::cout << path << ": " << (owners.empty() ? "not owned" : text) << "\n";
    }
    if (line.json) printJson(ownerJson(installer, line.operands), std::cout);
    return allOwned ? EXIT_OK : EXIT_FAILED;
}

}  // namespace qpk
