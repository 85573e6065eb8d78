// The package file reader: the digest the signature covers, the copy of
// every byte read, put-back and seeks at the edges of a part. (Header records
// and damaged parts are checked through the installer: scenarios and the
// hostile catalogue.)
#include "pkgfile/package_reader.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sstream>

#include "qpk/lib/builder.h"

namespace {

const std::vector<uint32_t> INSTALL = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};

std::string le16(uint16_t v) {
    return {char(v), char(v >> 8)};
}
std::string le32(uint32_t v) {
    return le16(uint16_t(v)) + le16(uint16_t(v >> 16));
}
std::string part(uint16_t type, const std::string& payload) {
    return le16(type) + le32(uint32_t(payload.size())) + payload;
}
std::string packageFile(const std::string& parts, uint32_t magic = PACKAGE_MAGIC) {
    return le32(magic) + le32(uint32_t(parts.size())) + parts;
}
// A header part: a 36-byte record for "p", version 1.
const std::string HEADER =
    part(1, std::string("p").append(15, '\0') + le32(1) + std::string(16, '\0'));

qpk::PackageRecipe recipe(const std::string& name) {
    qpk::PackageRecipe r;
    r.name = name;
    r.version = 0x07016603;
    r.architecture = "powerpc";
    r.files.push_back({"bin/" + name, 0100755, "contents of " + name, 0});
    return r;
}

// SHA-1 or SHA-256 of `bytes`, zero-padded to the 32-byte digest slot.
std::string digest(const std::string& bytes, bool sha256) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), md, &length, sha256 ? EVP_sha256() : EVP_sha1(),
               nullptr);
    std::string slot(reinterpret_cast<char*>(md), length);
    slot.resize(32, '\0');
    return slot;
}
std::string slot(PackageReader& reader) {
    return std::string(reinterpret_cast<const char*>(reader.parts().digestSlot()), 32);
}

struct Opened {
    std::istringstream source;
    PackageReader reader;
    Opened(const std::string& bytes, std::vector<uint32_t> wanted, bool hashing = true,
           std::streambuf* copy = nullptr)
        : source(bytes), reader(source, hashing, copy) {
        reader.wanted = std::move(wanted);
    }
    void readToEnd() {
        while (reader.nextPart() >= 0) {
        }
    }
};

// Reads on to the signature as an install does and returns the digest slot
// there; the signature bytes themselves are copied but not digested.
std::string signatureDigest(PackageReader& reader) {
    for (int type; (type = reader.nextPart()) != PART_SIGNATURE;)
        if (type < 0) return "no signature";
    reader.parts().finishDigest();
    char signature[132];
    reader.parts().readUndigested(signature, sizeof signature);
    return slot(reader);
}

// The signature covers the package header (or a part 25 before it) up to the
// signature part; whatever follows is digested anew, and every byte is
// copied once, in or out of the digest.
TEST(PackageReader, CopyHoldsEveryByteOnceAndDigestsMatch) {
    for (bool sha256 : {false, true}) {
        for (bool hashing : {true, false}) {
            qpk::PackageRecipe r = recipe("copy");
            r.sha256 = sha256;
            r.note = "not wanted by an install";
            // An unwanted part after the signature, longer than one piece of a skip.
            const std::string unknown(40000, 'u');
            r.partsAfterSignature = {{77, unknown, {}}, {16, "arch", {}}};
            const std::string file = qpk::buildPackage(r, {});
            std::stringbuf copy;
            Opened o(file, INSTALL, hashing, &copy);
            const std::string atSignature = signatureDigest(o.reader);
            o.readToEnd();
            EXPECT_EQ(copy.str(), file);
            EXPECT_EQ(o.reader.position(), o.reader.fileLength());
            if (!hashing) continue;
            // The 132 signature bytes and the two parts after them end the file.
            const size_t start = sha256 ? 14 : 8,
                         end = file.size() - (12 + unknown.size() + 4) - 132;
            EXPECT_EQ(atSignature, digest(file.substr(start, end - start), sha256));
            EXPECT_EQ(slot(o.reader), digest(file.substr(end + 132), sha256));
        }
    }
    // A part 25 after the header starts the SHA-256 digest at itself.
    const std::string signedTail = part(25, "ignored") + part(4, "") + le16(9) + le32(132);
    Opened late(packageFile(HEADER + signedTail + std::string(132, '\0')), INSTALL);
    EXPECT_EQ(signatureDigest(late.reader), digest(signedTail, true));
}

TEST(PackageReader, PutBackIsDigestedAndCopiedOnce) {
    const std::string file = qpk::buildPackage(recipe("putback"), {});
    std::stringbuf copy;
    Opened o(file, INSTALL, true, &copy);
    ASSERT_EQ(o.reader.nextPart(), PART_PACKAGE_HEADER);
    EXPECT_FALSE(o.reader.unget());  // nothing of the part read yet
    o.reader.clear();
    char first = char(o.reader.get()), again[2];
    ASSERT_TRUE(o.reader.putback(first));
    ASSERT_TRUE(o.reader.read(again, 2));
    EXPECT_EQ(again[0], first);
    ASSERT_TRUE(o.reader.unget() && o.reader.unget());
    EXPECT_EQ(o.reader.tellg(), 0);
    EXPECT_EQ(signatureDigest(o.reader), digest(file.substr(8, file.size() - 8 - 132), false));
    o.readToEnd();
    EXPECT_EQ(copy.str(), file);
}

// Seeks stay within the part; with a digest kept they only go forward, by
// reading the bytes between; without, the source seeks, backwards too.
TEST(PackageReader, SeeksWithinThePart) {
    const std::string file = packageFile(HEADER + part(77, "0123456789"));
    Opened o(file, {77});
    ASSERT_EQ(o.reader.nextPart(), 77);
    EXPECT_TRUE(o.reader.seekg(4, std::ios::cur) && o.reader.get() == '4');
    EXPECT_TRUE(o.reader.seekg(6) && o.reader.get() == '6');
    EXPECT_TRUE(o.reader.seekg(1, std::ios::cur) && o.reader.get() == '8');
    EXPECT_FALSE(o.reader.seekg(1));
    o.reader.clear();
    EXPECT_FALSE(o.reader.seekg(11));
    o.reader.clear();
    EXPECT_TRUE(o.reader.seekg(-1, std::ios::end) && o.reader.get() == '9');
    EXPECT_EQ(o.reader.tellg(), 10);
    EXPECT_EQ(o.reader.nextPart(), -1);
    EXPECT_EQ(slot(o.reader), digest(file.substr(8), false));
    Opened plain(file, {77}, false);
    ASSERT_EQ(plain.reader.nextPart(), 77);
    EXPECT_TRUE(plain.reader.seekg(5) && plain.reader.seekg(2) && plain.reader.get() == '2');
    EXPECT_FALSE(plain.reader.seekg(11));
}

}  // namespace
