#include "pkgfile/inflate_stream.h"

#include <gtest/gtest.h>

#include <istream>

#include "package_fixtures.h"

namespace {

std::string pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245 + 12345;
        c = char('a' + (x >> 16) % 7);
    }
    return s;
}

struct Inflating {
    std::stringbuf compressed;
    InflateStreamBuffer buf;
    std::istream in;
    explicit Inflating(const std::string& bytes) : compressed(bytes), buf(&compressed), in(&buf) {}
};

TEST(InflateStream, BulkAndSingleByteReadsAgree) {
    const std::string data = pattern(20000);
    Inflating bulk(qpk::deflateBytes(data, 6)), bytes(qpk::deflateBytes(data, 6));
    std::string viaBulk(data.size(), '\0');
    for (size_t at = 0; at < data.size(); at += 3000)
        bulk.in.read(viaBulk.data() + at,
                     std::streamsize(std::min<size_t>(3000, data.size() - at)));
    std::string viaBytes;
    for (int c; (c = bytes.in.get()) != EOF;) viaBytes += char(c);
    EXPECT_EQ(viaBulk, data);
    EXPECT_EQ(viaBytes, data);
    EXPECT_EQ(bulk.buf.inflatedCount(), data.size());
    EXPECT_EQ(bulk.in.get(), EOF);
}

TEST(InflateStream, OneByteCanBePutBackAcrossTheWindow) {
    const std::string data = pattern(9000);
    Inflating z(qpk::deflateBytes(data, 6));
    std::string first(4096, '\0');
    ASSERT_TRUE(z.in.read(first.data(), 4096));
    EXPECT_EQ(z.in.get(), data[4096]);  // a new window
    ASSERT_TRUE(z.in.unget());
    ASSERT_TRUE(z.in.unget());  // the kept byte of the previous window
    EXPECT_EQ(z.in.get(), data[4095]);
    EXPECT_EQ(z.in.get(), data[4096]);
    ASSERT_TRUE(z.in.unget() && z.in.unget());
    EXPECT_FALSE(z.in.unget());
}

TEST(InflateStream, SkipsOnlyForward) {
    const std::string data = pattern(9000);
    Inflating z(qpk::deflateBytes(data, 6));
    ASSERT_TRUE(z.in.seekg(5000, std::ios::cur));
    EXPECT_EQ(z.in.get(), data[5000]);
    EXPECT_EQ(z.in.tellg(), 5001);
    EXPECT_FALSE(z.in.seekg(-1, std::ios::cur));
    z.in.clear();
    EXPECT_FALSE(z.in.seekg(0, std::ios::end));
    z.in.clear();
    EXPECT_FALSE(z.in.seekg(4000, std::ios::cur));  // past the end of the stream
}

TEST(InflateStream, DamagedInputEndsTheStream) {
    const std::string data = pattern(50000);
    std::string compressed = qpk::deflateBytes(data, 9);
    Inflating garbage("this is not a zlib stream");
    EXPECT_EQ(garbage.in.get(), EOF);
    EXPECT_EQ(garbage.buf.inflatedCount(), 0u);

    Inflating cut(compressed.substr(0, compressed.size() / 2));
    std::string got(data.size(), '\0');
    cut.in.read(got.data(), std::streamsize(got.size()));
    ASSERT_GT(cut.in.gcount(), 0);
    ASSERT_LT(size_t(cut.in.gcount()), data.size());
    EXPECT_EQ(got.substr(0, size_t(cut.in.gcount())), data.substr(0, size_t(cut.in.gcount())));
}

}  // namespace
