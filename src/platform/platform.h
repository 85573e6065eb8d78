// Host stand-ins for the router's platform routines. On the router they are
// the system library's; here they read environment variables so that tests
// and the demo can choose the machine's answers.
#pragma once

#include <cstdint>
#include <string>

#include "fs/rootfs.h"

namespace nv {
// The router's mode record; only the first byte (the flagged state) is used.
struct VelmoraMode {
    uint8_t flagged = 0;
    // VELMORA_FLAGGED: unset, "" or "0" = not flagged, anything else = flagged.
    static VelmoraMode load();
};
}  // namespace nv

// VELMORA_MIN_VERSION: a packed version in decimal or 0x-hex; unset = 0.
uint32_t getMinVelmoraVersion();

// The processor version register: VELMORA_PVR (decimal or 0x-hex); on a
// PowerPC build without it, the real register. False when there is none.
bool readProcessorVersion(uint32_t& pvr);

// The "/dev/flash" query: VELMORA_FLASH_INFO when set, else the ioctl on
// "/dev/flash" inside the root. False when the device cannot be opened.
bool queryFlashDevice(rootfs::Root& root, int& result);

// The system's version text (same form as versionText).
std::string version2string(unsigned version);

// Parses a decimal or 0x-hex unsigned number; false on malformed text.
bool parseUnsigned(const char* text, uint32_t& out);
