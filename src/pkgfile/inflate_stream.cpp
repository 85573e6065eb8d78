#include "pkgfile/inflate_stream.h"

#include <algorithm>
#include <cstring>

#include "pkgfile/zlib_inflater.h"
#if INSTALLER_WITH_ISAL
#include "pkgfile/isal_inflater.h"
#endif

namespace {

constexpr std::streamsize SKIP_PIECE = 1024;

}  // namespace

template <class RawInflater>
BasicInflateStreamBuffer<RawInflater>::BasicInflateStreamBuffer(std::streambuf* source)
    : source_(source) {
    char* start = window_ + 1;
    setg(start, start, start);
    // An inflater that cannot start shows as an empty stream.
    ended_ = !raw_.ready();
}

template <class RawInflater>
typename BasicInflateStreamBuffer<RawInflater>::int_type
BasicInflateStreamBuffer<RawInflater>::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (ended_) return traits_type::eof();
    char* start = window_ + 1;
    // Keep the last delivered byte in front of the window for a put-back.
    bool keep = gptr() > start;
    if (keep) window_[0] = gptr()[-1];
    for (;;) {
        bool sourceDone = false;
        if (raw_.needsInput()) {
            std::streamsize got = source_->sgetn(in_, std::streamsize(sizeof in_));
            if (got > 0)
                raw_.feed(in_, size_t(got));
            else
                sourceDone = true;  // what the inflater still holds may come out
        }
        size_t produced = 0;
        InflateResult result = raw_.run(start, WINDOW, produced);
        if (result == InflateResult::Error) {
            ended_ = true;
            return traits_type::eof();
        }
        inflated_ += uint32_t(produced);
        if (result == InflateResult::End) complete_ = ended_ = true;
        if (produced > 0) {
            setg(keep ? window_ : start, start, start + produced);
            return traits_type::to_int_type(*start);
        }
        if (ended_ || sourceDone || result == InflateResult::Starved) {
            ended_ = true;
            return traits_type::eof();
        }
    }
}

template <class RawInflater>
std::streamsize BasicInflateStreamBuffer<RawInflater>::xsgetn(char* s, std::streamsize n) {
    std::streamsize done = 0;
    while (done < n) {
        std::streamsize available = egptr() - gptr();
        if (available == 0) {
            if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
            available = egptr() - gptr();
        }
        std::streamsize piece = std::min(available, n - done);
        std::memcpy(s + done, gptr(), size_t(piece));
        gbump(int(piece));
        done += piece;
    }
    return done;
}

template <class RawInflater>
typename BasicInflateStreamBuffer<RawInflater>::pos_type
BasicInflateStreamBuffer<RawInflater>::seekoff(off_type off, std::ios::seekdir dir,
                                               std::ios::openmode which) {
    const pos_type failed(off_type(-1));
    if (!(which & std::ios::in) || dir == std::ios::end) return failed;
    off_type position = off_type(inflated_) - off_type(egptr() - gptr());
    off_type distance = dir == std::ios::beg ? off - position : off;
    // The inflated stream only moves forward.
    if (distance < 0) return failed;
    char scratch[SKIP_PIECE];
    while (distance > 0) {
        std::streamsize piece = std::min<off_type>(distance, SKIP_PIECE);
        if (xsgetn(scratch, piece) < piece) return failed;
        distance -= piece;
    }
    return pos_type(off_type(inflated_) - off_type(egptr() - gptr()));
}

template class BasicInflateStreamBuffer<ZlibInflater>;
#if INSTALLER_WITH_ISAL
template class BasicInflateStreamBuffer<IsalInflater>;
#endif
