// Control of the armed seam (faults_armed.cpp), for test programs that make
// the file layer fail in their own process.
#pragma once

#include "fs/faults.h"

namespace rootfs::faults {

// Counts operations in `opMask` from now on; the `nth` one (1 = the next)
// fails with `err`, or, with `err` 0 and `crash`, ends the process at once
// with SIGKILL.
void arm(unsigned opMask, long nth, int err, bool crash = false);
void disarm();
// Operations counted since arm().
long count();
void simulateNoOpenat2(bool on);

}  // namespace rootfs::faults
