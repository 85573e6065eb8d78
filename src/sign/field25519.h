// Arithmetic in GF(2^255 - 19) for the legacy curve operation.
//
// An element is held in ten signed 32-bit limbs of alternately 26 and 25 bits
// (limb i weighs 2^ceil(25.5 i)), so that products of limbs fit in 64 bits
// and the reduction of 2^255 is a multiplication by 19. Additions and
// subtractions work limb by limb without carries; multiplication, squaring
// and the small-constant product carry their result back into range. Limbs
// stay small enough for a product when each operand is the result of a
// product, a conversion, or a sum or difference of two such values.
#pragma once

#include <cstdint>

namespace field25519 {

struct Fe {
    int32_t limb[10];
};

// The 256-bit little-endian number reduced modulo p (bit 255 counts as 2^255).
void fromBytes(Fe& h, const uint8_t s[32]);
// The canonical value (0 .. p - 1), 32 bytes little-endian.
void toBytes(uint8_t s[32], const Fe& h);
void fromInt(Fe& h, int32_t value);

void add(Fe& h, const Fe& f, const Fe& g);
void sub(Fe& h, const Fe& f, const Fe& g);
void neg(Fe& h, const Fe& f);
void mul(Fe& h, const Fe& f, const Fe& g);
void square(Fe& h, const Fe& f);
// f times a constant below 2^24.
void mulSmall(Fe& h, const Fe& f, int32_t c);

// z^(p - 2), the inverse of z (0 for 0).
void invert(Fe& h, const Fe& z);
// z^((p - 5) / 8) = z^(2^252 - 3), the core of the square root.
void pow22523(Fe& h, const Fe& z);

bool isZero(const Fe& f);
bool isOdd(const Fe& f);  // of the canonical value
bool equal(const Fe& f, const Fe& g);

// A square root of x; false when x is not a square. Which of the two roots
// comes out is not specified.
bool squareRoot(Fe& root, const Fe& x);

}  // namespace field25519
