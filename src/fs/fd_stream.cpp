#include "fs/fd_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "fs/fd_io.h"
#include "fs/rootfs.h"

namespace {
const FdStreamBuf::int_type EOF_VALUE = FdStreamBuf::traits_type::eof();
}

FdStreamBuf::~FdStreamBuf() {
    close();
    delete[] buffer_;
}

void FdStreamBuf::attach(int fd, std::ios::openmode mode) {
    if (fd_ >= 0) close();
    fd_ = fd;
    mode_ = mode;
    failed_ = false;
    error_ = 0;
}

bool FdStreamBuf::ensureBuffer() {
    if (!buffer_) buffer_ = new (std::nothrow) char[BUFFER_SIZE];
    if (buffer_) return true;
    errno = ENOMEM;
    error_ = ENOMEM;
    return false;
}

// Input side.

FdStreamBuf::int_type FdStreamBuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (fd_ < 0 || !(mode_ & std::ios::in)) return EOF_VALUE;
    if (pbase()) {  // switching from writing to reading
        if (!flushOut()) return EOF_VALUE;
        setp(nullptr, nullptr);
    }
    if (!ensureBuffer()) return EOF_VALUE;
    // Keep the last bytes consumed so that they can be put back.
    size_t keep = eback() ? std::min(PUTBACK, size_t(gptr() - eback())) : 0;
    if (keep) std::memmove(buffer_ + PUTBACK - keep, gptr() - keep, keep);
    char* start = buffer_ + PUTBACK;
    ssize_t got = rootfs::readSome(fd_, start, BUFFER_SIZE - PUTBACK);
    if (got < 0) error_ = errno;
    setg(start - keep, start, start + std::max<ssize_t>(got, 0));
    return got > 0 ? traits_type::to_int_type(*start) : EOF_VALUE;
}

std::streamsize FdStreamBuf::xsgetn(char* s, std::streamsize n) {
    std::streamsize done = 0;
    while (done < n) {
        std::streamsize avail = egptr() - gptr();
        if (avail > 0) {
            std::streamsize take = std::min(avail, n - done);
            std::memcpy(s + done, gptr(), size_t(take));
            gbump(int(take));
            done += take;
            continue;
        }
        if (size_t(n - done) < BUFFER_SIZE - PUTBACK) {
            if (underflow() == EOF_VALUE) break;
            continue;
        }
        // A request of a buffer or more goes straight into the caller's memory.
        if (fd_ < 0 || !(mode_ & std::ios::in) || !ensureBuffer()) break;
        if (pbase()) {
            if (!flushOut()) break;
            setp(nullptr, nullptr);
        }
        ssize_t got = rootfs::readFull(fd_, s + done, size_t(n - done));
        if (got < 0) error_ = errno;
        if (got > 0) done += got;
        size_t keep = std::min(PUTBACK, size_t(done));
        std::memcpy(buffer_ + PUTBACK - keep, s + done - keep, keep);
        setg(buffer_ + PUTBACK - keep, buffer_ + PUTBACK, buffer_ + PUTBACK);
        break;
    }
    return done;
}

std::streamsize FdStreamBuf::showmanyc() {
    if (fd_ < 0 || !(mode_ & std::ios::in)) return -1;
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    if (pos < 0) return 0;
    return st.st_size > pos ? std::streamsize(st.st_size - pos) : -1;
}

FdStreamBuf::int_type FdStreamBuf::pbackfail(int_type c) {
    if (gptr() <= eback()) return EOF_VALUE;
    gbump(-1);
    if (!traits_type::eq_int_type(c, EOF_VALUE)) *gptr() = traits_type::to_char_type(c);
    return traits_type::not_eof(c);
}

// Output side.

bool FdStreamBuf::startWriting() {
    if (fd_ < 0 || !(mode_ & std::ios::out) || failed_) return false;
    if (pbase()) return true;
    if (!ensureBuffer()) return false;
    // Bytes read ahead were not consumed: the write belongs where reading stopped.
    if (egptr() > gptr() && ::lseek(fd_, -(egptr() - gptr()), SEEK_CUR) < 0) return false;
    setg(nullptr, nullptr, nullptr);
    setp(buffer_, buffer_ + BUFFER_SIZE);
    return true;
}

bool FdStreamBuf::flushOut() {
    if (failed_) return false;
    size_t n = size_t(pptr() - pbase());
    if (n == 0) return true;
    setp(buffer_, buffer_ + BUFFER_SIZE);
    if (rootfs::writeAll(fd_, buffer_, n)) return true;
    failed_ = true;
    error_ = errno;
    return false;
}

FdStreamBuf::int_type FdStreamBuf::overflow(int_type c) {
    if (!startWriting()) return EOF_VALUE;
    if (pptr() == epptr() && !flushOut()) return EOF_VALUE;
    if (traits_type::eq_int_type(c, EOF_VALUE)) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

std::streamsize FdStreamBuf::xsputn(const char* s, std::streamsize n) {
    if (n <= 0 || !startWriting()) return 0;
    size_t len = size_t(n);
    size_t room = size_t(epptr() - pptr());
    if (len <= room) {
        std::memcpy(pptr(), s, len);
        pbump(int(len));
        return n;
    }
    if (len < BUFFER_SIZE) {  // fill, flush, keep the rest buffered
        std::memcpy(pptr(), s, room);
        pbump(int(room));
        if (!flushOut()) return 0;
        std::memcpy(pptr(), s + room, len - room);
        pbump(int(len - room));
        return n;
    }
    // A buffer or more is written straight through.
    if (!flushOut()) return 0;
    if (rootfs::writeAll(fd_, s, len)) return n;
    failed_ = true;
    error_ = errno;
    return 0;
}

int FdStreamBuf::sync() {
    if (pbase() && !flushOut()) return -1;
    return failed_ ? -1 : 0;
}

FdStreamBuf::pos_type FdStreamBuf::seekoff(off_type off, std::ios::seekdir dir,
                                           std::ios::openmode) {
    const pos_type invalid = pos_type(off_type(-1));
    if (fd_ < 0) return invalid;
    off_type readAhead = egptr() - gptr();
    if (dir == std::ios::cur && off == 0) {  // a tell: keep the buffers
        off_t pos = ::lseek(fd_, 0, SEEK_CUR);
        if (pos < 0) return invalid;
        return pos_type(pos - readAhead + (pptr() - pbase()));
    }
    if (pbase() && !flushOut()) return invalid;
    int whence = SEEK_SET;
    if (dir == std::ios::cur) {
        whence = SEEK_CUR;
        off -= readAhead;
    } else if (dir == std::ios::end) {
        whence = SEEK_END;
    }
    off_t pos = ::lseek(fd_, off, whence);
    if (pos < 0) return invalid;
    setg(nullptr, nullptr, nullptr);
    if (pbase()) setp(buffer_, buffer_ + BUFFER_SIZE);
    return pos_type(pos);
}

FdStreamBuf::pos_type FdStreamBuf::seekpos(pos_type pos, std::ios::openmode which) {
    return seekoff(off_type(pos), std::ios::beg, which);
}

bool FdStreamBuf::close() {
    bool ok = true;
    int err = 0;
    if (fd_ >= 0) {
        ok = !pbase() || flushOut();
        if (failed_) {
            ok = false;
            err = error_;
        }
        if (::close(fd_) != 0 && ok) {
            ok = false;
            err = errno;
        }
        fd_ = -1;
    } else {
        ok = false;  // nothing was open; errno is left alone
    }
    setg(nullptr, nullptr, nullptr);
    setp(nullptr, nullptr);
    if (err) {
        failed_ = true;
        error_ = err;
        errno = err;
    }
    return ok;
}

// Files.

bool InFile::open(rootfs::Root& root, const std::string& path) {
    int fd = root.open(path, O_RDONLY);
    if (fd < 0) {
        setstate(std::ios::failbit);
        return false;
    }
    buf_.attach(fd, std::ios::in);
    clear();
    return true;
}

bool OutFile::open(rootfs::Root& root, const std::string& path, int flags, mode_t mode) {
    int fd = root.open(path, flags, mode);
    if (fd < 0) {
        setstate(std::ios::failbit);
        return false;
    }
    attach(fd);
    return true;
}

void OutFile::attach(int fd) {
    if (fd < 0) {
        setstate(std::ios::failbit);
        return;
    }
    buf_.attach(fd, std::ios::out);
    clear();
}

bool OutFile::close() {
    if (!buf_.isOpen()) {
        setstate(std::ios::failbit);
        return false;
    }
    bool ok = buf_.close();
    if (!ok) setstate(std::ios::failbit);
    return ok;
}
