// The legacy hash: one SHA-256 compression of a padded single block, with
// the round constants and initial words compiled in from the trust key file.
#include <cstring>

#include "sign/legacy.h"
#include "trust_keys.h"

namespace {

inline uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t loadBigEndian(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void storeBigEndian(uint8_t* p, uint32_t x) {
    p[0] = uint8_t(x >> 24);
    p[1] = uint8_t(x >> 16);
    p[2] = uint8_t(x >> 8);
    p[3] = uint8_t(x);
}

}  // namespace

void legacyHashWithConstants(const uint32_t iv[8], const uint32_t k[64], const uint8_t* message,
                             size_t n, uint8_t out[32]) {
    if (n > 55) n = 55;  // the block must keep room for the padding and length
    uint8_t block[64] = {};
    if (n > 0) std::memcpy(block, message, n);
    block[n] = 0x80;
    storeBigEndian(block + 60, uint32_t(n * 8));

    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = loadBigEndian(block + 4 * t);
    for (int t = 16; t < 64; ++t) {
        const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }

    uint32_t a = iv[0], b = iv[1], c = iv[2], d = iv[3];
    uint32_t e = iv[4], f = iv[5], g = iv[6], h = iv[7];
    for (int t = 0; t < 64; ++t) {
        const uint32_t t1 =
            h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[t] + w[t];
        const uint32_t t2 =
            (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    const uint32_t state[8] = {iv[0] + a, iv[1] + b, iv[2] + c, iv[3] + d,
                               iv[4] + e, iv[5] + f, iv[6] + g, iv[7] + h};
    for (int i = 0; i < 8; ++i) storeBigEndian(out + 4 * i, state[i]);
}

void legacyHash(const uint8_t* message, size_t n, uint8_t out[32]) {
    legacyHashWithConstants(TRUST_LEGACY_HASH_IV, TRUST_LEGACY_HASH_K, message, n, out);
}
