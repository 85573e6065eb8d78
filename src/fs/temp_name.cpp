// Temporary file names: six random characters in place of "XXXXXX", the
// file created exclusively, as mkstemp does, but through the layer.
#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "fs/at_path.h"
#include "fs/faults.h"
#include "fs/rootfs.h"

namespace rootfs {
namespace {

uint64_t nextRandom() {
    static uint64_t state = [] {
        uint64_t seed = 0;
        if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != ssize_t(sizeof seed)) {
            struct timespec ts;
            ::clock_gettime(CLOCK_MONOTONIC, &ts);
            seed = uint64_t(ts.tv_nsec) ^ (uint64_t(ts.tv_sec) << 20) ^ uint64_t(::getpid());
        }
        return seed;
    }();
    // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

int Root::mkstemp(std::string& pattern) {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr size_t SUFFIX = 6;
    constexpr int ATTEMPTS = 100;
    if (pattern.size() < SUFFIX ||
        pattern.compare(pattern.size() - SUFFIX, SUFFIX, "XXXXXX") != 0) {
        errno = EINVAL;
        return -1;
    }
    if (faults::hit(faults::CREATE)) return -1;
    noteChange();
    std::string name = pattern;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        uint64_t bits = nextRandom();
        for (size_t i = name.size() - SUFFIX; i < name.size(); ++i) {
            name[i] = LETTERS[bits % 62];
            bits /= 62;
        }
        int fd = detail::openForChange(*this, name, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            pattern = name;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

}  // namespace rootfs
