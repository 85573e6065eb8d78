#include "model/spinner.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {
const char SPINNER_CHARS[] = "|/-\\";
}

void Spinner::turn(unsigned now, FILE* out) {
    char text[3] = {'\b', 0, 0};
    const char* print = text;
    if (lastTurn_ == 0) {
        lastTurn_ = now;
        print = text + 1;  // the first turn has nothing to erase
    } else if (now - lastTurn_ > TICKS_PER_TURN) {
        lastTurn_ += TICKS_PER_TURN;  // advances by a step, not to now
    } else {
        return;
    }
    text[1] = SPINNER_CHARS[index_];
    index_ = (index_ + 1) & 3;
    std::fputs(print, out);
    std::fflush(out);
}

unsigned uptimeTicks() {
    // The raw system call: the C library's times() needs a buffer and hides
    // the counter behind clock_t. A result the wrapper takes for an error is
    // the kernel's raw value, -errno.
    long ticks = ::syscall(SYS_times, nullptr);
    if (ticks == -1) ticks = -errno;
    return unsigned(ticks + 30000);
}
