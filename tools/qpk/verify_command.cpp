// "qpk verify": whether the installer would accept each package file's
// signature, against the keys built into it or those of a trust key file.
#include <iostream>

#include "arguments.h"
#include "commands.h"
#include "fs/rootfs.h"
#include "json_output.h"
#include "package_verdict.h"
#include "sign/trust_key_set.h"

namespace qpk {

namespace {

const char* const VERIFY_USAGE =
    "usage: qpk verify [--json] [--trust-keys FILE] PACKAGE...\n"
    "Checks each package file's signature (every member's, for a bundle) the way\n"
    "the installer does, against the keys built into the installer or, with\n"
    "--trust-keys, those of a trust key file. One line per file:\n"
    "\"PATH: ok (Ed25519)\", \"PATH: ok (legacy, trust level 1)\" or\n"
    "\"PATH: rejected: REASON\". Exit status 0 only when every file verifies.\n";

std::string verdictLine(const std::string& path, const PackageFileVerdict& verdict) {
    if (!verdict.accepted) return path + ": rejected: " + verdict.reason;
    if (verdict.form == SignatureForm::Legacy) return path + ": ok (legacy, trust level 1)";
    return path + ": ok (Ed25519)";
}

}  // namespace

int verifyCommand(const std::vector<std::string>& argv) {
    const char* const NAME = "verify";
    Arguments args(argv);
    std::vector<std::string> paths;
    std::string keysPath;
    bool json = false;
    while (args.more()) {
        if (args.isSwitch("--help") || args.isSwitch("-h")) {
            std::cout << VERIFY_USAGE;
            return EXIT_OK;
        }
        if (args.isSwitch("--json")) {
            json = true;
            continue;
        }
        if (args.isOption("--trust-keys", keysPath)) continue;
        std::string operand = args.operand();
        if (args.error().empty()) paths.push_back(std::move(operand));
    }
    if (!args.error().empty() || paths.empty()) {
        reportError(NAME, args.error().empty() ? "no package file given" : args.error());
        return EXIT_USAGE;
    }

    TrustKeySet keys = builtInTrustKeys();
    if (!keysPath.empty()) {
        std::string text, error;
        if (!readWholeFile(keysPath, text, error)) {
            reportError(NAME, error);
            return EXIT_FAILED;
        }
        if (!parseTrustKeySet(text, keys, error)) {
            // "LINE: message" for a line at fault.
            const bool atLine = !error.empty() && error[0] >= '0' && error[0] <= '9';
            reportError(NAME, keysPath + (atLine ? ":" : ": ") + error);
            return EXIT_FAILED;
        }
    }

    rootfs::Root host;  // the machine's own /ram/SECURE decides, as for the installer
    bool allAccepted = true;
    Json files = Json::array();
    for (const std::string& path : paths) {
        std::string data, error;
        PackageFileVerdict verdict;
        if (!readWholeFile(path, data, error))
            verdict.reason = error.substr(path.size() + 2);  // after "PATH: "
        else
            verdict = verifyPackageData(data, host, keys);
        allAccepted = allAccepted && verdict.accepted;
        if (json)
            files.push_back(verdictJson(path, verdict));
        else
            std::cout << verdictLine(path, verdict) << "\n";
    }
    if (json) {
        Json document;
        document["files"] = std::move(files);
        document["all_ok"] = allAccepted;
        printJson(document, std::cout);
    }
    return allAccepted ? EXIT_OK : EXIT_FAILED;
}

}  // namespace qpk
