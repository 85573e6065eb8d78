// The installer's signature check over whole package files: the two forms,
// the part lengths, the trust level and its version ranges.
#include "sign/signature.h"
#include "pkgfile/signature_part.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>

#include "pkgfile/package_reader.h"
#include "qpk/lib/builder.h"
#include "qpk/lib/signer.h"
#include "support/temp_root.h"
#include "trust_keys.h"

namespace {

// The development keys, split by form.
qpk::SigningKeys bothKeys() {
    return qpk::developmentKeys();
}
qpk::SigningKeys ed25519Only() {
    qpk::SigningKeys k = qpk::developmentKeys();
    k.haveLegacy = false;
    return k;
}
qpk::SigningKeys legacyOnly() {
    qpk::SigningKeys k = qpk::developmentKeys();
    k.haveEd25519 = false;
    return k;
}

bool developmentKeysTrusted() {
    const qpk::SigningKeys& k = qpk::developmentKeys();
    if (!k.haveEd25519 || !k.haveLegacy) return false;
    uint8_t ed[32], legacy[32];
    qpk::ed25519PublicKey(k.ed25519Seed, ed);
    qpk::legacyPublicKey(k.legacyScalar, legacy);
    return std::memcmp(ed, TRUST_ED25519_PUBLIC, 32) == 0 &&
           std::memcmp(legacy, TRUST_LEGACY_PUBLIC, 32) == 0;
}

qpk::PackageRecipe demoRecipe() {
    qpk::PackageRecipe recipe;
    recipe.name = "demo";
    recipe.version = makeVersion(7, 1, VERSION_KIND_BETA, 3);
    recipe.architecture = "powerpc";
    recipe.files = {{"bin/tool", 0100755, std::string(5000, 'x'), 0},
                    {"etc/conf", 0100644, "a=1\n", 0}};
    return recipe;
}

// The digest the reader holds when it reaches the signature part.
void readerDigest(const std::string& file, uint8_t digest[32]) {
    std::istringstream in(file);
    PackageReader reader(in, true, nullptr);
    reader.wanted = {PART_SIGNATURE};
    ASSERT_EQ(reader.nextPart(), PART_SIGNATURE);
    reader.parts().finishDigest();
    std::memcpy(digest, reader.parts().digestSlot(), 32);
}

// A package whose signature part has exactly `length` bytes: the signature
// made for that length's digest (the length field is digested), cut or
// zero-padded, then edited.
std::string packageWithSignature(const qpk::SigningKeys& keys, size_t length,
                                 const std::function<void(std::string&)>& edit = {},
                                 qpk::PackageRecipe recipe = demoRecipe()) {
    recipe.signatureOverride = std::string(length, '\0');
    uint8_t digest[32];
    readerDigest(qpk::buildPackage(recipe, {}), digest);
    std::string payload, error;
    EXPECT_TRUE(qpk::signDigest(keys, digest, payload, error)) << error;
    payload.resize(length, '\0');
    if (edit) edit(payload);
    recipe.signatureOverride = payload;
    return qpk::buildPackage(recipe, {});
}

// Every signature part of the file, checked in order at `level`.
std::vector<bool> verifyAll(const std::string& file, int level, bool hashing = true) {
    std::istringstream in(file);
    PackageReader reader(in, hashing, nullptr);
    reader.wanted = {PART_PACKAGE_HEADER, PART_SIGNATURE};
    std::vector<bool> results;
    Package package("demo");
    for (int type = reader.nextPart(); type != -1; type = reader.nextPart()) {
        if (type == PART_SIGNATURE) results.push_back(checkSignature(package, reader, level));
    }
    return results;
}

bool verify(const std::string& file, int level) {
    const std::vector<bool> results = verifyAll(file, level);
    EXPECT_EQ(results.size(), 1u);
    return results.size() == 1 && results[0];
}

auto flipByte(size_t at) {
    return [at](std::string& payload) { payload[at] = char(payload[at] ^ 0x01); };
}

class SignatureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!developmentKeysTrusted())
            GTEST_SKIP() << "the installer was built with other trust keys";
    }
};

}  // namespace

TEST_F(SignatureTest, FormsLengthsAndTrustLevels) {
    struct Case {
        const char* what;
        qpk::SigningKeys keys;
        size_t length;
        std::function<void(std::string&)> edit;
        bool atLevel1, atLevel2;
    };
    const Case cases[] = {
        {"long form, both keys", bothKeys(), 132, {}, true, true},
        {"long form, Ed25519 alone", ed25519Only(), 132, {}, true, true},
        {"legacy form", legacyOnly(), 68, {}, true, false},
        {"bad Ed25519, good legacy", bothKeys(), 132, flipByte(100), true, false},
        {"bad Ed25519, no legacy", ed25519Only(), 132, flipByte(100), false, false},
        {"131 bytes take the legacy form", bothKeys(), 131, {}, true, false},
        {"100 bytes: legacy form, rest ignored", legacyOnly(), 100, {}, true, false},
        {"140 bytes: long form, rest ignored", bothKeys(), 140, {}, true, true},
        {"67 bytes reject", legacyOnly(), 67, {}, false, false},
        {"68 bytes of a long signature", bothKeys(), 68, {}, true, false},
        {"bytes 0..19 are free", legacyOnly(), 68,
         [](std::string& p) { std::memset(p.data(), 0xAA, 20); }, true, false},
        {"bad r", legacyOnly(), 68, flipByte(25), false, false},
        {"bad s", legacyOnly(), 68, flipByte(40), false, false},
        {"unsigned", qpk::SigningKeys(), 132, {}, false, false},
    };
    for (const Case& c : cases) {
        const std::string file = packageWithSignature(c.keys, c.length, c.edit);
        EXPECT_EQ(verify(file, 1), c.atLevel1) << c.what << " at level 1";
        EXPECT_EQ(verify(file, 2), c.atLevel2) << c.what << " at level 2";
    }
}

// The digest covers every part from the header to the signature part's
// header, skipped parts included.
TEST_F(SignatureTest, ChangedContentRejects) {
    const std::string good = qpk::buildPackage(demoRecipe(), bothKeys());
    ASSERT_TRUE(verify(good, 2));
    const size_t signatureHeader = good.size() - 132 - 6;
    for (size_t at : {size_t(8), size_t(20), good.size() / 2, signatureHeader + 3}) {
        std::string bad = good;
        bad[at] = char(bad[at] ^ 0x40);
        const std::vector<bool> results = verifyAll(bad, 1);
        EXPECT_TRUE(results.empty() || !results[0]) << "byte " << at;
    }
}

TEST_F(SignatureTest, Sha256DigestAndBundleMembers) {
    qpk::PackageRecipe second = demoRecipe();
    second.name = "other";
    second.sha256 = true;
    const std::string first = qpk::buildPackage(demoRecipe(), legacyOnly());
    const std::string sha = qpk::buildPackage(second, ed25519Only());
    EXPECT_TRUE(verify(sha, 2));

    qpk::BundleRecipe bundle;
    bundle.name = "bundle";
    bundle.version = makeVersion(7, 1, VERSION_KIND_BETA, 3);
    const std::string file = qpk::buildBundle(bundle, {first, sha});
    EXPECT_EQ(verifyAll(file, 1), (std::vector<bool>{true, true}));
    EXPECT_EQ(verifyAll(file, 2), (std::vector<bool>{false, true}));
}

TEST_F(SignatureTest, ReaderWithoutDigestRejects) {
    const std::string file = qpk::buildPackage(demoRecipe(), bothKeys());
    EXPECT_EQ(verifyAll(file, 1, false), std::vector<bool>{false});
}

TEST(TrustLevel, VersionRangesBrandingAndSecureMarker) {
    TempRoot root;
    struct Case {
        const char* name;
        Version version;
        int level;
    };
    const Case cases[] = {
        {"demo", 0, 1},
        {"demo", makeVersion(6, 46, VERSION_KIND_FINAL, 8), 1},
        {"demo", makeVersion(6, 46, VERSION_KIND_FINAL, 9), 2},
        {"demo", makeVersion(6, 47, 0, 0), 1},
        {"demo", makeVersion(6, 47, VERSION_KIND_BETA, 2), 1},
        {"demo", makeVersion(6, 48, VERSION_KIND_FINAL, 0), 1},
        {"demo", makeVersion(6, 48, VERSION_KIND_FINAL, 1), 2},
        {"demo", makeVersion(6, 49, VERSION_KIND_FINAL, 0), 2},
        {"demo", makeVersion(7, 0, 0, 0), 1},
        {"demo", makeVersion(7, 1, VERSION_KIND_BETA, 3), 1},
        {"demo", makeVersion(7, 1, VERSION_KIND_BETA, 4), 2},
        {"demo", makeVersion(7, 1, VERSION_KIND_FINAL, 0), 2},
        {"branding", makeVersion(7, 5, VERSION_KIND_FINAL, 0), 1},
        {"Branding", makeVersion(7, 5, VERSION_KIND_FINAL, 0), 2},
    };
    for (const Case& c : cases) {
        Package p(c.name);
        p.version = c.version;
        EXPECT_EQ(trustLevel(p), c.level) << c.name << " " << versionText(c.version);
    }

    // The marker as a file, and as a link that leads nowhere.
    root.symlink("/nowhere", "/ram/SECURE");
    for (int form = 0; form < 2; ++form) {
        for (const Case& c : cases) {
            Package p(c.name);
            p.version = c.version;
            EXPECT_EQ(trustLevel(p), 2)
                << c.name << " " << versionText(c.version) << " form " << form;
        }
        std::remove(root.host("/ram/SECURE").c_str());
        root.write("/ram/SECURE", "");
    }
}
