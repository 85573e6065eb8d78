// Whole-buffer reads and writes on descriptors: interrupted calls are
// retried and short writes continued, so callers see one result per buffer.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace rootfs {

// Reads up to `n` bytes with one read call (retried on EINTR). Returns the
// count, 0 at end of file, -1 (errno set) on error.
ssize_t readSome(int fd, void* buf, size_t n);

// Reads until `n` bytes or end of file. Returns the count, -1 on error.
ssize_t readFull(int fd, void* buf, size_t n);

// Writes all `n` bytes. False (errno set) on error.
bool writeAll(int fd, const void* buf, size_t n);

// close() that leaves errno as it was, after a failure already set it.
void closeKeepErrno(int fd);

}  // namespace rootfs
