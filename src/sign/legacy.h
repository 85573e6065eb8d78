// The legacy signature scheme: a one-block hash with the system's own
// constants, and a two-scalar Curve25519 operation.
#pragma once

#include <cstddef>
#include <cstdint>

struct TrustKeySet;

// One SHA-256 compression with the build-time round constants and initial
// words; `n` at most 55 (longer input is cut to 55 bytes).
void legacyHash(const uint8_t* message, size_t n, uint8_t out[32]);
// The same compression with the given constants (with SHA-256's own it is
// SHA-256 of a short message).
void legacyHashWithConstants(const uint32_t iv[8], const uint32_t k[64], const uint8_t* message,
                             size_t n, uint8_t out[32]);

// u(e·B + s·Y) for B = u 9 and Y = `publicKey`, each with the even square
// root as v; e and s are 256-bit little-endian numbers. False (and 32 zero
// bytes) for a key that is not usable, see below.
bool legacyCurveOperation(const uint8_t e[32], const uint8_t s[32], const uint8_t publicKey[32],
                          uint8_t out[32]);
// True when `publicKey` is the u-coordinate of a point on the curve (not on
// its twist) other than the point of order 2 (u = 0): the keys the curve
// operation is defined for.
bool legacyPublicKeyUsable(const uint8_t publicKey[32]);

// Accepts when the first 16 bytes of legacyHash(u(e·B + s·Y)) equal r.
bool legacySignatureCheck(const uint8_t digestSlot[32], const uint8_t r[16], const uint8_t s[32]);
// The same against a key set, its legacy hash constants included.
bool legacySignatureCheck(const uint8_t digestSlot[32], const uint8_t r[16], const uint8_t s[32],
                          const TrustKeySet& keys);
// The same against a given public key (for the package tool's self-check);
// a key that is not usable rejects.
bool legacySignatureCheckWith(const uint8_t digestSlot[32], const uint8_t r[16],
                              const uint8_t s[32], const uint8_t publicKey[32]);
