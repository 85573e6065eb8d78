// "qpk build": a package from a directory tree.
#include <iostream>

#include "arguments.h"
#include "commands.h"
#include "qpk/lib/builder.h"
#include "qpk/lib/signer.h"

namespace qpk {

namespace {

const char* const BUILD_USAGE =
    "usage: qpk build -o FILE --name NAME --version VERSION [options] DIR\n"
    "Makes a package of the regular files below DIR (mode bits kept).\n"
    "  -o FILE                   the package file to write\n"
    "  --name NAME               package name, at most 16 characters\n"
    "  --version V               e.g. 7.1beta3, 6.40.1, 6.40, 7.1rc\n"
    "  --build-time T            seconds since the epoch (default: SOURCE_DATE_EPOCH\n"
    "                            when set, else now)\n"
    "  --flags F                 header flags (1: boot image, 2: no meta files)\n"
    "  --arch A                  architecture name\n"
    "  --note TEXT               note text\n"
    "  --depends NAME:MIN:MAX    a dependency; empty versions are open ends\n"
    "  --provides NAME:MIN:MAX:WEIGHT\n"
    "  --conflicts NAME:MIN:MAX\n"
    "  --keep-image PAYLOADFILE  keep the package whole as its image (part 21)\n"
    "  --sha256                  sign a SHA-256 digest instead of SHA-1\n"
    "  --unrecorded              never entered in the package database\n"
    "  --key KEYFILE             signing keys (ed25519-secret, legacy-secret)\n"
    "  --legacy-key KEYFILE      the legacy-secret of another key file\n"
    "  --cpu-class PATH=N        the file PATH needs processor class N\n"
    "Without --key and --legacy-key the package is unsigned, and the installer\n"
    "rejects it. Files go in in path order with only their mode bits and\n"
    "contents, so the same tree, options, keys and build time give the same file.\n";

std::string withoutLeadingSlash(const std::string& path) {
    size_t start = 0;
    while (start < path.size() && path[start] == '/') ++start;
    return path.substr(start);
}

bool applyCpuClass(std::vector<FileEntry>& files, const std::string& assignment,
                   std::string& error) {
    const size_t eq = assignment.rfind('=');
    uint64_t cpuClass = 0;
    if (eq == std::string::npos || eq == 0 ||
        !parseNumber(assignment.substr(eq + 1), 255, cpuClass)) {
        error = "malformed --cpu-class \"" + assignment + "\" (PATH=N, N 0 to 255)";
        return false;
    }
    const std::string path = withoutLeadingSlash(assignment.substr(0, eq));
    for (FileEntry& f : files) {
        if (withoutLeadingSlash(f.name) == path) {
            f.cpuClass = uint8_t(cpuClass);
            return true;
        }
    }
    error = "--cpu-class: no file " + path + " in the tree";
    return false;
}

bool loadLegacyKey(const std::string& path, SigningKeys& keys, std::string& error) {
    SigningKeys other;
    if (!loadKeyFile(path, other, error)) return false;
    if (!other.haveLegacy) {
        error = path + ": no legacy-secret line";
        return false;
    }
    keys.haveLegacy = true;
    std::copy(other.legacyScalar, other.legacyScalar + 32, keys.legacyScalar);
    return true;
}

// A legacy scalar that is a multiple of the group order has no inverse; its
// public point is the neutral element, whose u-coordinate is 0.
bool usableLegacyKey(const SigningKeys& keys) {
    if (!keys.haveLegacy) return true;
    uint8_t publicKey[32];
    legacyPublicKey(keys.legacyScalar, publicKey);
    for (uint8_t b : publicKey)
        if (b != 0) return true;
    return false;
}

}  // namespace

int buildCommand(const std::vector<std::string>& argv) {
    const char* const NAME = "build";
    Arguments args(argv);
    PackageRecipe recipe;
    std::string dir, value, error;
    HeaderOptions seen;
    std::vector<std::string> keyFiles, legacyKeyFiles, cpuClasses;
    std::optional<std::string> keepImageFile;

    while (args.more()) {
        if (args.isSwitch("--help") || args.isSwitch("-h")) {
            std::cout << BUILD_USAGE;
            return EXIT_OK;
        } else if (args.isSwitch("--sha256")) {
            recipe.sha256 = true;
        } else if (args.isSwitch("--unrecorded")) {
            recipe.unrecorded = true;
        } else if (isHeaderOption(args, recipe, seen, error)) {
            if (!error.empty()) break;
        } else if (args.isOption("--note", value)) {
            recipe.note = value;
        } else if (args.isOption("--depends", value)) {
            if (!parseRef(value, 3, recipe.depends.emplace_back(), error)) break;
        } else if (args.isOption("--provides", value)) {
            if (!parseRef(value, 4, recipe.provides.emplace_back(), error)) break;
        } else if (args.isOption("--conflicts", value)) {
            if (!parseRef(value, 3, recipe.conflicts.emplace_back(), error)) break;
        } else if (args.isOption("--keep-image", value)) {
            keepImageFile = value;
        } else if (args.isOption("--key", value)) {
            keyFiles.push_back(value);
        } else if (args.isOption("--legacy-key", value)) {
            legacyKeyFiles.push_back(value);
        } else if (args.isOption("--cpu-class", value)) {
            cpuClasses.push_back(value);
        } else {
            const std::string operand = args.operand();
            if (!args.error().empty()) break;
            if (!dir.empty()) {
                error = "more than one directory given";
                break;
            }
            dir = operand;
        }
    }
    if (error.empty()) error = args.error();
    if (error.empty()) error = headerOptionsError(seen, recipe.name, "package");
    if (error.empty() && !seen.haveBuildTime) defaultBuildTime(recipe.buildTime, error);
    if (error.empty() && dir.empty()) error = "no directory given";
    if (!error.empty()) {
        reportError(NAME, error);
        return EXIT_USAGE;
    }

    SigningKeys keys;
    for (const std::string& file : keyFiles)
        if (!loadKeyFile(file, keys, error)) break;
    if (error.empty())
        for (const std::string& file : legacyKeyFiles)
            if (!loadLegacyKey(file, keys, error)) break;
    if (error.empty() && !usableLegacyKey(keys))
        error = "legacy key is zero modulo the group order";
    if (error.empty() && keepImageFile) {
        recipe.keepImagePayload.emplace();
        readWholeFile(*keepImageFile, *recipe.keepImagePayload, error);
    }
    if (error.empty()) readTree(dir, recipe.files, error);
    for (const std::string& assignment : cpuClasses)
        if (error.empty()) applyCpuClass(recipe.files, assignment, error);
    if (!error.empty()) {
        reportError(NAME, error);
        return EXIT_FAILED;
    }

    if (!keys.haveEd25519 && !keys.haveLegacy) {
        std::cerr << "qpk build: warning: no signing key given; the installer will reject "
                  << seen.output << "\n";
    }
    const std::string package = buildPackage(recipe, keys);
    if (package.empty()) return EXIT_FAILED;  // the signer has said why
    if (!writeFile(seen.output, package, error)) {
        reportError(NAME, error);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace qpk
