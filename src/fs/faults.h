// The fault seam of the file layer. The layer asks hit() before each
// operation that changes the flash; in the shipped programs it never says
// yes (faults.cpp). The test build installer-faults links faults_armed.cpp
// instead, which fails or ends the process at a chosen operation, so the
// error paths (a full disk, an I/O error, a power cut) can be reached
// without a broken file system.
#pragma once

namespace rootfs::faults {

enum Op : unsigned {
    WRITE = 1,     // each write system call of a stream or file copy
    RENAME = 2,    // Root::rename
    MKDIR = 4,     // Root::mkdir
    CREATE = 8,    // Root::open with O_CREAT
    UNLINK = 16,   // Root::unlink
    SYMLINK = 32,  // Root::symlink
};

// True (errno set) when this operation of kind `op` is to fail.
bool hit(Op op);
// True while the layer is to behave as on a kernel without openat2.
bool openat2Disabled();
// How long a run waits for another's lock: `usual`, unless a test says.
unsigned lockWaitSeconds(unsigned usual);

}  // namespace rootfs::faults
