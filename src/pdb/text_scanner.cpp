#include "pdb/text_scanner.h"

#include <cstring>

bool TextScanner::refill() {
    if (atEnd_ || !source_) return false;
    std::streamsize got = source_->sgetn(buffer_, sizeof buffer_);
    pos_ = 0;
    end_ = got > 0 ? size_t(got) : 0;
    if (end_ == 0) atEnd_ = true;
    return end_ > 0;
}

void TextScanner::skipBlanks() {
    int c;
    while ((c = peek()) >= 0 && isBlank(c)) ++pos_;
}

bool TextScanner::readWord(std::string& word, size_t maxLength) {
    word.clear();
    skipBlanks();
    if (peek() < 0) return false;
    int c;
    while ((c = peek()) >= 0 && !isBlank(c)) {
        if (word.size() < maxLength) word.push_back(char(c));
        ++pos_;
    }
    return true;
}

bool TextScanner::readDigits(uint64_t limit, uint64_t& value) {
    value = 0;
    bool any = false;
    bool overflow = false;
    int c;
    // The whole run of digits is consumed even when it overflows, as a
    // formatted stream read would.
    while ((c = peek()) >= '0' && c <= '9') {
        ++pos_;
        any = true;
        if (!overflow) {
            value = value * 10 + uint64_t(c - '0');
            if (value > limit) overflow = true;
        }
    }
    return any && !overflow;
}

bool TextScanner::readUnsigned(uint32_t& value) {
    skipBlanks();
    uint64_t v;
    if (!readDigits(UINT32_MAX, v)) return false;
    value = uint32_t(v);
    return true;
}

bool TextScanner::readSigned(int32_t& value) {
    skipBlanks();
    bool negative = false;
    int c = peek();
    if (c == '-' || c == '+') {
        negative = c == '-';
        ++pos_;
    }
    uint64_t v;
    if (!readDigits(negative ? uint64_t(INT32_MAX) + 1 : uint64_t(INT32_MAX), v)) return false;
    value = negative ? int32_t(-int64_t(v)) : int32_t(v);
    return true;
}

bool TextScanner::readLine(std::string& line, size_t maxLength, bool& truncated) {
    line.clear();
    truncated = false;
    if (peek() < 0) return false;
    while (pos_ < end_ || refill()) {
        const char* start = buffer_ + pos_;
        size_t available = end_ - pos_;
        const void* feed = std::memchr(start, '\n', available);
        size_t take = feed ? size_t(static_cast<const char*>(feed) - start) : available;
        size_t room = maxLength - line.size();
        if (take > room) truncated = true;
        line.append(start, take < room ? take : room);
        pos_ += take;
        if (feed) {
            ++pos_;
            break;
        }
    }
    return true;
}
