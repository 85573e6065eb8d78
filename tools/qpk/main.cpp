// qpk: builds, bundles, inspects, verifies and signs package files for the
// installer, and answers questions about a copy of a router's flash.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"

namespace {

const char* const USAGE =
    "usage: qpk <command> [options]\n"
    "commands:\n"
    "  build    make a package from a directory tree\n"
    "  bundle   join packages into a bundle\n"
    "  inspect  show a package file's parts, files and signature\n"
    "  verify   check package files' signatures as the installer does\n"
    "  keygen   make a signing key pair\n"
    "on a copy of a router's flash (-r ROOT):\n"
    "  list     the installed packages\n"
    "  files    the files of an installed package\n"
    "  owner    the package that installed a file\n"
    "  plan     what the installer would do with package files\n"
    "\"qpk <command> --help\" describes a command.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << USAGE;
        return qpk::EXIT_USAGE;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "build") return qpk::buildCommand(args);
    if (command == "bundle") return qpk::bundleCommand(args);
    if (command == "inspect") return qpk::inspectCommand(args);
    if (command == "keygen") return qpk::keygenCommand(args);
    if (command == "verify") return qpk::verifyCommand(args);
    if (command == "list") return qpk::listCommand(args);
    if (command == "files") return qpk::filesCommand(args);
    if (command == "owner") return qpk::ownerCommand(args);
    if (command == "plan") return qpk::planCommand(args);
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << USAGE;
        return qpk::EXIT_OK;
    }
    std::cerr << "qpk: unknown command \"" << command << "\" (try qpk --help)\n";
    return qpk::EXIT_USAGE;
}
