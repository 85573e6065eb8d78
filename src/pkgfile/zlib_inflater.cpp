#include "pkgfile/zlib_inflater.h"

ZlibInflater::ZlibInflater() {
    ready_ = inflateInit(&zs_) == Z_OK;
}

ZlibInflater::~ZlibInflater() {
    if (ready_) inflateEnd(&zs_);
}

void ZlibInflater::feed(const char* data, size_t n) {
    zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zs_.avail_in = uInt(n);
}

InflateResult ZlibInflater::run(char* out, size_t capacity, size_t& produced) {
    zs_.next_out = reinterpret_cast<Bytef*>(out);
    zs_.avail_out = uInt(capacity);
    int result = inflate(&zs_, Z_PARTIAL_FLUSH);
    produced = capacity - zs_.avail_out;
    switch (result) {
        case Z_OK:
            return InflateResult::More;
        case Z_STREAM_END:
            return InflateResult::End;
        case Z_BUF_ERROR:
            // Only returned when nothing could be done.
            return InflateResult::Starved;
        default:
            return InflateResult::Error;
    }
}
