#include "pkgfile/isal_inflater.h"

#include <isa-l/igzip_lib.h>

#include <new>

namespace {

constexpr unsigned CM_DEFLATE = 8;
constexpr unsigned FLAG_DICTIONARY = 0x20;

}  // namespace

// Zeroed: a damaged stream's look-back before its start copies from the
// inflater's own history buffer, which must hold nothing of this process.
IsalInflater::IsalInflater() : state_(new (std::nothrow) inflate_state()) {
    if (!state_) return;
    isal_inflate_init(state_.get());
    // The wrapper's two header bytes are read here; ISA-L reads the deflate
    // data and checks the Adler-32 value at its end.
    state_->crc_flag = ISAL_ZLIB_NO_HDR_VER;
}

IsalInflater::~IsalInflater() = default;

bool IsalInflater::needsInput() const {
    return state_->avail_in == 0;
}

void IsalInflater::feed(const char* data, size_t n) {
    state_->next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(data));
    state_->avail_in = uint32_t(n);
}

// The zlib header as zlib checks it: deflate, a window of at most 32 KiB, a
// check value that divides by 31, no preset dictionary. Its window size also
// bounds how far back a match may reach.
bool IsalInflater::readWrapper() {
    while (wrapperBytes_ < 2 && state_->avail_in > 0) {
        wrapper_[wrapperBytes_++] = *state_->next_in++;
        --state_->avail_in;
    }
    if (wrapperBytes_ < 2) return true;
    unsigned cmf = wrapper_[0], flg = wrapper_[1];
    unsigned windowBits = (cmf >> 4) + 8;
    if ((cmf * 256 + flg) % 31 != 0 || (cmf & 0x0F) != CM_DEFLATE || windowBits > 15 ||
        (flg & FLAG_DICTIONARY))
        return false;
    state_->hist_bits = windowBits;
    return true;
}

InflateResult IsalInflater::run(char* out, size_t capacity, size_t& produced) {
    produced = 0;
    if (failed_) return InflateResult::Error;
    bool tookWrapper = false;
    if (wrapperBytes_ < 2) {
        unsigned before = wrapperBytes_;
        if (!readWrapper()) {
            failed_ = true;
            return InflateResult::Error;
        }
        tookWrapper = wrapperBytes_ > before;
        if (wrapperBytes_ < 2) return tookWrapper ? InflateResult::More : InflateResult::Starved;
    }
    uint32_t before = state_->avail_in;
    state_->next_out = reinterpret_cast<uint8_t*>(out);
    state_->avail_out = uint32_t(capacity);
    int result = isal_inflate(state_.get());
    produced = capacity - state_->avail_out;
    if (result != ISAL_DECOMP_OK) {
        failed_ = true;
        return InflateResult::Error;
    }
    if (state_->block_state == ISAL_BLOCK_FINISH) return InflateResult::End;
    bool idle = produced == 0 && state_->avail_in == before && !tookWrapper;
    return idle ? InflateResult::Starved : InflateResult::More;
}
