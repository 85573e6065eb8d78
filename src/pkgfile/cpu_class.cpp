// The cpu class of this machine, from the processor version register and,
// for two processor models, the flash device's report.
#include "pkgfile/extract.h"
#include "platform/platform.h"

namespace {

constexpr int FLASH_INFO_CLASS_2 = 0x10;

bool isTwoClassModel(uint32_t pvr) {
    uint32_t model = pvr & 0xFFFFFF00;
    return model == 0x80211000 || model == 0x80212100;
}

}  // namespace

int machineCpuClass(rootfs::Root& root) {
    uint32_t pvr = 0;
    if (!readProcessorVersion(pvr)) return 0;
    if (isTwoClassModel(pvr)) {
        int info = 0;
        // A failed request (a negative result) reports nothing, so it does not
        // count as the bit being set.
        if (queryFlashDevice(root, info) && info >= 0 && (info & FLASH_INFO_CLASS_2)) return 2;
        return 4;
    }
    uint32_t family = (pvr >> 16) & 0xFF;
    if (family == 0x83 || family == 0x84 || family == 0x85) return 1;
    if (family == 0x20 || family == 0x21) return 2;
    if ((pvr >> 16) == 0x1302) return 3;
    return 0;
}
