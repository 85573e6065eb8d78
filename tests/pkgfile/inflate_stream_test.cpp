#include "pkgfile/inflate_stream.h"

#include <gtest/gtest.h>

#include <istream>

#include "package_fixtures.h"

namespace {

std::string letters(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) c = char('a' + ((x = x * 1103515245 + 12345) >> 16) % 7);
    return s;
}

struct Inflating {
    std::stringbuf compressed;
    InflateStreamBuffer buf;
    std::istream in;
    explicit Inflating(const std::string& data)
        : compressed(qpk::deflateBytes(data, 6)), buf(&compressed), in(&buf) {}
};

TEST(InflateStream, BytesBulkReadsPutBackAndForwardSkips) {
    const std::string data = letters(12000);
    Inflating z(data), bytes(data);
    std::string first(4096, '\0'), viaBytes;
    for (int c; (c = bytes.in.get()) != EOF;) viaBytes += char(c);
    EXPECT_EQ(viaBytes, data);
    EXPECT_EQ(bytes.buf.inflatedCount(), data.size());
    ASSERT_TRUE(z.in.read(first.data(), 4096));  // a bulk read of the whole first window
    EXPECT_EQ(first, data.substr(0, 4096));
    EXPECT_EQ(z.in.get(), data[4096]);          // from a new window
    ASSERT_TRUE(z.in.unget() && z.in.unget());  // the kept byte of the previous one
    EXPECT_EQ(z.in.get(), data[4095]);
    EXPECT_FALSE(z.in.unget() && z.in.unget() && z.in.unget());
    z.in.clear();
    ASSERT_TRUE(z.in.seekg(5000, std::ios::cur));
    EXPECT_EQ(z.in.get(), data[4095 + 5000]);
    EXPECT_EQ(z.in.tellg(), 9096);
    EXPECT_FALSE(z.in.seekg(-1, std::ios::cur));
    z.in.clear();
    EXPECT_FALSE(z.in.seekg(0, std::ios::end));
}

}  // namespace
