#include "txn/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "fs/faults.h"

namespace {

constexpr long POLL_NANOSECONDS = 50 * 1000 * 1000;

double seconds(const struct timespec& ts) {
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace

RunLock::~RunLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool RunLock::acquire() {
    return take(O_CREAT);
}

bool RunLock::acquireIfPresent() {
    if (take(0)) return true;
    return fd_ < 0 && errno == ENOENT;
}

bool RunLock::take(int createFlag) {
    if (!root_.exists("/ram")) path_ = "/tmp/installer.lock";
    fd_ = root_.open(path_, O_RDWR | createFlag | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    wait_ = rootfs::faults::lockWaitSeconds(RUN_LOCK_WAIT_SECONDS);
    struct timespec start, now;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (seconds(now) - seconds(start) >= double(wait_)) {
            errno = EWOULDBLOCK;
            return false;
        }
        const struct timespec pause = {0, POLL_NANOSECONDS};
        ::nanosleep(&pause, nullptr);
    }
}
