// "qpk plan": what the installer's normal pass would do on a root, with
// package files given as if uploaded or with those already on its flash. The
// pass is the installer's own, run on a manifest that is then cancelled.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <set>

#include "arguments.h"
#include "commands.h"
#include "engine/admission.h"
#include "engine/schedule.h"
#include "fs/fd_stream.h"
#include "json_output.h"
#include "main/modes.h"
#include "pdb/database.h"
#include "pkgfile/discovery.h"
#include "plan_report.h"
#include "platform/platform.h"
#include "root_database.h"
#include "txn/manifest.h"
#include "txn/run_lock.h"

namespace qpk {

namespace {

const char* const PLAN_USAGE =
    "usage: qpk plan [--json] [-down] [--reinstall] -r ROOT [PACKAGE...]\n"
    "Shows what the installer's normal pass would do on ROOT, a copy of a\n"
    "router's flash: with the PACKAGE files as if placed in /flash/rw/pckg/, or\n"
    "with the package files already on its flash. It lists the installer's own\n"
    "messages, the files found and the install order, the packages installed,\n"
    "replaced, enabled, disabled and uninstalled, the files added and removed,\n"
    "and the space left on /flash/boot and /flash. The pass stages its changes\n"
    "and cancels them: nothing under ROOT changes, but ROOT must be writable.\n"
    "-down and --reinstall act as for the installer. The exit status is the one\n"
    "the installer would end with (0, 28 when the changes do not fit, else the\n"
    "install set's); 2 for a bad command line.\n";

// What a record was before the pass.
struct RecordState {
    Version version = 0;
    bool disabled = false;
};

std::map<std::string, RecordState> recordStates(const Installer& installer) {
    std::map<std::string, RecordState> states;
    for (const auto& p : installer.packages())
        states.emplace(p->name, RecordState{p->version, p->disabled != 0});
    return states;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Copies each given file into the manifest, staged for its place in the
// upload directory, so that the pass reads it from the root's own flash and
// the space it takes there counts. False (reported) on failure.
bool stageUploads(Installer& installer, FileManifest& manifest, const PlanLine& line,
                  PassExtras& extras) {
    std::vector<std::string> present;
    installer.root.listDirectory(UPLOAD_DIR, present);
    const std::set<std::string> uploaded(present.begin(), present.end());
    std::set<std::string> given;
    for (const std::string& path : line.packages) {
        const std::string name = baseName(path);
        const std::string target = UPLOAD_DIR + name;
        std::string data, error;
        if (!readWholeFile(path, data, error)) {
            reportError("plan", error);
            return false;
        }
        // An upload would replace the file of its name.
        if (uploaded.count(name)) {
            reportError("plan", target + " is there already: remove it from the root first");
            return false;
        }
        if (!given.insert(name).second) {
            reportError("plan", "two files named " + name + " given");
            return false;
        }
        std::unique_ptr<OutFile> out = manifest.createStaged(target, data.size(), 0);
        if (out->is_open()) out->write(data.data(), std::streamsize(data.size()));
        const auto staged = manifest.entries().find(target);
        if (!out->close() || !staged) {
            reportError("plan", "could not stage " + target + ": " + std::strerror(errno));
            return false;
        }
        extras.staged.push_back({std::string(staged->source), name});
    }
    return true;
}

const char* changeOfKind(rootfs::Root& root, const std::string& target, EntryKind kind) {
    if (kind == EntryKind::Remove) return "remove";
    if (kind == EntryKind::Symlink) return "link";
    struct stat st;
    return root.lstat(target, &st) == 0 ? "replace" : "add";
}

// The report of one plan.
class PlanReport {
  public:
    PlanReport(Installer& installer, const PassDecision& pass, const PassExtras& extras,
               const std::map<std::string, std::string>& givenPaths)
        : installer_(installer), pass_(pass), extras_(extras), given_(givenPaths) {}

    Json json(const FileManifest& manifest, const std::map<std::string, RecordState>& before,
              const std::set<std::string>& uploadTargets) const;

  private:
    std::string shownPath(const std::string& path) const {
        auto found = given_.find(path);
        return found == given_.end() ? path : found->second;
    }

    Installer& installer_;
    const PassDecision& pass_;
    const PassExtras& extras_;
    const std::map<std::string, std::string>& given_;
};

Json PlanReport::json(const FileManifest& manifest,
                      const std::map<std::string, RecordState>& before,
                      const std::set<std::string>& uploadTargets) const {
    Json report;
    report["status"] = pass_.status;
    report["verdict"] = pass_.status == 0 ? "fits" : pass_.status == 28 ? "refused" : "failed";
    report["messages"] = installer_.console.messages;

    Json found = Json::array();
    std::vector<const FoundFile*> order;
    for (const FoundFile& f : extras_.found) {
        Json entry;
        entry["file"] = shownPath(f.path);
        entry["name"] = f.header.name;
        entry["version"] = versionText(f.header.version);
        entry["rank"] = f.rank >= 0 ? Json(f.rank + 1) : Json();
        // A pass that fails or is refused installs nothing.
        entry["installed"] = f.installed && pass_.status == 0;
        found.push_back(std::move(entry));
        if (f.rank >= 0) order.push_back(&f);
    }
    std::sort(order.begin(), order.end(),
              [](const FoundFile* a, const FoundFile* b) { return a->rank < b->rank; });
    report["found"] = std::move(found);
    Json orderJson = Json::array();
    for (const FoundFile* f : order) orderJson.push_back(nameWithVersion(f->header));
    report["order"] = std::move(orderJson);
    Json installed = Json::array();
    for (const Package& p : pass_.installed) installed.push_back(nameWithVersion(p));
    report["installed"] = std::move(installed);

    // Record by record: what the pass made of each name.
    std::map<std::string, const InstalledPackage*> after;
    for (const auto& p : installer_.packages()) after.emplace(p->name, p.get());
    std::set<std::string> names;
    for (const auto& [name, state] : before) names.insert(name);
    for (const auto& [name, record] : after) names.insert(name);
    Json changes = Json::array();
    // A pass that fails changes nothing.
    if (pass_.status != 0 && pass_.status != 28) names.clear();
    for (const std::string& name : names) {
        auto was = before.find(name);
        auto now = after.find(name);
        auto change = [&](const char* action) {
            Json c;
            c["action"] = action;
            c["name"] = name;
            c["from"] = was != before.end() ? Json(versionText(was->second.version)) : Json();
            c["to"] = now != after.end() ? Json(versionText(now->second->version)) : Json();
            changes.push_back(std::move(c));
        };
        if (now == after.end()) {
            change("uninstall");
            continue;
        }
        const InstalledPackage& p = *now->second;
        if (was == before.end()) {
            change(p.disabled ? "install disabled" : "install");
            continue;
        }
        if (p.version > was->second.version) change("upgrade");
        if (p.version < was->second.version) change("downgrade");
        if (!p.disabled && was->second.disabled) change("enable");
        if (p.disabled && !was->second.disabled) change("disable");
    }
    report["changes"] = std::move(changes);

    Json files = Json::array();
    for (const auto& [target, entry] : manifest.entries()) {
        const std::string path(target);
        if (uploadTargets.count(path)) continue;
        Json f;
        f["change"] = changeOfKind(installer_.root, path, entry.kind);
        f["path"] = path;
        if (entry.kind == EntryKind::Symlink) f["link"] = std::string(entry.source);
        files.push_back(std::move(f));
    }
    report["files"] = std::move(files);

    Json space;
    space["checked"] = pass_.spaceChecked;
    space["boot_spare_bytes"] = pass_.spaceChecked ? Json(pass_.bootSpare) : Json();
    space["flash_spare_bytes"] = pass_.spaceChecked ? Json(pass_.flashSpare) : Json();
    report["space"] = std::move(space);
    return report;
}

}  // namespace

void printPlanText(const Json& report, std::ostream& out) {
    auto str = [](const Json& j) { return j.is_string() ? j.get<std::string>() : std::string(); };
    out << "messages:\n";
    for (const Json& m : report["messages"]) out << "  " << str(m) << "\n";
    out << "package files found:\n";
    for (const Json& f : report["found"]) {
        out << "  " << str(f["file"]) << ": " << str(f["name"]) << " " << str(f["version"]);
        if (f["rank"].is_null())
            out << ", not a candidate\n";
        else
            out << ", candidate " << f["rank"].get<int>()
                << (f["installed"].get<bool>() ? ", installed\n" : ", not installed\n");
    }
    out << "installed, in this order:\n";
    for (const Json& p : report["installed"]) out << "  " << str(p) << "\n";
    out << "changes:\n";
    for (const Json& c : report["changes"]) {
        out << "  " << str(c["action"]) << " " << str(c["name"]);
        if (c["from"].is_string() && c["to"].is_string() && str(c["from"]) != str(c["to"]))
            out << " " << str(c["from"]) << " -> " << str(c["to"]);
        else if (c["to"].is_string())
            out << " " << str(c["to"]);
        else if (c["from"].is_string())
            out << " " << str(c["from"]);
        out << "\n";
    }
    out << "files:\n";
    for (const Json& f : report["files"]) {
        char kind[16];
        std::snprintf(kind, sizeof kind, "%-8s", str(f["change"]).c_str());
        out << "  " << kind << " " << str(f["path"]);
        if (f.contains("link")) out << " -> " << str(f["link"]);
        out << "\n";
    }
    const Json& space = report["space"];
    if (space["checked"].get<bool>())
        out << "space left afterwards: /flash/boot " << space["boot_spare_bytes"].get<int64_t>()
            << " bytes, /flash " << space["flash_spare_bytes"].get<int64_t>() << " bytes\n";
    else
        out << "space: not checked (--reinstall)\n";
    const int status = report["status"].get<int>();
    out << "result: "
        << (status == 0    ? "the changes fit"
            : status == 28 ? "refused, the changes do not fit"
                           : "the pass fails, nothing changes")
        << " (exit status " << status << ")\n";
}

namespace {

bool readPlanLine(const std::vector<std::string>& argv, PlanLine& line, int& status) {
    Arguments args(argv);
    while (args.more()) {
        if (args.isSwitch("--help") || args.isSwitch("-h")) {
            std::cout << PLAN_USAGE;
            status = EXIT_OK;
            return false;
        }
        if (args.isSwitch("--json")) {
            line.json = true;
        } else if (args.isSwitch("-down")) {
            line.allowance |= ADMIT_OLDER;
        } else if (args.isSwitch("--reinstall")) {
            line.allowance |= ADMIT_SAME;
        } else if (!args.isOption("-r", line.root) && !args.isOption("--root", line.root)) {
            std::string operand = args.operand();
            if (args.error().empty()) line.packages.push_back(std::move(operand));
        }
    }
    std::string error = args.error();
    if (error.empty() && line.root.empty()) error = "no root given (-r ROOT)";
    for (const std::string& path : line.packages)
        if (error.empty() && !hasPackageSuffix(baseName(path)))
            error = path + ": the installer takes only .qpk and .wpk files";
    if (!error.empty()) {
        reportError("plan", error);
        status = EXIT_USAGE;
        return false;
    }
    return true;
}

}  // namespace

int planOnRoot(const PlanLine& line, std::FILE* screen, Json& document) {
    RootContext installer(screen);
    installer.planning = true;
    installer.flagged = nv::VelmoraMode::load().flagged;
    if (!installer.root.setDirectory(line.root)) {
        reportError("plan", line.root + ": " + std::strerror(errno));
        return EXIT_FAILED;
    }
    // A run of the installer on the same root would take the plan's staged
    // files for leftovers.
    RunLock lock(installer.root);
    if (!lock.acquireIfPresent()) {
        reportError("plan", "could not lock " + lock.path() + ": " + std::strerror(errno));
        return EXIT_FAILED;
    }
    const char* arch = std::getenv("arch");
    PackageDatabase::open(installer, false, arch ? arch : "i386");
    const std::map<std::string, RecordState> before = recordStates(installer);

    FileManifest manifest(installer.root, installer.console, applyRank);
    PassExtras extras;
    if (!stageUploads(installer, manifest, line, extras)) {
        manifest.cancel();
        return EXIT_FAILED;
    }
    std::set<std::string> uploadTargets;
    std::map<std::string, std::string> givenPaths;
    for (size_t k = 0; k < extras.staged.size(); ++k) {
        uploadTargets.insert(UPLOAD_DIR + extras.staged[k].name);
        givenPaths[extras.staged[k].path] = line.packages[k];
    }

    applySchedule(installer, manifest, 1);
    const PassDecision pass = decideNormalPass(installer, manifest, line.allowance, &extras);
    const PlanReport report(installer, pass, extras, givenPaths);
    document = report.json(manifest, before, uploadTargets);
    manifest.cancel();
    return pass.status;
}

int planCommand(const std::vector<std::string>& argv) {
    PlanLine line;
    int status = EXIT_OK;
    if (!readPlanLine(argv, line, status)) return status;

    // The pass's messages are kept for the report, as the installer keeps
    // them for its log; what it draws on the screen goes nowhere.
    char* drawn = nullptr;
    size_t drawnSize = 0;
    std::FILE* screen = open_memstream(&drawn, &drawnSize);
    if (!screen) {
        reportError("plan", std::strerror(errno));
        return EXIT_FAILED;
    }
    Json document;
    const int planStatus = planOnRoot(line, screen, document);
    std::fclose(screen);
    std::free(drawn);
    if (document.is_null()) return planStatus;  // reported
    if (line.json)
        printJson(document, std::cout);
    else
        printPlanText(document, std::cout);
    return planStatus;
}

}  // namespace qpk
