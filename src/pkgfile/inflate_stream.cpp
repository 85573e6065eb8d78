#include "pkgfile/inflate_stream.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::streamsize SKIP_PIECE = 1024;

}  // namespace

InflateStreamBuffer::InflateStreamBuffer(std::streambuf* source) : source_(source) {
    char* start = window_ + 1;
    setg(start, start, start);
    initialised_ = inflateInit(&zs_) == Z_OK;
    // A decompressor that cannot start shows as an empty stream.
    ended_ = !initialised_;
}

InflateStreamBuffer::~InflateStreamBuffer() {
    if (initialised_) inflateEnd(&zs_);
}

InflateStreamBuffer::int_type InflateStreamBuffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (ended_) return traits_type::eof();
    char* start = window_ + 1;
    // Keep the last delivered byte in front of the window for a put-back.
    bool keep = gptr() > start;
    if (keep) window_[0] = gptr()[-1];
    for (;;) {
        if (zs_.avail_in == 0) {
            std::streamsize got = source_->sgetn(in_, std::streamsize(sizeof in_));
            if (got <= 0) {
                ended_ = true;
                return traits_type::eof();
            }
            zs_.next_in = reinterpret_cast<Bytef*>(in_);
            zs_.avail_in = uInt(got);
        }
        zs_.next_out = reinterpret_cast<Bytef*>(start);
        zs_.avail_out = uInt(WINDOW);
        int result = inflate(&zs_, Z_PARTIAL_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) {
            ended_ = true;
            return traits_type::eof();
        }
        uInt produced = uInt(WINDOW) - zs_.avail_out;
        inflated_ += produced;
        if (produced > 0) {
            // After the end of the zlib stream nothing more can follow.
            if (result == Z_STREAM_END) ended_ = true;
            setg(keep ? window_ : start, start, start + produced);
            return traits_type::to_int_type(*start);
        }
        if (result == Z_STREAM_END) {
            ended_ = true;
            return traits_type::eof();
        }
    }
}

std::streamsize InflateStreamBuffer::xsgetn(char* s, std::streamsize n) {
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

InflateStreamBuffer::pos_type InflateStreamBuffer::seekoff(off_type off, std::ios::seekdir dir,
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
