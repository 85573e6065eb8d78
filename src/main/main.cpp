#include <cstdlib>
#include <cstring>

#include "main/modes.h"
#include "model/installer.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    // On the emulated board the installer has nothing to do.
    const char* board = std::getenv("board");
    if (board && std::strcmp(board, "qemu_p9") == 0) return 0;
    // The run owns its context and hands it down.
    Installer installer;
    installer.flagged = nv::VelmoraMode::load().flagged;
    return runInstaller(installer, argc, argv);
}
