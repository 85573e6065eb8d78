// The armed seam. INSTALLER_FAULT, read at the first operation, arms it:
//   OP:N:ERR    the N-th operation of kind OP fails with ERR (ENOSPC, EIO,
//               EACCES) or, with ERR "crash", the process is killed there
//   OP:count    nothing fails; the number of OP operations is written to
//               standard error at exit as "fault-count N"
// OP is write, create, rename, mkdir, unlink, symlink, or "any" for all of
// them counted together. INSTALLER_NO_OPENAT2 set makes the layer resolve as
// on a kernel without openat2; INSTALLER_LOCK_WAIT sets how many seconds a
// run waits for another's lock. Programs with
// this seam flush file by file: the default flush syncs the whole machine,
// which would make every one of the many short runs of a test wait for every
// other writer's data; the file-by-file flush moves in the same order.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "txn/durability.h"
#include "txn/faults_armed.h"

namespace rootfs::faults {
namespace {

unsigned armedMask = 0;
long failAt = 0;
int failErrno = 0;
bool crashAt = false;
long counted = 0;
bool noOpenat2 = false;

void reportCount() {
    std::fprintf(stderr, "fault-count %ld\n", counted);
}

// Reads the environment once, before the first operation.
void armFromEnvironment() {
    static bool done = false;
    if (done) return;
    done = true;
    noOpenat2 = std::getenv("INSTALLER_NO_OPENAT2") != nullptr;
    const char* setting = std::getenv("INSTALLER_FAULT");
    if (!setting) return;
    static const char* const OPS[] = {"write", "rename", "mkdir", "create", "unlink", "symlink"};
    std::string text = setting;
    size_t colon = text.find(':');
    unsigned mask = 0;
    for (unsigned k = 0; k < 6; ++k)
        if (text.substr(0, colon) == OPS[k]) mask = 1u << k;
    if (text.substr(0, colon) == "any") mask = (1u << 6) - 1;
    std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (mask == 0 || rest.empty()) {
        std::fprintf(stderr, "INSTALLER_FAULT: cannot read \"%s\"\n", setting);
        std::_Exit(125);
    }
    if (rest == "count") {
        arm(mask, 0, 0);
        std::atexit(reportCount);
        return;
    }
    size_t second = rest.find(':');
    long nth = std::atol(rest.substr(0, second).c_str());
    std::string err = second == std::string::npos ? "" : rest.substr(second + 1);
    if (err == "crash") {
        arm(mask, nth, 0, true);
    } else {
        arm(mask, nth, err == "ENOSPC" ? ENOSPC : err == "EACCES" ? EACCES : EIO);
    }
}

const bool fileByFile = (setDurabilityMode(DurabilityMode::FsyncEach), true);

}  // namespace

void arm(unsigned opMask, long nth, int err, bool crash) {
    armedMask = opMask;
    failAt = nth;
    failErrno = err;
    crashAt = crash;
    counted = 0;
}

void disarm() {
    arm(0, 0, 0);
}

long count() {
    return counted;
}

void simulateNoOpenat2(bool on) {
    armFromEnvironment();
    noOpenat2 = on;
}

bool openat2Disabled() {
    armFromEnvironment();
    return noOpenat2;
}

unsigned lockWaitSeconds(unsigned usual) {
    const char* setting = std::getenv("INSTALLER_LOCK_WAIT");
    return setting ? unsigned(std::atoi(setting)) : usual;
}

bool hit(Op op) {
    armFromEnvironment();
    if (!(armedMask & op)) return false;
    if (++counted != failAt) return false;
    if (crashAt) ::kill(::getpid(), SIGKILL);
    errno = failErrno;
    return true;
}

}  // namespace rootfs::faults
