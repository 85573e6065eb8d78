#include "pkgfile/package_reader.h"

#include <gtest/gtest.h>

#include "fs/fd_stream.h"
#include "package_fixtures.h"
#include "support/temp_root.h"

using namespace fixtures;

namespace {

const std::vector<uint32_t> kInstallParts = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
const std::vector<uint32_t> kDiscoveryParts = {18, 1, 24, 16, 2, 23, 3, 19, 17, 21};

struct Opened {
    std::istringstream source;
    PackageReader reader;
    Opened(const std::string& bytes, std::vector<uint32_t> wanted, bool hashing = true,
           std::streambuf* copy = nullptr)
        : source(bytes), reader(source, hashing, copy) {
        reader.wanted = std::move(wanted);
    }
    bool header(Package& p) { return reader.nextPart() >= 0 && readPackageHeader(p, reader); }
};

// Reads on to the signature as an install does and returns the digest slot
// there; the signature bytes themselves are copied but not digested.
std::string signatureDigest(PackageReader& reader) {
    for (int type; (type = reader.nextPart()) != PART_SIGNATURE;)
        if (type < 0) return "no signature";
    reader.parts().finishDigest();
    char signature[132];
    reader.parts().readUndigested(signature, sizeof signature);
    return slotText(reader.parts().digestSlot());
}

TEST(PackageReader, FileHeader) {
    struct Case {
        std::string bytes;
        bool failed;
        uint32_t magic, fileLength;
    } cases[] = {
        {packageFile(""), false, PACKAGE_MAGIC, 8},
        {packageFile("", UNRECORDED_PACKAGE_MAGIC), false, UNRECORDED_PACKAGE_MAGIC, 8},
        {packageFile("").substr(0, 7), true, 0xFFFFFFFF, 0},
        {packageFile(part(1, "x"), 0x12345678), true, 0x12345678, 15},
    };
    for (const Case& c : cases) {
        Opened o(c.bytes, kInstallParts);
        EXPECT_EQ(o.reader.fail(), c.failed);
        EXPECT_EQ(o.reader.magic(), c.magic);
        EXPECT_EQ(o.reader.fileLength(), c.fileLength);
        EXPECT_EQ(o.reader.nextPart(), -1);
        EXPECT_TRUE(o.reader.fail());
    }
}

TEST(PackageReader, HeaderRecords) {
    struct Case {
        std::string name;
        bool flagsWord;
        std::string expected;
    } cases[] = {
        {"sixteen-chars-ab", true, "sixteen-chars-ab"},
        {std::string("ab\0cd", 5), true, "ab"},
        {std::string("\0abc", 4), true, ""},
        {"short", false, "short"},
    };
    for (const Case& c : cases) {
        qpk::PackageRecipe recipe = simpleRecipe(c.name);
        recipe.flags = 3;
        recipe.withFlagsWord = c.flagsWord;
        recipe.depends = {{"sixteen-chars-cd", 1, 2, 3}};
        Opened o(build(recipe), kDiscoveryParts);
        Package p;
        ASSERT_TRUE(o.header(p)) << c.name;
        EXPECT_EQ(p.name, c.expected);
        EXPECT_EQ(p.flags, c.flagsWord ? 3u : 0u);
        EXPECT_EQ(p.architecture, "powerpc");  // read on after a 32-byte record
        EXPECT_EQ(p.depends.at(0).name, "sixteen-chars-cd");
    }
    qpk::PackageRecipe recipe = simpleRecipe("full");
    recipe.text24 = std::string("t24\0", 4);  // no terminator is removed
    recipe.architecture.reset();
    recipe.note = "a note";
    recipe.provides = {{"web", 1, 0, -5}};
    recipe.conflicts = {{"old", 0, 9, 7}};
    recipe.keepImagePayload = "image";
    Opened o(build(recipe), kDiscoveryParts);
    Package p;
    ASSERT_TRUE(o.header(p));
    EXPECT_EQ(p.text24, std::string("t24\0", 4));
    EXPECT_EQ(p.architecture, "i386");
    EXPECT_EQ(p.note, "a note");
    EXPECT_EQ(p.provides.at(0).weight, -5);
    EXPECT_EQ(p.conflicts.at(0).maxVersion, 9u);
    EXPECT_TRUE(p.keepsImage);
    EXPECT_EQ(o.reader.currentType(), PART_PAYLOAD);  // left for the caller
}

TEST(PackageReader, ShortAndOverlongParts) {
    std::string entry = std::string("dep").append(13, '\0') + le32(5) + le32(0) + le32(6) + le32(1);
    std::string header = part(1, headerRecord("p"));
    std::string provides = part(19, le16(1) + std::string("prov").append(28, '\0'));
    Package p;
    // Bytes beyond the counted entries are skipped by the next part.
    Opened excess(packageFile(header + part(3, le16(1) + entry + "0123456789") + provides),
                  kDiscoveryParts);
    ASSERT_TRUE(excess.header(p));
    EXPECT_EQ(p.depends.at(0).maxVersion, 6u);
    EXPECT_EQ(p.provides.at(0).name, "prov");

    EXPECT_FALSE(Opened(packageFile(header + part(3, le16(2) + entry)), kDiscoveryParts).header(p));
    EXPECT_FALSE(Opened(packageFile(part(1, "tiny")), kDiscoveryParts).header(p));
    // A text part that claims almost 4 GiB but holds 10 bytes.
    Package q;
    Opened text(packageFile(header + le16(24) + le32(0xFFFFFFF0) + "0123456789"), kDiscoveryParts);
    EXPECT_FALSE(text.header(q));
    EXPECT_LE(q.text24.capacity(), 1u << 20);
    // An unwanted payload shorter than its length ends the file.
    Opened skip(packageFile(header + le16(77) + le32(1000) + "short"), {1});
    ASSERT_EQ(skip.reader.nextPart(), PART_PACKAGE_HEADER);
    EXPECT_EQ(skip.reader.nextPart(), -1);
    EXPECT_TRUE(skip.reader.eof() && skip.reader.fail());
}

TEST(PackageReader, CopyHoldsEveryByteOnceAndDigestsMatch) {
    for (bool sha256 : {false, true}) {
        for (bool hashing : {true, false}) {
            qpk::PackageRecipe recipe = simpleRecipe("copy");
            recipe.sha256 = sha256;
            recipe.note = "not wanted by an install";
            recipe.partsAfterSignature = {{77, "unknown", {}}, {16, "arch", {}}};
            std::string file = build(recipe);
            std::stringbuf copy;
            Opened o(file, kInstallParts, hashing, &copy);
            std::string slot = signatureDigest(o.reader);
            while (o.reader.nextPart() >= 0) {
            }
            EXPECT_EQ(copy.str(), file);
            EXPECT_EQ(o.reader.position(), o.reader.fileLength());
            if (!hashing) continue;
            // From the package header (after any part 25) to the signature header.
            size_t start = sha256 ? 14 : 8, end = file.size() - 23 - 132;
            EXPECT_EQ(slot, digest(file.substr(start, end - start), sha256));
            // The end of the file finishes what came after the signature.
            EXPECT_EQ(slotText(o.reader.parts().digestSlot()),
                      digest(file.substr(end + 132), sha256));
        }
    }
    // A part 25 after the header starts the SHA-256 digest at itself.
    std::string signedTail = part(25, "ignored") + part(4, "") + le16(9) + le32(132);
    Opened late(packageFile(part(1, headerRecord("late")) + signedTail + std::string(132, '\0')),
                kInstallParts);
    EXPECT_EQ(signatureDigest(late.reader), digest(signedTail, true));
}

TEST(PackageReader, BundleMembersEachDigestFromTheirOwnHeader) {
    for (bool sha256 : {false, true}) {
        qpk::PackageRecipe first = simpleRecipe("first"), second = simpleRecipe("second");
        first.sha256 = second.sha256 = sha256;
        std::vector<std::string> members = {build(first), build(second)};
        qpk::BundleRecipe bundle;
        bundle.name = "system";
        bundle.defaultDisabled = {{"second", 0, 0, 0}};
        bundle.architecture = "powerpc";
        Opened o(qpk::buildBundle(bundle, members), kInstallParts);
        Package header;
        ASSERT_TRUE(o.header(header));
        EXPECT_TRUE(header.isBundle);
        std::vector<PackageRef> disabled;
        ASSERT_EQ(o.reader.currentType(), PART_BUNDLE_MEMBERS);
        ASSERT_TRUE(readRefList(o.reader, disabled));
        EXPECT_EQ(disabled.at(0).name, "second");
        o.reader.nextPart();
        for (const std::string& member : members) {
            Package p;
            ASSERT_TRUE(readPackageHeader(p, o.reader));
            size_t start = sha256 ? 14 : 8;
            EXPECT_EQ(signatureDigest(o.reader),
                      digest(member.substr(start, member.size() - 132 - start), sha256));
            o.reader.nextPart();
        }
        EXPECT_EQ(o.reader.currentType(), PART_ARCHITECTURE);
        EXPECT_EQ(o.reader.nextPart(), -1);
    }
}

TEST(PackageReader, PutBackIsDigestedAndCopiedOnce) {
    std::string file = build(simpleRecipe("putback"));
    std::stringbuf copy;
    Opened o(file, kInstallParts, true, &copy);
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
    while (o.reader.nextPart() >= 0) {
    }
    EXPECT_EQ(copy.str(), file);
}

TEST(PackageReader, SeeksWithinThePart) {
    std::string file = packageFile(part(1, headerRecord("s")) + part(77, "0123456789"));
    // Without digest or copy the source is seeked, backwards too.
    Opened plain(file, {77}, false);
    ASSERT_EQ(plain.reader.nextPart(), 77);
    EXPECT_TRUE(plain.reader.seekg(5) && plain.reader.get() == '5');
    EXPECT_TRUE(plain.reader.seekg(2) && plain.reader.get() == '2');
    EXPECT_TRUE(plain.reader.seekg(-1, std::ios::end) && plain.reader.get() == '9');
    EXPECT_EQ(plain.reader.tellg(), 10);
    EXPECT_FALSE(plain.reader.seekg(11));
    // With a digest only forward moves work, by reading the bytes between.
    Opened hashed(file, {77}, true);
    ASSERT_EQ(hashed.reader.nextPart(), 77);
    EXPECT_TRUE(hashed.reader.seekg(4, std::ios::cur) && hashed.reader.get() == '4');
    EXPECT_FALSE(hashed.reader.seekg(1));
    hashed.reader.clear();
    EXPECT_EQ(hashed.reader.nextPart(), -1);
    EXPECT_EQ(slotText(hashed.reader.parts().digestSlot()), digest(file.substr(8), false));
}

TEST(PackageReader, PayloadsReachTheSourceInBulk) {
    std::string big(100000, 'b');
    std::string file = packageFile(part(1, headerRecord("b")) + part(77, big) + part(78, ""));
    for (bool hashing : {true, false}) {
        CountingBuf source(file);
        std::istream in(&source);
        PackageReader reader(in, hashing, nullptr);
        reader.wanted = {78};
        int before = source.bulkReads;
        ASSERT_EQ(reader.nextPart(), 78);
        // Three part headers; with a digest the skipped payloads in 16 KiB pieces.
        EXPECT_EQ(source.bulkReads - before, hashing ? 3 + 1 + 7 : 3);
        EXPECT_EQ(source.seeks, hashing ? 0 : 2);
    }
    CountingBuf source(file);
    std::istream in(&source);
    PackageReader reader(in, true, nullptr);
    reader.wanted = {77};
    ASSERT_EQ(reader.nextPart(), 77);
    std::string payload(big.size(), '\0');
    int before = source.bulkReads;
    ASSERT_TRUE(reader.read(payload.data(), std::streamsize(payload.size())));
    EXPECT_EQ(source.bulkReads - before, 1);
    EXPECT_EQ(payload, big);
}

// A read of a buffer or more goes from the file straight into the caller's
// memory; the last bytes of it can still be put back.
TEST(PackageReader, PutBackAfterABulkReadFromAFile) {
    std::string big(300000, 'b');
    big.back() = 'z';
    TempRoot root;
    root.write("/f.qpk", packageFile(part(1, headerRecord("b")) + part(77, big)));
    InFile in("/f.qpk");
    PackageReader reader(in, true, nullptr);
    reader.wanted = {77};
    ASSERT_EQ(reader.nextPart(), 77);
    std::string payload(big.size(), '\0');
    ASSERT_TRUE(reader.read(payload.data(), std::streamsize(payload.size())));
    ASSERT_TRUE(reader.unget());
    EXPECT_EQ(reader.get(), 'z');
}

}  // namespace
