// zlib's inflater behind the inflating stream: always available.
#pragma once

#include <zlib.h>

#include <cstddef>

#include "pkgfile/inflate_result.h"

class ZlibInflater {
  public:
    ZlibInflater();
    ~ZlibInflater();
    ZlibInflater(const ZlibInflater&) = delete;
    ZlibInflater& operator=(const ZlibInflater&) = delete;

    // False when the inflater could not start; the stream is then empty.
    bool ready() const { return ready_; }
    bool needsInput() const { return zs_.avail_in == 0; }
    // The bytes stay the caller's until needsInput() holds again.
    void feed(const char* data, size_t n);
    // Inflates into out[0, capacity); `produced` tells how much was written.
    InflateResult run(char* out, size_t capacity, size_t& produced);

  private:
    z_stream zs_{};
    bool ready_ = false;
};
