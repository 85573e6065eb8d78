// Fault injection for the file layer, compiled only into test builds
// (INSTALLER_FAULTS). The layer counts every operation whose kind is armed
// and makes the n-th one fail with a chosen errno, so tests can reach the
// error paths (a full disk, an I/O error) without a broken file system.
// Without INSTALLER_FAULTS the hook is a constant false and costs nothing.
#pragma once

namespace rootfs::faults {

enum Op : unsigned {
    WRITE = 1,     // each write system call of a stream or file copy
    RENAME = 2,    // rootfs::rename
    MKDIR = 4,     // rootfs::mkdir
    CREATE = 8,    // rootfs::open with O_CREAT, rootfs::mkstemp
    UNLINK = 16,   // rootfs::unlink
    SYMLINK = 32,  // rootfs::symlink
};

#ifdef INSTALLER_FAULTS

// Counts operations in `opMask` from now on; the `nth` one (1 = the next)
// fails with `err`. Only that one fails.
void arm(unsigned opMask, long nth, int err);
void disarm();
// Operations counted since arm().
long count();
// Makes the layer behave as on a kernel without openat2 (plain paths below
// the root) while set.
void simulateNoOpenat2(bool on);
bool openat2Disabled();

// Called by the layer before an operation of kind `op`: true (errno set)
// when this one is to fail.
bool hit(Op op);

#else

inline bool hit(Op) {
    return false;
}
inline bool openat2Disabled() {
    return false;
}

#endif

}  // namespace rootfs::faults
