#include "qpk/lib/builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "package_fixtures.h"
#include "support/temp_root.h"

using namespace fixtures;

namespace {

// Part types of a file, by walking the length fields.
std::vector<int> partTypes(const std::string& file) {
    std::vector<int> types;
    for (size_t at = 8; at + 6 <= file.size();) {
        auto byte = [&](size_t i) { return uint32_t(uint8_t(file[i])); };
        types.push_back(int(byte(at) | byte(at + 1) << 8));
        at += 6 + (byte(at + 2) | byte(at + 3) << 8 | byte(at + 4) << 16 | byte(at + 5) << 24);
    }
    return types;
}

TEST(Builder, PartsComeInTheReadersOrder) {
    qpk::PackageSpec spec = simpleSpec("all");
    spec.sha256 = true;
    spec.text24 = "a";
    spec.text2 = "b";
    spec.note = "c";
    spec.provides = {{"p", 0, 0, 0}};
    spec.conflicts = {{"q", 0, 0, 0}};
    spec.keepImagePayload = "image";
    spec.partsAfterSignature = {{16, "x", {}}, {3, "", {}}};
    std::string file = build(spec);
    EXPECT_EQ(partTypes(file), (std::vector<int>{25, 1, 24, 16, 2, 23, 19, 17, 21, 4, 9, 16, 3}));
    EXPECT_EQ(file.substr(4, 4), le32(uint32_t(file.size() - 8)));

    qpk::PackageSpec bare;
    bare.name = "bare";
    bare.withFlagsWord = false;
    bare.withFilesPart = false;
    bare.unrecorded = true;
    file = build(bare);
    EXPECT_EQ(file, packageFile(
                        part(1, headerRecord("bare", 0, 0).substr(0, 20) + std::string(12, '\0')) +
                            le16(9) + le32(132) + std::string(132, '\0'),
                        0xA1100FFB));
}

TEST(Builder, BundleCarriesMembersWithoutTheirFileHeaders) {
    std::string member = build(simpleSpec("m"));
    qpk::BundleSpec spec;
    spec.name = "system";
    spec.keepImagePayload = "i";
    spec.defaultDisabled = {{"m", 0, 0, 0}};
    spec.architecture = "powerpc";
    spec.partsAfterMembers = {{77, "", 1000}};
    std::string bundle = qpk::buildBundle(spec, {member});
    EXPECT_EQ(partTypes(bundle), (std::vector<int>{18, 21, 20, 1, 16, 4, 9, 16, 77}));
    EXPECT_NE(bundle.find(member.substr(8)), std::string::npos);
}

TEST(Builder, FileRecordLayout) {
    std::string r = qpk::fileRecords({{"ab", 0100755, "xyz", 3}});
    std::string expected = le16(0100755) + std::string(21, '\0') + "\x03" + le32(3) + le16(2);
    EXPECT_EQ(r, expected + "abxyz");
}

TEST(Builder, DeflateRoundTrip) {
    for (size_t size : {size_t(0), size_t(100), size_t(3) << 20}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = char((i * 7919) >> 5);
        std::string z = qpk::deflateBytes(data, 6);
        std::string back(size, '\0');
        uLongf length = uLongf(size);
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(back.data()), &length,
                             reinterpret_cast<const Bytef*>(z.data()), uLong(z.size())),
                  Z_OK);
        EXPECT_EQ(length, size);
        EXPECT_TRUE(back == data);
    }
}

TEST(Builder, ReadTreeTakesRegularFilesSorted) {
    TempRoot dir;
    dir.write("/b/z", "z", 0755);
    dir.write("/a", "a", 0600);
    dir.write("/b/c", "c", 0644);
    dir.symlink("a", "/link");
    std::vector<qpk::FileEntry> files;
    std::string error;
    ASSERT_TRUE(qpk::readTree(dir.path(), files, error)) << error;
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].name, "a");
    EXPECT_EQ(files[0].mode, 0100600);
    EXPECT_EQ(files[1].name, "b/c");
    EXPECT_EQ(files[2].name, "b/z");
    EXPECT_EQ(files[2].mode, 0100755);
    EXPECT_EQ(files[2].contents, "z");
    EXPECT_FALSE(qpk::readTree(dir.path() + "/missing", files, error));
}

}  // namespace
