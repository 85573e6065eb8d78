#include "fs/fd_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/temp_root.h"
#include "fs/faults.h"

namespace {

// Content whose every position is recognisable.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7 + i / 251) % 26);
    return s;
}

constexpr size_t BUF = 65536;

TEST(FdStream, WritesOfEverySizeArriveInOrder) {
    TempRoot root;
    std::string big = pattern(3 * BUF + 17);
    std::string expected;
    {
        OutFile out("/f");
        ASSERT_TRUE(out.is_open());
        // Small writes, one that crosses the buffer's end, and ones larger
        // than the buffer that go straight through.
        std::vector<size_t> sizes = {1, 100, BUF - 50, 200, BUF, 3 * BUF + 17, 5};
        for (size_t n : sizes) {
            out.write(big.data(), std::streamsize(n));
            expected.append(big, 0, n);
        }
        out << 'x' << 42;
        expected += "x42";
        EXPECT_EQ(out.tellp(), std::streamoff(expected.size()));
        EXPECT_TRUE(out.close());
    }
    EXPECT_EQ(root.read("/f"), expected);
}

TEST(FdStream, ReadsSeeksAndPutBack) {
    TempRoot root;
    const std::string data = pattern(3 * BUF + 123);
    root.write("/f", data);
    InFile in("/f");
    ASSERT_TRUE(in.is_open());
    EXPECT_EQ(in.rdbuf()->in_avail(), std::streamsize(data.size()));

    std::string got(10, '\0');
    in.read(got.data(), 10);
    EXPECT_EQ(got, data.substr(0, 10));
    // A large read goes into the caller's memory; put-back still works after it.
    got.resize(2 * BUF);
    in.read(got.data(), std::streamsize(got.size()));
    EXPECT_EQ(got, data.substr(10, 2 * BUF));
    EXPECT_TRUE(in.unget());
    EXPECT_TRUE(in.unget());
    EXPECT_EQ(in.get(), data[2 * BUF + 8]);
    EXPECT_EQ(in.tellg(), std::streamoff(2 * BUF + 9));

    // Single characters across the first buffer refill (at BUF - 8, after
    // the put-back area), then put back over the seam.
    in.seekg(0);
    in.ignore(BUF - 11);
    std::string seam;
    for (int i = 0; i < 6; ++i) seam += char(in.get());
    EXPECT_EQ(seam, data.substr(BUF - 11, 6));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(in.unget());
    EXPECT_EQ(in.get(), data[BUF - 9]);
    EXPECT_TRUE(in.putback(data[BUF - 9]));

    in.seekg(-5, std::ios::cur);
    EXPECT_EQ(in.tellg(), std::streamoff(BUF - 14));
    EXPECT_EQ(in.get(), data[BUF - 14]);
    in.seekg(-4, std::ios::end);
    got.assign(100, '\0');
    in.read(got.data(), 100);
    EXPECT_EQ(in.gcount(), 4);
    EXPECT_TRUE(in.eof());
    EXPECT_EQ(got.substr(0, 4), data.substr(data.size() - 4));
    EXPECT_EQ(in.rdbuf()->in_avail(), -1);
}

TEST(FdStream, FailedWriteIsReportedAtClose) {
    TempRoot root;
    OutFile out("/f");
    ASSERT_TRUE(out.is_open());
    rootfs::faults::arm(rootfs::faults::WRITE, 1, ENOSPC);
    out << "content that cannot be stored";
    errno = 0;
    EXPECT_FALSE(out.close());
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(out.fail());
    EXPECT_EQ(rootfs::faults::count(), 1);
    rootfs::faults::disarm();
    EXPECT_FALSE(InFile("/missing").is_open());
    EXPECT_FALSE(OutFile("/no/such/dir/f").is_open());
}

}  // namespace
