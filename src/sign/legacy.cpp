// The legacy signature check: a KCDSA-style verification on Curve25519.
#include <cstring>

#include "sign/legacy.h"
#include "sign/trust_key_set.h"
#include "trust_keys.h"

namespace {

bool check(const uint8_t digestSlot[32], const uint8_t r[16], const uint8_t s[32],
           const uint8_t publicKey[32], const uint32_t iv[8], const uint32_t k[64]) {
    // e = clamp(legacyHash(first 20 digest bytes) with r folded into 8..23)
    uint8_t e[32];
    legacyHashWithConstants(iv, k, digestSlot, 20, e);
    for (int i = 0; i < 16; ++i) e[8 + i] ^= r[i];
    e[0] &= 0xF8;
    e[31] = uint8_t((e[31] & 0x7F) | 0x40);

    uint8_t w[32];
    if (!legacyCurveOperation(e, s, publicKey, w)) return false;
    uint8_t c[32];
    legacyHashWithConstants(iv, k, w, sizeof w, c);
    return std::memcmp(c, r, 16) == 0;
}

}  // namespace

bool legacySignatureCheckWith(const uint8_t digestSlot[32], const uint8_t r[16],
                              const uint8_t s[32], const uint8_t publicKey[32]) {
    return check(digestSlot, r, s, publicKey, TRUST_LEGACY_HASH_IV, TRUST_LEGACY_HASH_K);
}

bool legacySignatureCheck(const uint8_t digestSlot[32], const uint8_t r[16], const uint8_t s[32],
                          const TrustKeySet& keys) {
    return check(digestSlot, r, s, keys.legacyPublic, keys.legacyHashIv, keys.legacyHashK);
}

bool legacySignatureCheck(const uint8_t digestSlot[32], const uint8_t r[16], const uint8_t s[32]) {
    return legacySignatureCheckWith(digestSlot, r, s, TRUST_LEGACY_PUBLIC);
}
