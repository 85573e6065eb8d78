#include "platform/platform.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "fs/rootfs.h"
#include "model/version.h"

bool parseUnsigned(const char* text, uint32_t& out) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull || text[0] == '-') return false;
    out = uint32_t(value);
    return true;
}

nv::VelmoraMode nv::VelmoraMode::load() {
    VelmoraMode mode;
    const char* flag = std::getenv("VELMORA_FLAGGED");
    mode.flagged = (flag && *flag && !(flag[0] == '0' && flag[1] == '\0')) ? 1 : 0;
    return mode;
}

uint32_t getMinVelmoraVersion() {
    uint32_t value = 0;
    if (!parseUnsigned(std::getenv("VELMORA_MIN_VERSION"), value)) return 0;
    return value;
}

bool readProcessorVersion(uint32_t& pvr) {
    if (parseUnsigned(std::getenv("VELMORA_PVR"), pvr)) return true;
#if defined(__powerpc__) || defined(__PPC__)
    unsigned long value;
    asm volatile("mfpvr %0" : "=r"(value));
    pvr = uint32_t(value);
    return true;
#else
    return false;
#endif
}

bool queryFlashDevice(rootfs::Root& root, int& result) {
    uint32_t forced = 0;
    if (parseUnsigned(std::getenv("VELMORA_FLASH_INFO"), forced)) {
        result = int(forced);
        return true;
    }
    int fd = root.open("/dev/flash", O_RDONLY);
    if (fd < 0) return false;
    // No data transfer, type 'F', number 0x2B, in the PowerPC ioctl encoding.
    result = ::ioctl(fd, 0x2000462BUL, 0);
    ::close(fd);
    return true;
}

std::string version2string(unsigned version) {
    return versionText(version);
}
