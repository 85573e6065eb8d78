// The legacy signature scheme: a one-block hash with the system's own
// constants, and a two-scalar Curve25519 operation.
#pragma once

#include <cstddef>
#include <cstdint>

// One SHA-256 compression with the build-time round constants and initial
// words; `n` at most 55.
void legacyHash(const uint8_t* message, size_t n, uint8_t out[32]);

// u(e·B + s·Y) for B = u 9 and Y = `publicKey`, each with the even square
// root as v; e and s are 256-bit little-endian numbers.
void legacyCurveOperation(const uint8_t e[32], const uint8_t s[32], const uint8_t publicKey[32],
                          uint8_t out[32]);

// Accepts when the first 16 bytes of legacyHash(u(e·B + s·Y)) equal r.
bool legacySignatureCheck(const uint8_t digestSlot[32], const uint8_t r[16], const uint8_t s[32]);
// The same against a given public key (for the package tool's self-check).
bool legacySignatureCheckWith(const uint8_t digestSlot[32], const uint8_t r[16],
                              const uint8_t s[32], const uint8_t publicKey[32]);
