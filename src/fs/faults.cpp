#include "fs/faults.h"

#ifdef INSTALLER_FAULTS

#include <cerrno>

namespace rootfs::faults {
namespace {
unsigned armedMask = 0;
long failAt = 0;
int failErrno = 0;
long counted = 0;
bool noOpenat2 = false;
}  // namespace

void arm(unsigned opMask, long nth, int err) {
    armedMask = opMask;
    failAt = nth;
    failErrno = err;
    counted = 0;
}

void disarm() {
    armedMask = 0;
    failAt = 0;
    counted = 0;
}

long count() {
    return counted;
}

void simulateNoOpenat2(bool on) {
    noOpenat2 = on;
}

bool openat2Disabled() {
    return noOpenat2;
}

bool hit(Op op) {
    if (!(armedMask & op)) return false;
    if (++counted != failAt) return false;
    errno = failErrno;
    return true;
}

}  // namespace rootfs::faults

#endif
