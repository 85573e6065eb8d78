// "qpk bundle": packages joined into one bundle file.
#include <iostream>

#include "arguments.h"
#include "commands.h"
#include "pkgfile/package_reader.h"
#include "qpk/lib/builder.h"

namespace qpk {

namespace {

const char* const BUNDLE_USAGE =
    "usage: qpk bundle -o FILE --name NAME --version VERSION [options] MEMBER.qpk...\n"
    "Joins signed packages into a bundle; each member keeps its own signature.\n"
    "  -o FILE                   the bundle file to write\n"
    "  --name NAME               bundle name, at most 16 characters\n"
    "  --version V               e.g. 7.1beta3\n"
    "  --build-time T            seconds since the epoch (default: SOURCE_DATE_EPOCH\n"
    "                            when set, else now)\n"
    "  --flags F                 header flags\n"
    "  --arch A                  architecture name (a part after the members)\n"
    "  --default-disabled NAME   a member that installs disabled (repeatable)\n"
    "  --keep-image PAYLOADFILE  keep the bundle whole as its image (part 21); required,\n"
    "                            since the installer loads a bundle's members from it\n"
    "The same members, options and build time give the same file.\n";

uint32_t littleEndian32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(bytes[at + size_t(i)]);
    return v;
}

}  // namespace

int bundleCommand(const std::vector<std::string>& argv) {
    const char* const NAME = "bundle";
    Arguments args(argv);
    BundleRecipe recipe;
    std::string value, error;
    HeaderOptions seen;
    std::vector<std::string> memberPaths;
    std::optional<std::string> keepImageFile;

    while (args.more()) {
        if (args.isSwitch("--help") || args.isSwitch("-h")) {
            std::cout << BUNDLE_USAGE;
            return EXIT_OK;
        } else if (isHeaderOption(args, recipe, seen, error)) {
            if (!error.empty()) break;
        } else if (args.isOption("--default-disabled", value)) {
            if (!parseRef(value, 3, recipe.defaultDisabled.emplace_back(), error)) break;
        } else if (args.isOption("--keep-image", value)) {
            keepImageFile = value;
        } else {
            const std::string operand = args.operand();
            if (!args.error().empty()) break;
            memberPaths.push_back(operand);
        }
    }
    if (error.empty()) error = args.error();
    if (error.empty()) error = headerOptionsError(seen, recipe.name, "bundle");
    if (error.empty() && !seen.haveBuildTime) defaultBuildTime(recipe.buildTime, error);
    if (error.empty() && memberPaths.empty()) error = "no member packages given";
    // The installer refuses a bundle that keeps no image.
    if (error.empty() && !keepImageFile) error = "a bundle needs --keep-image";
    if (!error.empty()) {
        reportError(NAME, error);
        return EXIT_USAGE;
    }

    if (keepImageFile) {
        recipe.keepImagePayload.emplace();
        readWholeFile(*keepImageFile, *recipe.keepImagePayload, error);
    }
    std::vector<std::string> members;
    for (const std::string& path : memberPaths) {
        if (!error.empty()) break;
        std::string bytes;
        if (!readWholeFile(path, bytes, error)) break;
        const uint32_t magic = bytes.size() >= 8 ? littleEndian32(bytes, 0) : 0;
        if (magic != PACKAGE_MAGIC && magic != UNRECORDED_PACKAGE_MAGIC) {
            error = path + ": not a package file";
        } else if (littleEndian32(bytes, 4) != bytes.size() - 8) {
            error = path + ": length field does not match the file";
        } else if (magic == UNRECORDED_PACKAGE_MAGIC) {
            // Only the bundle's own file header survives.
            std::cerr << "qpk bundle: warning: " << path
                      << " is an unrecorded package; in the bundle it is recorded\n";
        }
        members.push_back(std::move(bytes));
    }
    if (error.empty()) writeFile(seen.output, buildBundle(recipe, members), error);
    if (!error.empty()) {
        reportError(NAME, error);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace qpk
