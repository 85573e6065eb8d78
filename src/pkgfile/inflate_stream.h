// Input stream buffer that inflates a zlib stream read from another stream
// buffer, with one put-back byte in front of its output window.
#pragma once

#include <cstdint>
#include <ios>
#include <streambuf>

#include "pkgfile/inflater.h"

template <class RawInflater>
class BasicInflateStreamBuffer : public std::streambuf {
  public:
    explicit BasicInflateStreamBuffer(std::streambuf* source);
    BasicInflateStreamBuffer(const BasicInflateStreamBuffer&) = delete;
    BasicInflateStreamBuffer& operator=(const BasicInflateStreamBuffer&) = delete;

    uint32_t inflatedCount() const { return inflated_; }
    // Whether the zlib stream reached its end with a good check value. Where
    // a damaged or cut stream stops delivering differs from one inflater to
    // the next; that it is not complete does not.
    bool complete() const { return complete_; }

  protected:
    int_type underflow() override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override;

  private:
    static constexpr size_t WINDOW = 4096;
    char window_[1 + WINDOW];  // [0]: the put-back byte, then the output window
    char in_[WINDOW];
    RawInflater raw_;
    std::streambuf* source_;
    uint32_t inflated_ = 0;
    bool ended_ = false;
    bool complete_ = false;
};

using InflateStreamBuffer = BasicInflateStreamBuffer<Inflater>;
