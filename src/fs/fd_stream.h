// Streams over file descriptors of the file layer: one buffer per stream,
// bulk reads and writes go straight through when they are larger than it.
#pragma once

#include <fcntl.h>

#include <istream>
#include <ostream>
#include <streambuf>
#include <string>

namespace rootfs {
class Root;
}

// Stream buffer over a descriptor it owns. Input: buffered reads, put-back,
// relative and absolute seeks. Output: buffered writes, flushed on sync and
// close.
class FdStreamBuf : public std::streambuf {
  public:
    FdStreamBuf() = default;
    explicit FdStreamBuf(int fd, std::ios::openmode mode) { attach(fd, mode); }
    ~FdStreamBuf() override;
    FdStreamBuf(const FdStreamBuf&) = delete;
    FdStreamBuf& operator=(const FdStreamBuf&) = delete;

    void attach(int fd, std::ios::openmode mode);
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Flushes and closes; false when a write or the close failed (errno set).
    // The buffer stays for the next descriptor attached.
    bool close();
    // True after a write error (errno was saved in lastError()).
    bool failed() const { return failed_; }
    int lastError() const { return error_; }

  protected:
    int_type underflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios::openmode which) override;

  private:
    bool ensureBuffer();
    bool startWriting();  // sets up the put area, dropping unread input
    bool flushOut();
    static constexpr size_t BUFFER_SIZE = 65536;
    static constexpr size_t PUTBACK = 8;
    int fd_ = -1;
    std::ios::openmode mode_{};
    char* buffer_ = nullptr;
    bool failed_ = false;
    int error_ = 0;
};

// Input file opened through the file layer.
class InFile : public std::istream {
  public:
    InFile() : std::istream(&buf_) { setstate(std::ios::failbit); }
    InFile(rootfs::Root& root, const std::string& path) : InFile() { open(root, path); }
    bool open(rootfs::Root& root, const std::string& path);
    bool is_open() const { return buf_.isOpen(); }
    void close() { buf_.close(); }
    FdStreamBuf* fdbuf() { return &buf_; }

  private:
    FdStreamBuf buf_;
};

// Output file opened through the file layer (default: create and truncate).
class OutFile : public std::ostream {
  public:
    OutFile() : std::ostream(&buf_) { setstate(std::ios::failbit); }
    OutFile(rootfs::Root& root, const std::string& path, int flags = O_WRONLY | O_CREAT | O_TRUNC,
            mode_t mode = 0666)
        : OutFile() {
        open(root, path, flags, mode);
    }
    bool open(rootfs::Root& root, const std::string& path, int flags = O_WRONLY | O_CREAT | O_TRUNC,
              mode_t mode = 0666);
    // Takes over an open descriptor.
    void attach(int fd);
    bool is_open() const { return buf_.isOpen(); }
    // Flushes and closes; false (errno set, failbit set) on a failed write or close.
    bool close();
    FdStreamBuf* fdbuf() { return &buf_; }

  private:
    FdStreamBuf buf_;
};
