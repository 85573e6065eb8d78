#include "pkgfile/package_reader.h"

PackageReader::PackageReader(std::istream& source, bool hashing, std::streambuf* copy)
    : std::istream(nullptr),
      buf_(std::make_unique<PartStreamBuffer>(source.rdbuf(), hashing, copy)) {
    rdbuf(buf_.get());
    uint32_t size = 0;
    if (!buf_->readFileHeader(magic_, size)) {
        magic_ = 0xFFFFFFFF;
        setstate(std::ios::failbit);
        return;
    }
    fileLength_ = size + 8;
    if (magic_ != PACKAGE_MAGIC && magic_ != UNRECORDED_PACKAGE_MAGIC) setstate(std::ios::failbit);
}

PackageReader::~PackageReader() {
    rdbuf(nullptr);
}

int PackageReader::nextPart() {
    if (fail() || bad()) {
        currentType_ = -1;
        return -1;
    }
    clear();
    if (buf_->advance(wanted, currentType_) < 0) {
        currentType_ = -1;
        setstate(std::ios::eofbit | std::ios::failbit);
    }
    return currentType_;
}
