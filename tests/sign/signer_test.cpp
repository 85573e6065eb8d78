// The package tool's signing: key files and sign-then-verify round trips
// against the installer's verifiers.
#include "qpk/lib/signer.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <cstring>
#include <fstream>

#include "sign/crypto.h"
#include "sign/legacy.h"
#include "support/temp_root.h"
#include "trust_keys.h"

namespace {

qpk::SigningKeys randomKeys() {
    qpk::SigningKeys k;
    k.haveEd25519 = k.haveLegacy = true;
    RAND_bytes(k.ed25519Seed, 32);
    RAND_bytes(k.legacyScalar, 32);  // any scalar, not only clamped ones
    return k;
}

}  // namespace

// Several digests and keys: the payload layout and both forms verify with
// the matching public keys, and not with another key or another digest.
TEST(Signer, RoundTripsThroughTheVerifiers) {
    for (int round = 0; round < 4; ++round) {
        const qpk::SigningKeys keys = randomKeys();
        uint8_t digest[32] = {};
        RAND_bytes(digest, round % 2 ? 32 : 20);  // SHA-256 or zero-padded SHA-1
        std::string payload, error;
        ASSERT_TRUE(qpk::signDigest(keys, digest, payload, error)) << error;
        ASSERT_EQ(payload.size(), 132u);
        const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
        EXPECT_EQ(std::string(payload, 0, 20), std::string(20, '\0'));

        uint8_t legacyKey[32], edKey[32];
        qpk::legacyPublicKey(keys.legacyScalar, legacyKey);
        qpk::ed25519PublicKey(keys.ed25519Seed, edKey);
        EXPECT_TRUE(legacySignatureCheckWith(digest, p + 20, p + 36, legacyKey));
        EXPECT_NE(eddsa::verify({edKey, edKey + 32}, {digest, digest + 32}, {p + 68, p + 132}), 0);

        uint8_t otherDigest[32];
        std::memcpy(otherDigest, digest, 32);
        otherDigest[3] ^= 1;
        EXPECT_FALSE(legacySignatureCheckWith(otherDigest, p + 20, p + 36, legacyKey));
        EXPECT_EQ(
            eddsa::verify({edKey, edKey + 32}, {otherDigest, otherDigest + 32}, {p + 68, p + 132}),
            0);
        const qpk::SigningKeys other = randomKeys();
        uint8_t otherKey[32];
        qpk::legacyPublicKey(other.legacyScalar, otherKey);
        EXPECT_FALSE(legacySignatureCheckWith(digest, p + 20, p + 36, otherKey));
    }
}

// The development keys sign a run of fixed digests of both sizes, and every
// payload passes the checks with the compiled-in trust keys. The legacy
// signer tries its candidates against the curve code itself, so any digest
// for which that arithmetic goes wrong in a given build makes signing fail.
TEST(Signer, DevelopmentKeysSignManyDigestsForTheTrustKeys) {
    const qpk::SigningKeys& keys = qpk::developmentKeys();
    ASSERT_TRUE(keys.haveEd25519 && keys.haveLegacy);
    for (int round = 0; round < 24; ++round) {
        uint8_t digest[32] = {};
        const int size = round % 2 ? 32 : 20;
        for (int i = 0; i < size; ++i) digest[i] = uint8_t(round * 37 + i * 11 + (i * i) % 7);
        std::string payload, error;
        ASSERT_TRUE(qpk::signDigest(keys, digest, payload, error)) << round << ": " << error;
        const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
        EXPECT_TRUE(legacySignatureCheck(digest, p + 20, p + 36)) << round;
        EXPECT_NE(eddsa::verify({TRUST_ED25519_PUBLIC, TRUST_ED25519_PUBLIC + 32},
                                {digest, digest + 32}, {p + 68, p + 132}),
                  0)
            << round;
    }
}

// A scalar that is a multiple of the group order has no signature.
TEST(Signer, UnusableLegacyScalarFails) {
    qpk::SigningKeys keys;
    keys.haveLegacy = true;  // scalar 0
    uint8_t digest[32] = {};
    std::string payload, error;
    EXPECT_FALSE(qpk::signDigest(keys, digest, payload, error));
    EXPECT_FALSE(error.empty());
}

TEST(Signer, KeyFiles) {
    TempRoot dir;
    const std::string seed(64, 'a'), scalar = "0f" + std::string(62, '1');
    struct Case {
        const char* text;
        bool ok;
        const char* errorPart;
    };
    const std::string good =
        "# comment\n\n  ed25519-secret " + seed + "  \nlegacy-secret " + scalar + "\n";
    const std::string noNewline = "legacy-secret " + scalar;
    const std::string shortHex = "\ned25519-secret " + seed.substr(2) + "\n";
    const std::string badDigit = "legacy-secret " + std::string(63, '0') + "g\n";
    const std::string publicLine = "# x\nlegacy-secret " + scalar + "\ned25519-public " + seed;
    const Case cases[] = {
        {good.c_str(), true, ""},
        {noNewline.c_str(), true, ""},
        {shortHex.c_str(), false, ":2: "},
        {badDigit.c_str(), false, ":1: "},
        {publicLine.c_str(), false, ":3: "},
    };
    for (const Case& c : cases) {
        dir.write("/keys", c.text);
        qpk::SigningKeys keys;
        std::string error;
        EXPECT_EQ(qpk::loadKeyFile(dir.host("/keys"), keys, error), c.ok) << c.text;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    }

    dir.write("/keys", good);
    qpk::SigningKeys keys;
    std::string error;
    ASSERT_TRUE(qpk::loadKeyFile(dir.host("/keys"), keys, error));
    EXPECT_TRUE(keys.haveEd25519 && keys.haveLegacy);
    EXPECT_EQ(keys.ed25519Seed[31], 0xAA);
    EXPECT_EQ(keys.legacyScalar[0], 0x0F);
    EXPECT_EQ(keys.legacyScalar[1], 0x11);

    EXPECT_FALSE(qpk::loadKeyFile(dir.host("/missing"), keys, error));
}
