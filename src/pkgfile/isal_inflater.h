// ISA-L's inflater behind the inflating stream: about twice as fast as
// zlib's, chosen when the build finds the library. It reads the zlib wrapper
// the way zlib does, so both give the same bytes and the same verdicts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "pkgfile/inflate_result.h"

struct inflate_state;

class IsalInflater {
  public:
    IsalInflater();
    ~IsalInflater();
    IsalInflater(const IsalInflater&) = delete;
    IsalInflater& operator=(const IsalInflater&) = delete;

    bool ready() const { return state_ != nullptr; }
    bool needsInput() const;
    void feed(const char* data, size_t n);
    InflateResult run(char* out, size_t capacity, size_t& produced);

  private:
    bool readWrapper();

    // 85 KiB with the inflater's own output history: on the heap, not the stack.
    std::unique_ptr<inflate_state> state_;
    uint8_t wrapper_[2] = {};  // the zlib header, checked before the first block
    unsigned wrapperBytes_ = 0;
    bool failed_ = false;
};
