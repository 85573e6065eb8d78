// Input stream buffer that inflates a zlib stream read from another stream
// buffer, with one put-back byte in front of its output window.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <ios>
#include <streambuf>

class InflateStreamBuffer : public std::streambuf {
  public:
    explicit InflateStreamBuffer(std::streambuf* source);
    ~InflateStreamBuffer() override;
    InflateStreamBuffer(const InflateStreamBuffer&) = delete;
    InflateStreamBuffer& operator=(const InflateStreamBuffer&) = delete;

    uint32_t inflatedCount() const { return inflated_; }

  protected:
    int_type underflow() override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override;

  private:
    static constexpr size_t WINDOW = 4096;
    char window_[1 + WINDOW];  // [0]: the put-back byte, then the output window
    char in_[WINDOW];
    z_stream zs_{};
    std::streambuf* source_;
    uint32_t inflated_ = 0;
    bool initialised_ = false;
    bool ended_ = false;
};
