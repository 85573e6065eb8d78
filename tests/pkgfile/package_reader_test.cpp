#include "pkgfile/package_reader.h"

#include <gtest/gtest.h>

#include "package_fixtures.h"

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
};

// Reads a whole single package as an install does and returns the digest
// slot at the signature; the signature bytes themselves are not digested.
std::string signatureDigest(PackageReader& reader) {
    int type;
    while ((type = reader.nextPart()) != PART_SIGNATURE)
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
        EXPECT_EQ(o.reader.currentType(), -1);
    }
}

TEST(PackageReader, HeaderRecordNamesAndFlags) {
    struct Case {
        std::string name;
        bool flagsWord;
        std::string expectedName;
        uint32_t expectedFlags;
    } cases[] = {
        {"sixteen-chars-ab", true, "sixteen-chars-ab", 3},
        {"seventeen-chars-x", true, "seventeen-chars-", 3},
        {std::string("ab\0cd", 5), true, "ab", 3},
        {std::string("\0abc", 4), true, "", 3},
        {"short", false, "short", 0},
    };
    for (const Case& c : cases) {
        qpk::PackageSpec spec = simpleSpec(c.name);
        spec.flags = 3;
        spec.withFlagsWord = c.flagsWord;
        spec.depends = {{"sixteen-chars-cd", 1, 2, 3}};
        Opened o(build(spec), kDiscoveryParts);
        ASSERT_EQ(o.reader.nextPart(), PART_PACKAGE_HEADER);
        EXPECT_EQ(o.reader.partLength(), c.flagsWord ? 36u : 32u);
        Package p;
        ASSERT_TRUE(readPackageHeader(p, o.reader)) << c.name;
        EXPECT_EQ(p.name, c.expectedName);
        EXPECT_EQ(p.flags, c.expectedFlags);
        EXPECT_EQ(p.architecture, "powerpc");  // the part after a 32-byte record still reads
        ASSERT_EQ(p.depends.size(), 1u);
        EXPECT_EQ(p.depends[0].name, "sixteen-chars-cd");
    }
}

TEST(PackageReader, HeaderFieldsRoundTrip) {
    qpk::PackageSpec spec = simpleSpec("full", 0x06306600);
    spec.text24 = std::string("t24\0", 4);  // no terminator is removed
    spec.architecture.reset();
    spec.text2 = "two";
    spec.note = "a note";
    spec.depends = {{"base", 0x06000000, 0x07000000, 0}};
    spec.provides = {{"web", 1, 0, -5}};
    spec.conflicts = {{"old", 0, 9, 7}, {"older", 0, 0, 0}};
    spec.keepImagePayload = "image";
    Opened o(build(spec), kDiscoveryParts);
    Package p;
    ASSERT_EQ(o.reader.nextPart(), PART_PACKAGE_HEADER);
    ASSERT_TRUE(readPackageHeader(p, o.reader));
    EXPECT_EQ(p.version, 0x06306600u);
    EXPECT_EQ(p.buildTime, 1700000000u);
    EXPECT_EQ(p.text24, std::string("t24\0", 4));
    EXPECT_EQ(p.architecture, "i386");
    EXPECT_EQ(p.text2, "two");
    EXPECT_EQ(p.note, "a note");
    ASSERT_EQ(p.provides.size(), 1u);
    EXPECT_EQ(p.provides[0].weight, -5);
    ASSERT_EQ(p.conflicts.size(), 2u);
    EXPECT_EQ(p.conflicts[0].maxVersion, 9u);
    EXPECT_EQ(p.conflicts[0].weight, 7);
    EXPECT_EQ(p.depends[0].minVersion, 0x06000000u);
    EXPECT_EQ(p.keepsImage, 1);
    EXPECT_FALSE(p.isBundle);
    EXPECT_EQ(o.reader.currentType(), PART_PAYLOAD);  // left for the caller
}

TEST(PackageReader, RefListExcessIsSkippedAndShortageFails) {
    std::string entry = std::string("dep").append(13, '\0') + le32(5) + le32(0) + le32(6) + le32(1);
    std::string header = part(1, headerRecord("p", 1, 0));
    std::string provides = part(19, le16(1) + std::string("prov").append(28, '\0'));

    Opened excess(packageFile(header + part(3, le16(1) + entry + "0123456789") + provides),
                  kDiscoveryParts);
    Package p;
    ASSERT_EQ(excess.reader.nextPart(), PART_PACKAGE_HEADER);
    ASSERT_TRUE(readPackageHeader(p, excess.reader));
    ASSERT_EQ(p.depends.size(), 1u);
    EXPECT_EQ(p.depends[0].maxVersion, 6u);
    ASSERT_EQ(p.provides.size(), 1u);
    EXPECT_EQ(p.provides[0].name, "prov");

    Opened shortage(packageFile(header + part(3, le16(2) + entry) + provides), kDiscoveryParts);
    Package q;
    ASSERT_EQ(shortage.reader.nextPart(), PART_PACKAGE_HEADER);
    EXPECT_FALSE(readPackageHeader(q, shortage.reader));
}

TEST(PackageReader, TruncatedPartsFailWithoutLargeAllocations) {
    std::string header = part(1, headerRecord("p", 1, 0));
    // A text part that claims almost 4 GiB but holds 10 bytes.
    Opened text(packageFile(header + le16(24) + le32(0xFFFFFFF0) + "0123456789"), kDiscoveryParts);
    Package p;
    ASSERT_EQ(text.reader.nextPart(), PART_PACKAGE_HEADER);
    EXPECT_FALSE(readPackageHeader(p, text.reader));
    EXPECT_LE(p.text24.capacity(), 1u << 20);

    // An unwanted payload shorter than its length: the skip comes up short.
    Opened skip(packageFile(header + le16(77) + le32(1000) + "short"), {1});
    ASSERT_EQ(skip.reader.nextPart(), PART_PACKAGE_HEADER);
    EXPECT_EQ(skip.reader.nextPart(), -1);
    EXPECT_TRUE(skip.reader.eof() && skip.reader.fail());
    EXPECT_EQ(skip.reader.nextPart(), -1);

    // A header record shorter than 32 bytes.
    Opened shortHeader(packageFile(part(1, "tiny")), {1});
    ASSERT_EQ(shortHeader.reader.nextPart(), PART_PACKAGE_HEADER);
    EXPECT_FALSE(readPackageHeader(p, shortHeader.reader));
}

TEST(PackageReader, CopyHoldsEveryByteOnceAndDigestsMatch) {
    for (bool sha256 : {false, true}) {
        for (bool hashing : {true, false}) {
            qpk::PackageSpec spec = simpleSpec("copy");
            spec.sha256 = sha256;
            spec.note = "skipped by an install";
            spec.partsAfterSignature = {{77, "unknown", {}}, {16, "arch", {}}};
            std::string file = build(spec);
            std::stringbuf copy;
            Opened o(file, kInstallParts, hashing, &copy);
            std::string slot = signatureDigest(o.reader);
            while (o.reader.nextPart() >= 0) {
            }
            EXPECT_EQ(copy.str(), file);
            EXPECT_EQ(o.reader.position(), o.reader.fileLength());
            if (!hashing) continue;
            // Signed: the package header (after any part 25) up to the signature header.
            size_t start = sha256 ? 14 : 8;
            size_t end = file.size() - 132 - 6 - 7 - 6 - 4;
            EXPECT_EQ(slot, digest(file.substr(start, end - start), sha256));
            // The end of the file finishes what came after the signature.
            EXPECT_EQ(slotText(o.reader.parts().digestSlot()),
                      digest(file.substr(end + 132), sha256));
        }
    }
}

TEST(PackageReader, Sha256PartAfterTheHeaderStartsTheDigestThere) {
    std::string head = part(1, headerRecord("late", 1, 0));
    std::string signedTail = part(25, "ignored") + part(4, "") + le16(9) + le32(132);
    std::string file = packageFile(head + signedTail + std::string(132, '\0'));
    Opened o(file, kInstallParts);
    EXPECT_EQ(signatureDigest(o.reader), digest(signedTail, true));
    EXPECT_TRUE(o.reader.parts().sha256Active());
}

TEST(PackageReader, BundleMembersEachDigestFromTheirOwnHeader) {
    for (bool sha256 : {false, true}) {
        qpk::PackageSpec first = simpleSpec("first"), second = simpleSpec("second");
        first.sha256 = second.sha256 = sha256;
        std::vector<std::string> members = {build(first), build(second)};
        qpk::BundleSpec bundle;
        bundle.name = "system";
        bundle.version = 0x07016603;
        bundle.defaultDisabled = {{"second", 0, 0, 0}};
        bundle.architecture = "powerpc";
        Opened o(qpk::buildBundle(bundle, members), kInstallParts);

        InstalledPackage header;
        ASSERT_EQ(o.reader.nextPart(), PART_BUNDLE_HEADER);
        ASSERT_TRUE(readPackageHeader(header, o.reader));
        EXPECT_TRUE(header.isBundle);
        ASSERT_EQ(o.reader.currentType(), PART_BUNDLE_MEMBERS);
        std::vector<PackageRef> disabled;
        ASSERT_TRUE(readRefList(o.reader, disabled));
        EXPECT_EQ(disabled.at(0).name, "second");
        o.reader.nextPart();
        for (const std::string& member : members) {
            Package p;
            ASSERT_TRUE(readPackageHeader(p, o.reader));
            size_t start = sha256 ? 14 : 8;
            EXPECT_EQ(signatureDigest(o.reader),
                      digest(member.substr(start, member.size() - 132 - start), sha256))
                << p.name;
            o.reader.nextPart();
        }
        EXPECT_EQ(o.reader.currentType(), PART_ARCHITECTURE);
        EXPECT_EQ(o.reader.nextPart(), -1);
    }
}

TEST(PackageReader, PutBackIsDigestedAndCopiedOnce) {
    std::string file = build(simpleSpec("putback"));
    std::stringbuf copy;
    Opened o(file, kInstallParts, true, &copy);
    ASSERT_EQ(o.reader.nextPart(), PART_PACKAGE_HEADER);
    EXPECT_FALSE(o.reader.unget());  // nothing of the part read yet
    o.reader.clear();
    char first = char(o.reader.get());
    ASSERT_TRUE(o.reader.putback(first));
    char again[2];
    ASSERT_TRUE(o.reader.read(again, 2));
    EXPECT_EQ(again[0], first);
    ASSERT_TRUE(o.reader.unget());
    ASSERT_TRUE(o.reader.unget());
    EXPECT_EQ(o.reader.tellg(), 0);
    std::string slot = signatureDigest(o.reader);
    EXPECT_EQ(slot, digest(file.substr(8, file.size() - 8 - 132), false));
    while (o.reader.nextPart() >= 0) {
    }
    EXPECT_EQ(copy.str(), file);
}

TEST(PackageReader, SeeksWithinThePart) {
    std::string file = packageFile(part(1, headerRecord("s", 1, 0)) + part(77, "0123456789"));
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
    std::string file = packageFile(part(1, headerRecord("b", 1, 0)) + part(77, big) + part(78, ""));
    for (bool hashing : {true, false}) {
        CountingBuf source(file);
        std::istream in(&source);
        PackageReader reader(in, hashing, nullptr);
        reader.wanted = {78};
        int before = source.bulkReads;
        ASSERT_EQ(reader.nextPart(), 78);
        // Three part headers and, with a digest, the skipped payloads in 16 KiB pieces.
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

}  // namespace
