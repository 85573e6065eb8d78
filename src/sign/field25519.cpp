// GF(2^255 - 19) in ten signed limbs of 26 and 25 bits.
#include "sign/field25519.h"

#include <cstring>

namespace field25519 {

namespace {

constexpr int WIDTH[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr int OFFSET[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

// Rounds limb i to its width and moves the excess into limb `to`.
inline void carryInto(int64_t t[10], int i, int to, int64_t factor) {
    const int w = WIDTH[i];
    const int64_t c = (t[i] + (int64_t(1) << (w - 1))) >> w;
    t[to] += c * factor;
    t[i] -= c * (int64_t(1) << w);
}

// Brings 64-bit limb sums back to 26/25-bit signed limbs. Two interleaved
// chains keep the dependency short; the carry out of limb 9 weighs 2^255 and
// re-enters limb 0 times 19.
void reduce(Fe& h, int64_t t[10]) {
    carryInto(t, 0, 1, 1);
    carryInto(t, 4, 5, 1);
    carryInto(t, 1, 2, 1);
    carryInto(t, 5, 6, 1);
    carryInto(t, 2, 3, 1);
    carryInto(t, 6, 7, 1);
    carryInto(t, 3, 4, 1);
    carryInto(t, 7, 8, 1);
    carryInto(t, 4, 5, 1);
    carryInto(t, 8, 9, 1);
    carryInto(t, 9, 0, 19);
    carryInto(t, 0, 1, 1);
    for (int i = 0; i < 10; ++i) h.limb[i] = int32_t(t[i]);
}

void squareTimes(Fe& h, const Fe& f, int n) {
    square(h, f);
    for (int i = 1; i < n; ++i) square(h, h);
}

// z^(2^250 - 1) and z^11, the common start of the inversion and the square
// root exponents.
void pow2250(Fe& z2250, Fe& z11, const Fe& z) {
    Fe t0, t1, t2;
    square(t0, z);            // z^2
    squareTimes(t1, t0, 2);   // z^8
    mul(t1, t1, z);           // z^9
    mul(z11, t0, t1);         // z^11
    square(t0, z11);          // z^22
    mul(t0, t0, t1);          // z^(2^5 - 1)
    squareTimes(t1, t0, 5);   //
    mul(t0, t1, t0);          // z^(2^10 - 1)
    squareTimes(t1, t0, 10);  //
    mul(t1, t1, t0);          // z^(2^20 - 1)
    squareTimes(t2, t1, 20);  //
    mul(t1, t2, t1);          // z^(2^40 - 1)
    squareTimes(t1, t1, 10);  //
    mul(t0, t1, t0);          // z^(2^50 - 1)
    squareTimes(t1, t0, 50);  //
    mul(t1, t1, t0);          // z^(2^100 - 1)
    squareTimes(t2, t1, 100);
    mul(t1, t2, t1);          // z^(2^200 - 1)
    squareTimes(t1, t1, 50);  //
    mul(z2250, t1, t0);       // z^(2^250 - 1)
}

}  // namespace

void fromBytes(Fe& h, const uint8_t s[32]) {
    uint64_t w[4];
    for (int i = 0; i < 4; ++i) {
        w[i] = 0;
        for (int b = 7; b >= 0; --b) w[i] = (w[i] << 8) | s[8 * i + b];
    }
    int64_t t[10];
    for (int i = 0; i < 10; ++i) {
        const int word = OFFSET[i] / 64;
        const int shift = OFFSET[i] % 64;
        uint64_t bits = w[word] >> shift;
        if (shift + WIDTH[i] > 64) bits |= w[word + 1] << (64 - shift);
        t[i] = int64_t(bits & ((uint64_t(1) << WIDTH[i]) - 1));
    }
    t[0] += 19 * int64_t(s[31] >> 7);  // 2^255 = 19 (mod p)
    reduce(h, t);
}

void toBytes(uint8_t s[32], const Fe& f) {
    int64_t t[10];
    for (int i = 0; i < 10; ++i) t[i] = f.limb[i];
    Fe h;
    reduce(h, t);  // limbs now within about 2^25 / 2^24 of zero
    for (int i = 0; i < 10; ++i) t[i] = h.limb[i];

    // q = floor(h / p), 0 or 1 (or -1 for a slightly negative h): propagate
    // the carries that h + 19 would produce up to bit 255.
    int64_t q = (19 * t[9] + (int64_t(1) << 24)) >> 25;
    for (int i = 0; i < 10; ++i) q = (t[i] + q) >> WIDTH[i];

    // h - q p = h + 19 q - q 2^255: add 19 q, carry exactly (no rounding),
    // and drop what passes bit 255.
    t[0] += 19 * q;
    for (int i = 0; i < 9; ++i) {
        const int64_t c = t[i] >> WIDTH[i];
        t[i + 1] += c;
        t[i] -= c * (int64_t(1) << WIDTH[i]);
    }
    t[9] &= (int64_t(1) << 25) - 1;

    std::memset(s, 0, 32);
    for (int i = 0; i < 10; ++i) {
        const uint64_t bits = uint64_t(t[i]);
        const int offset = OFFSET[i];
        for (int b = 0; b < WIDTH[i]; b += 8) {
            // Up to 8 bits of the limb land in at most two bytes.
            const int at = offset + b;
            const uint64_t chunk = (bits >> b) & 0xFF & ((uint64_t(1) << (WIDTH[i] - b)) - 1);
            s[at / 8] |= uint8_t(chunk << (at % 8));
            if (at % 8 != 0 && at / 8 + 1 < 32) s[at / 8 + 1] |= uint8_t(chunk >> (8 - at % 8));
        }
    }
}

void fromInt(Fe& h, int32_t value) {
    int64_t t[10] = {value};
    reduce(h, t);
}

void add(Fe& h, const Fe& f, const Fe& g) {
    for (int i = 0; i < 10; ++i) h.limb[i] = f.limb[i] + g.limb[i];
}

void sub(Fe& h, const Fe& f, const Fe& g) {
    for (int i = 0; i < 10; ++i) h.limb[i] = f.limb[i] - g.limb[i];
}

void neg(Fe& h, const Fe& f) {
    for (int i = 0; i < 10; ++i) h.limb[i] = -f.limb[i];
}

// Schoolbook product: limb i times limb j weighs 2^(w_i + w_j), which is
// twice the weight of limb i + j when both are odd (25.5 rounds up twice);
// products at or above limb 10 wrap to the bottom times 19.
void mul(Fe& h, const Fe& f, const Fe& g) {
    int64_t g19[10];
    for (int j = 0; j < 10; ++j) g19[j] = 19 * int64_t(g.limb[j]);
    int64_t t[10] = {};
#pragma GCC unroll 10
    for (int i = 0; i < 10; ++i) {
        const int64_t fi = f.limb[i];
        const int64_t fiOdd = (i & 1) ? 2 * fi : fi;  // factor for odd j
#pragma GCC unroll 10
        for (int j = 0; j < 10; ++j) {
            const int64_t fj = (j & 1) ? fiOdd : fi;
            const int64_t gj = (i + j >= 10) ? g19[j] : int64_t(g.limb[j]);
            t[(i + j) % 10] += fj * gj;
        }
    }
    reduce(h, t);
}

// The product with itself, each cross term once and doubled.
void square(Fe& h, const Fe& f) {
    int64_t t[10] = {};
#pragma GCC unroll 10
    for (int i = 0; i < 10; ++i) {
        const int64_t fi = f.limb[i];
#pragma GCC unroll 10
        for (int j = i; j < 10; ++j) {
            int64_t factor = (i == j) ? 1 : 2;
            if ((i & 1) && (j & 1)) factor *= 2;
            if (i + j >= 10) factor *= 19;
            t[(i + j) % 10] += fi * factor * f.limb[j];
        }
    }
    reduce(h, t);
}

void mulSmall(Fe& h, const Fe& f, int32_t c) {
    int64_t t[10];
    for (int i = 0; i < 10; ++i) t[i] = int64_t(f.limb[i]) * c;
    reduce(h, t);
}

void invert(Fe& h, const Fe& z) {
    Fe z2250, z11;
    pow2250(z2250, z11, z);
    squareTimes(z2250, z2250, 5);  // z^(2^255 - 32)
    mul(h, z2250, z11);            // z^(2^255 - 21) = z^(p - 2)
}

void pow22523(Fe& h, const Fe& z) {
    Fe z2250, z11;
    pow2250(z2250, z11, z);
    squareTimes(z2250, z2250, 2);  // z^(2^252 - 4)
    mul(h, z2250, z);              // z^(2^252 - 3)
}

bool isZero(const Fe& f) {
    uint8_t s[32];
    toBytes(s, f);
    uint8_t any = 0;
    for (uint8_t b : s) any |= b;
    return any == 0;
}

bool isOdd(const Fe& f) {
    uint8_t s[32];
    toBytes(s, f);
    return (s[0] & 1) != 0;
}

bool equal(const Fe& f, const Fe& g) {
    Fe d;
    sub(d, f, g);
    return isZero(d);
}

// p = 5 (mod 8): a = x^((p + 3) / 8) squares to x or to -x; in the second
// case a times sqrt(-1) = 2^((p - 1) / 4) is the root.
bool squareRoot(Fe& root, const Fe& x) {
    Fe a, check;
    pow22523(a, x);
    mul(a, a, x);
    square(check, a);
    if (equal(check, x)) {
        root = a;
        return true;
    }
    Fe minusX;
    neg(minusX, x);
    if (!equal(check, minusX)) return false;
    static const Fe sqrtMinusOne = [] {
        Fe two, r;
        fromInt(two, 2);
        pow22523(r, two);  // 2^(2^252 - 3)
        square(r, r);
        mul(r, r, two);  // 2^(2^253 - 5)
        return r;
    }();
    mul(root, a, sqrtMinusOne);
    return true;
}

}  // namespace field25519
