// The package file container: an 8-byte file header and typed,
// length-prefixed parts. PackageReader stands on one part at a time, limits
// reads to it, skips unwanted parts, keeps the running digest that the
// signature check verifies, and can copy every byte read to a second stream.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

#include "model/package.h"
#include "sign/crypto.h"

constexpr uint32_t PACKAGE_MAGIC = 0xBAD0F11E;
constexpr uint32_t UNRECORDED_PACKAGE_MAGIC = 0xA1100FFB;

constexpr int PART_PACKAGE_HEADER = 1;
constexpr int PART_TEXT2 = 2;
constexpr int PART_DEPENDS = 3;
constexpr int PART_FILES = 4;
constexpr int PART_SIGNATURE = 9;
constexpr int PART_ARCHITECTURE = 16;
constexpr int PART_CONFLICTS = 17;
constexpr int PART_BUNDLE_HEADER = 18;
constexpr int PART_PROVIDES = 19;
constexpr int PART_BUNDLE_MEMBERS = 20;
constexpr int PART_PAYLOAD = 21;
constexpr int PART_NOTE = 23;
constexpr int PART_TEXT24 = 24;
constexpr int PART_SHA256 = 25;

// Unbuffered stream buffer over the parts of a package file: every byte
// comes from the source on request.
class PartStreamBuffer : public std::streambuf {
  public:
    PartStreamBuffer(std::streambuf* source, bool hashing, std::streambuf* copy);

    std::streambuf* source() const { return source_; }
    std::streambuf* copy() const { return copy_; }
    bool hashing() const { return hashing_; }
    uint32_t payloadStart() const { return payloadStart_; }
    uint32_t partLength() const { return partLength_; }
    uint32_t remaining() const { return remaining_; }
    // Offset of the read position within the current payload.
    uint32_t offset() const { return partLength_ - remaining_; }

    // Finishes the active digest into the digest slot; the digest object
    // starts a new message.
    void finishDigest();
    const uint8_t* digestSlot() const { return digestSlot_; }
    bool sha256Active() const { return sha256Active_; }
    // Reads up to n bytes of the current payload straight from the source:
    // copied, not digested (the signature bytes). Returns the count read.
    size_t readUndigested(char* buffer, size_t n);

    // Used by PackageReader.
    bool readFileHeader(uint32_t& magic, uint32_t& size);
    int advance(const std::vector<uint32_t>& wanted, int& currentType);

  protected:
    int_type underflow() override;
    int_type uflow() override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    int_type pbackfail(int_type c) override;
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios::openmode which) override;

  private:
    void feed(const char* data, size_t n);  // digest and copy
    size_t skipByReading(uint32_t n);

    std::streambuf* source_;
    uint32_t payloadStart_ = 0;
    uint32_t partLength_ = 0;
    uint32_t remaining_ = 0;
    std::streambuf* copy_;
    SHA1 sha1_;
    SHA256 sha256_;
    bool sha256Active_ = false;
    bool hashing_;
    uint32_t putBack_ = 0;
    uint8_t digestSlot_[32] = {};
};

class PackageReader : public std::istream {
  public:
    // `source` is an open stream on the package file; the file header is read
    // at once. `copy` (may be null) receives every byte read, in file order.
    PackageReader(std::istream& source, bool hashing, std::streambuf* copy);
    ~PackageReader() override;

    std::vector<uint32_t> wanted;  // part types at which nextPart stops

    // Moves to the next wanted part; its type, or -1 at the end or on error.
    int nextPart();
    int currentType() const { return currentType_; }
    uint32_t magic() const { return magic_; }
    uint32_t fileLength() const { return fileLength_; }
    uint32_t partLength() const { return buf_->partLength(); }
    // Absolute position in the file (payload start + offset in the part).
    uint64_t position() const { return uint64_t(buf_->payloadStart()) + buf_->offset(); }
    PartStreamBuffer& parts() { return *buf_; }
    const PartStreamBuffer& parts() const { return *buf_; }

  private:
    std::unique_ptr<PartStreamBuffer> buf_;
    int currentType_ = -1;
    uint32_t magic_ = 0;
    uint32_t fileLength_ = 0;
};

// Fills `p` from the header part (type 1 or 18) the reader stands on and the
// record parts that follow it. False on a short or misplaced header.
bool readPackageHeader(Package& p, PackageReader& reader);
// A u16 count and that many 32-byte entries.
bool readRefList(std::istream& in, std::vector<PackageRef>& out);
