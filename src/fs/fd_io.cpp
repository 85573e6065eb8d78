#include "fs/fd_io.h"

#include <unistd.h>

#include <cerrno>

#include "fs/faults.h"

namespace rootfs {

ssize_t readSome(int fd, void* buf, size_t n) {
    for (;;) {
        ssize_t got = ::read(fd, buf, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

ssize_t readFull(int fd, void* buf, size_t n) {
    char* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t got = readSome(fd, p + done, n - done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += size_t(got);
    }
    return ssize_t(done);
}

bool writeAll(int fd, const void* buf, size_t n) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        if (faults::hit(faults::WRITE)) return false;
        ssize_t put = ::write(fd, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) {  // no progress and no error: do not spin
            errno = EIO;
            return false;
        }
        p += put;
        n -= size_t(put);
    }
    return true;
}

void closeKeepErrno(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

}  // namespace rootfs
