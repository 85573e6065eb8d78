// The package tool's legacy signer (which checks each signature it makes):
// its nonce is derived from the key and the digest, so a signature can be
// made again byte for byte, and a nonce shared by two digests (which would
// give the private key away) shows as a shared r.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "qpk/lib/signer.h"
#include "sign/signature_layout.h"

namespace {

using namespace signature_layout;

std::string legacyOnly(const uint8_t digest[32]) {
    qpk::SigningKeys keys = qpk::developmentKeys();
    keys.haveEd25519 = false;
    std::string payload, error;
    EXPECT_TRUE(qpk::signDigest(keys, digest, payload, error)) << error;
    return payload;
}

}  // namespace

TEST(LegacySigner, SameDigestSameSignatureOtherDigestOtherNonce) {
    ASSERT_TRUE(qpk::developmentKeys().haveLegacy);
    // A SHA-1 slot (zero tail), a SHA-256 slot, and slots that differ in one
    // bit of the part the challenge reads or only in the tail it does not.
    uint8_t slots[5][32] = {};
    for (int i = 0; i < 20; ++i) slots[0][i] = uint8_t(i * 7 + 1);
    for (int i = 0; i < 32; ++i) slots[1][i] = uint8_t(255 - i * 5);
    std::copy(slots[0], slots[0] + 32, slots[2]);
    slots[2][19] ^= 0x80;
    std::copy(slots[1], slots[1] + 32, slots[3]);
    slots[3][31] ^= 0x01;
    // slots[4]: all zeros.

    std::set<std::string> rs;
    for (const auto& slot : slots) {
        const std::string first = legacyOnly(slot);
        ASSERT_EQ(LEGACY_FORM, first.size());
        EXPECT_EQ(first, legacyOnly(slot));
        rs.insert(first.substr(LEGACY_R, 16));
    }
    EXPECT_EQ(std::size(slots), rs.size());
}
