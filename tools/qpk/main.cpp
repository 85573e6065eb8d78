// qpk: builds, bundles, inspects and signs package files for the installer.
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
    "  keygen   make a signing key pair\n"
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
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << USAGE;
        return qpk::EXIT_OK;
    }
    std::cerr << "qpk: unknown command \"" << command << "\" (try qpk --help)\n";
    return qpk::EXIT_USAGE;
}
