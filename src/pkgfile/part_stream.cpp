// PartStreamBuffer: the unbuffered stream over the parts of a package file.
// It has no get area of its own, so every read reaches the virtual
// functions below and every byte is digested and copied exactly once, at the
// moment it is taken from the source.
#include <algorithm>
#include <cstring>

#include "pkgfile/little_endian.h"
#include "pkgfile/package_reader.h"

namespace {

constexpr uint32_t SKIP_PIECE = 16384;
constexpr size_t PART_HEADER_SIZE = 6;

}  // namespace

PartStreamBuffer::PartStreamBuffer(std::streambuf* source, bool hashing, std::streambuf* copy)
    : source_(source), copy_(copy), hashing_(hashing) {}

void PartStreamBuffer::feed(const char* data, size_t n) {
    if (n == 0) return;
    if (hashing_) {
        if (sha256Active_)
            sha256_.update(data, n);
        else
            sha1_.update(data, n);
    }
    if (copy_) copy_->sputn(data, std::streamsize(n));
}

void PartStreamBuffer::finishDigest() {
    if (sha256Active_) {
        sha256_.finish(digestSlot_);
    } else {
        sha1_.finish(digestSlot_);
        std::memset(digestSlot_ + SHA1::SIZE, 0, sizeof digestSlot_ - SHA1::SIZE);
    }
}

bool PartStreamBuffer::readFileHeader(uint32_t& magic, uint32_t& size) {
    unsigned char header[8];
    std::streamsize got = source_->sgetn(reinterpret_cast<char*>(header), sizeof header);
    // The file header is copied but never digested.
    if (copy_ && got > 0) copy_->sputn(reinterpret_cast<char*>(header), got);
    if (got < std::streamsize(sizeof header)) return false;
    magic = readLe32(header);
    size = readLe32(header + 4);
    payloadStart_ += sizeof header;
    return true;
}

size_t PartStreamBuffer::skipByReading(uint32_t n) {
    char scratch[SKIP_PIECE];
    size_t done = 0;
    while (done < n) {
        std::streamsize piece = std::streamsize(std::min<uint32_t>(SKIP_PIECE, n - uint32_t(done)));
        std::streamsize got = xsgetn(scratch, piece);
        done += size_t(got);
        if (got < piece) break;
    }
    return done;
}

int PartStreamBuffer::advance(const std::vector<uint32_t>& wanted, int& currentType) {
    for (;;) {
        if (remaining_ > 0) {
            bool skipped = false;
            if (!hashing_ && !copy_) {
                skipped = source_->pubseekoff(off_type(remaining_), std::ios::cur, std::ios::in) !=
                          pos_type(off_type(-1));
                if (skipped) {
                    remaining_ = 0;
                    putBack_ = 0;
                }
            }
            if (!skipped && skipByReading(remaining_) < remaining_) {
                partLength_ = remaining_ = 0;
                currentType = -1;
                return -1;
            }
        }
        payloadStart_ += partLength_;
        partLength_ = remaining_ = 0;
        putBack_ = 0;

        unsigned char header[PART_HEADER_SIZE];
        std::streamsize got = source_->sgetn(reinterpret_cast<char*>(header), sizeof header);
        if (copy_ && got > 0) copy_->sputn(reinterpret_cast<char*>(header), got);
        if (got < std::streamsize(sizeof header)) {
            // The end of the file (or a torn part header) closes the digest.
            finishDigest();
            currentType = -1;
            return -1;
        }
        uint16_t type = readLe16(header);
        if (hashing_) {
            if (type == PART_SHA256)
                sha256Active_ = true;
            else if (type == PART_PACKAGE_HEADER)
                finishDigest();
            if (sha256Active_)
                sha256_.update(header, sizeof header);
            else
                sha1_.update(header, sizeof header);
        }
        payloadStart_ += sizeof header;
        partLength_ = remaining_ = readLe32(header + 2);
        currentType = type;
        if (std::find(wanted.begin(), wanted.end(), uint32_t(type)) != wanted.end()) return type;
    }
}

std::streamsize PartStreamBuffer::xsgetn(char* s, std::streamsize n) {
    if (n <= 0 || remaining_ == 0) return 0;
    std::streamsize k = std::min<std::streamsize>(n, remaining_);
    std::streamsize got = source_->sgetn(s, k);
    if (got <= 0) return 0;
    // Bytes put back earlier were digested and copied when first read.
    uint32_t again = uint32_t(std::min<std::streamsize>(got, putBack_));
    putBack_ -= again;
    feed(s + again, size_t(got) - again);
    remaining_ -= uint32_t(got);
    return got;
}

PartStreamBuffer::int_type PartStreamBuffer::underflow() {
    if (remaining_ == 0) return traits_type::eof();
    return source_->sgetc();
}

PartStreamBuffer::int_type PartStreamBuffer::uflow() {
    if (remaining_ == 0) return traits_type::eof();
    int_type c = source_->sbumpc();
    if (traits_type::eq_int_type(c, traits_type::eof())) return c;
    --remaining_;
    if (putBack_ > 0) {
        --putBack_;
    } else {
        char byte = traits_type::to_char_type(c);
        feed(&byte, 1);
    }
    return c;
}

std::streamsize PartStreamBuffer::showmanyc() {
    if (remaining_ == 0) return -1;
    std::streamsize available = source_->in_avail();
    return std::min<std::streamsize>(available, remaining_);
}

PartStreamBuffer::int_type PartStreamBuffer::pbackfail(int_type c) {
    if (remaining_ == partLength_) return traits_type::eof();
    int_type r = traits_type::eq_int_type(c, traits_type::eof())
                     ? source_->sungetc()
                     : source_->sputbackc(traits_type::to_char_type(c));
    if (traits_type::eq_int_type(r, traits_type::eof())) return r;
    ++remaining_;
    if (hashing_ || copy_) ++putBack_;
    return r;
}

PartStreamBuffer::pos_type PartStreamBuffer::seekoff(off_type off, std::ios::seekdir dir,
                                                     std::ios::openmode which) {
    const pos_type failed(off_type(-1));
    if (!(which & std::ios::in)) return failed;
    off_type base = 0;
    if (dir == std::ios::cur)
        base = off_type(offset());
    else if (dir == std::ios::end)
        base = off_type(partLength_);
    off_type target = base + off;
    if (target < 0 || target > off_type(partLength_)) return failed;
    off_type current = off_type(offset());
    if (target == current) return pos_type(target);

    if (!hashing_ && !copy_) {
        // Relative to the source's position, which is payload start + offset.
        if (source_->pubseekoff(target - current, std::ios::cur, std::ios::in) != failed) {
            remaining_ = partLength_ - uint32_t(target);
            putBack_ = 0;
            return pos_type(target);
        }
    }
    // With a digest or a copy kept, only forward moves that read the bytes.
    if (target < current) return failed;
    uint32_t distance = uint32_t(target - current);
    if (skipByReading(distance) < distance) return failed;
    return pos_type(target);
}

PartStreamBuffer::pos_type PartStreamBuffer::seekpos(pos_type pos, std::ios::openmode which) {
    return seekoff(off_type(pos), std::ios::beg, which);
}

size_t PartStreamBuffer::readUndigested(char* buffer, size_t n) {
    size_t k = std::min<size_t>(n, remaining_);
    if (k == 0) return 0;
    std::streamsize got = source_->sgetn(buffer, std::streamsize(k));
    if (got <= 0) return 0;
    uint32_t again = uint32_t(std::min<std::streamsize>(got, putBack_));
    putBack_ -= again;
    if (copy_ && size_t(got) > again) copy_->sputn(buffer + again, got - again);
    remaining_ -= uint32_t(got);
    return size_t(got);
}
