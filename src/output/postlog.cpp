#include "output/postlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fs/fd_stream.h"
#include "model/installer.h"

namespace {

constexpr const char* POSTLOG_PATH = "/flash/postlog";
constexpr size_t RESERVED_BYTES = 4096;

// Appends each line of the old log that ends in a newline; an unterminated
// last line (such as the zeros of an unfinished reservation) is dropped.
void readOldLines(Installer& installer) {
    InFile in(installer.root, POSTLOG_PATH);
    if (!in.is_open()) return;
    std::string pending;
    char block[16384];
    std::streamsize got;
    while ((got = in.rdbuf()->sgetn(block, sizeof block)) > 0) {
        const char* at = block;
        const char* end = block + got;
        while (const void* found = std::memchr(at, '\n', size_t(end - at))) {
            const char* feed = static_cast<const char*>(found);
            pending.append(at, feed);
            installer.console.messages.push_back(std::move(pending));
            pending.clear();
            at = feed + 1;
        }
        pending.append(at, end);
    }
}

}  // namespace

InPlaceWrite postLogReservation() {
    return {POSTLOG_PATH, int64_t(RESERVED_BYTES)};
}

void reservePostLog(Installer& installer) {
    if (installer.planning) {
        installer.console.logReserved = true;
        return;
    }
    readOldLines(installer);
    {
        OutFile out(installer.root, POSTLOG_PATH);
        const std::string zeros(RESERVED_BYTES, '\0');
        out.write(zeros.data(), std::streamsize(zeros.size()));
        out.close();
    }
    installer.console.logReserved = true;
}

void writePostLog(Installer& installer) {
    const bool reserved = installer.console.logReserved;
    if (!reserved && installer.console.messages.empty()) return;
    // After a reservation the old lines are among the messages already.
    int mode = reserved ? O_TRUNC : O_APPEND;
    OutFile out(installer.root, POSTLOG_PATH, O_WRONLY | O_CREAT | mode);
    ::sync();
    std::string text;
    for (const std::string& line : installer.console.messages) {
        text += line;
        text += '\n';
    }
    out.write(text.data(), std::streamsize(text.size()));
    out.close();
}
