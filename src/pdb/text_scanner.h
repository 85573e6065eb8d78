// Bounded reading of the database's small text files: words, decimal numbers
// and lines, taken from a stream buffer in blocks. A damaged or binary file
// can make a read fail, never make it hold more than its limit in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <streambuf>
#include <string>

class TextScanner {
  public:
    explicit TextScanner(std::streambuf* source) : source_(source) {}
    TextScanner(const TextScanner&) = delete;
    TextScanner& operator=(const TextScanner&) = delete;

    // Skips white space, then reads a run of non-blank characters. Only the
    // first `maxLength` characters are kept; the rest of the run is passed
    // over. False when the input ends before a word.
    bool readWord(std::string& word, size_t maxLength);
    // Skips white space, then reads decimal digits. False when no digit
    // comes or the value does not fit.
    bool readUnsigned(uint32_t& value);
    // As readUnsigned, with an optional sign.
    bool readSigned(int32_t& value);
    // Reads up to the next line feed, which is consumed and not stored. Only
    // the first `maxLength` characters are kept; `truncated` tells whether
    // more were passed over. False at the end of the input.
    bool readLine(std::string& line, size_t maxLength, bool& truncated);

  private:
    int peek() { return pos_ < end_ || refill() ? static_cast<unsigned char>(buffer_[pos_]) : -1; }
    bool refill();
    void skipBlanks();
    bool readDigits(uint64_t limit, uint64_t& value);

    std::streambuf* source_;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool atEnd_ = false;
    char buffer_[4096];
};

// White space as the C locale's isspace sees it.
inline bool isBlank(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
