// zlib's inflater against ISA-L's, each behind the installer's inflating
// stream, on the same input: both must agree on whether the stream was
// complete, a complete stream must give the same bytes, and a cut or damaged
// one bytes of which one is the start of the other (how far each inflates
// before it notices the damage is its own).
//
// Input: a package file, whose first files part (type 4) is the stream, so
// that the other targets' corpora run here as they are; or [piece][chunk]
// then a zlib stream or a package file. `piece` sets how many
// bytes each read asks for (1 to 256, or 16 KiB), `chunk` how many the
// source hands over per request (1 to 256, or all it has), so that window
// and input boundaries fall everywhere.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <streambuf>
#include <string>

#include "pkgfile/inflate_stream.h"
#include "pkgfile/isal_inflater.h"
#include "pkgfile/little_endian.h"
#include "pkgfile/package_reader.h"
#include "pkgfile/zlib_inflater.h"

namespace {

// A source over memory that hands over at most `chunk` bytes per request.
class ChunkedSource : public std::streambuf {
  public:
    ChunkedSource(const uint8_t* data, size_t size, size_t chunk)
        : data_(data), size_(size), chunk_(chunk) {}

  protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        size_t k = std::min({size_t(n), size_ - at_, chunk_});
        std::memcpy(s, data_ + at_, k);
        at_ += k;
        return std::streamsize(k);
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t chunk_;
    size_t at_ = 0;
};

struct Outcome {
    std::string bytes;
    bool complete = false;
};

template <class Raw>
Outcome inflateAll(const uint8_t* data, size_t size, size_t chunk, size_t piece) {
    ChunkedSource source(data, size, chunk);
    BasicInflateStreamBuffer<Raw> stream(&source);
    Outcome o;
    std::string buffer(piece, '\0');
    for (;;) {
        std::streamsize got = stream.sgetn(buffer.data(), std::streamsize(piece));
        if (got <= 0) break;
        o.bytes.append(buffer.data(), size_t(got));
        // A hostile stream may inflate far; what matters is that both agree.
        if (o.bytes.size() > (64u << 20)) break;
    }
    o.complete = stream.complete();
    return o;
}

// The payload of the first files part of a package file, if the input is one.
bool filesPart(const uint8_t*& data, size_t& size) {
    if (size < 8 || readLe32(data) != PACKAGE_MAGIC) return false;
    for (size_t at = 8; at + 6 <= size;) {
        uint16_t type = readLe16(data + at);
        uint32_t length = readLe32(data + at + 2);
        at += 6;
        if (length > size - at) return false;
        if (type == PART_FILES) {
            data += at;
            size = length;
            return true;
        }
        at += length;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t piece = 16384, chunk = size;
    if (!filesPart(data, size)) {
        if (size < 2) return 0;
        piece = data[0] == 0 ? 16384 : data[0];
        chunk = data[1] == 0 ? size : data[1];
        data += 2;
        size -= 2;
        filesPart(data, size);
    }

    Outcome z = inflateAll<ZlibInflater>(data, size, chunk, piece);
    Outcome i = inflateAll<IsalInflater>(data, size, chunk, piece);
    const Outcome& shorter = z.bytes.size() <= i.bytes.size() ? z : i;
    const Outcome& longer = &shorter == &z ? i : z;
    const bool agree =
        z.complete == i.complete &&
        (z.complete ? z.bytes == i.bytes
                    : longer.bytes.compare(0, shorter.bytes.size(), shorter.bytes) == 0);
    if (!agree) {
        size_t same = 0;
        while (same < z.bytes.size() && same < i.bytes.size() && z.bytes[same] == i.bytes[same])
            ++same;
        std::fprintf(stderr,
                     "inflaters differ: zlib %zu bytes (%s), ISA-L %zu bytes (%s), first "
                     "difference at %zu\n",
                     z.bytes.size(), z.complete ? "complete" : "incomplete", i.bytes.size(),
                     i.complete ? "complete" : "incomplete", same);
        std::abort();
    }
    return 0;
}
