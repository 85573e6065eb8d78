// The legacy curve operation u(e·B + s·Y) on the Montgomery curve
// v² = u³ + 486662·u² + u over GF(2^255 - 19), with u-coordinates only.
//
// The two-scalar ladder keeps, for the scalar prefixes (a, b) read so far,
// the four points Q[c + 2d] = (a + c)·B + (b + d)·Y, c, d in {0, 1}, in
// projective (X : Z) form. Reading the next bits (i, j) makes the prefixes
// (2a + i, 2b + j); every new point (2a + i + c)·B + (2b + j + d)·Y is either
// a doubling of an old one (both offsets even) or the sum of two old ones
// whose difference is B, Y or B + Y. Each step is therefore one doubling and
// three differential additions whatever the bits are; only the array slots
// depend on them.
#include "sign/field25519.h"
#include "sign/legacy.h"

#include <utility>

using namespace field25519;

namespace {

constexpr int32_t CURVE_A = 486662;
constexpr int32_t CURVE_A24 = 121665;  // (A - 2) / 4

struct Projective {
    Fe x;
    Fe z;
};

// u³ + A·u² + u = u·(u·(u + A) + 1)
void curveRightSide(Fe& out, const Fe& u) {
    Fe a, one, t;
    fromInt(a, CURVE_A);
    fromInt(one, 1);
    add(t, u, a);
    mul(t, t, u);
    add(t, t, one);
    mul(out, t, u);
}

// The v belonging to u whose canonical value is even; false when u lies on
// the twist.
bool evenV(Fe& v, const Fe& u) {
    Fe rhs;
    curveRightSide(rhs, u);
    if (!squareRoot(v, rhs)) return false;
    if (isOdd(v)) neg(v, v);
    return true;
}

void doubling(Projective& out, const Projective& p) {
    Fe sum, difference, sumSquared, differenceSquared, e, t;
    add(sum, p.x, p.z);
    sub(difference, p.x, p.z);
    square(sumSquared, sum);
    square(differenceSquared, difference);
    mul(out.x, sumSquared, differenceSquared);
    sub(e, sumSquared, differenceSquared);  // 4·X·Z
    mulSmall(t, e, CURVE_A24);
    add(t, t, sumSquared);
    mul(out.z, e, t);
}

// p + q from u(p - q) = diff.x / diff.z.
void differentialAdd(Projective& out, const Projective& p, const Projective& q,
                     const Projective& diff) {
    Fe a, b, da, cb, t;
    sub(a, p.x, p.z);
    add(b, q.x, q.z);
    mul(da, a, b);
    add(a, p.x, p.z);
    sub(b, q.x, q.z);
    mul(cb, a, b);
    add(t, da, cb);
    square(t, t);
    Fe x;
    mul(x, diff.z, t);
    sub(t, da, cb);
    square(t, t);
    mul(out.z, diff.x, t);
    out.x = x;
}

// u(P1 + P2) from affine points with u1 != u2, projectively:
// λ = (v2 - v1) / (u2 - u1), u = λ² - A - u1 - u2.
void chordSum(Projective& out, const Fe& u1, const Fe& v1, const Fe& u2, const Fe& v2) {
    Fe du, dv, du2, a, t;
    sub(du, u2, u1);
    sub(dv, v2, v1);
    square(du2, du);
    fromInt(a, CURVE_A);
    add(t, u1, u2);
    add(t, t, a);
    mul(t, t, du2);
    square(dv, dv);
    sub(out.x, dv, t);
    out.z = du2;
}

// B, Y and u(B + Y) as the ladder's differences; false for a key the
// operation is not defined for.
bool prepare(const uint8_t publicKey[32], Projective& base, Projective& key,
             Projective& baseKeySum) {
    // B's v is a constant of the curve: found once.
    static const Fe baseV = [] {
        Fe u, v;
        fromInt(u, 9);
        evenV(v, u);
        return v;
    }();
    fromInt(base.x, 9);
    fromInt(base.z, 1);
    fromBytes(key.x, publicKey);
    fromInt(key.z, 1);

    Fe keyV;
    if (!evenV(keyV, key.x)) return false;  // Y on the twist
    if (equal(base.x, key.x)) {
        doubling(baseKeySum, base);  // Y = B (both take the even v)
    } else {
        chordSum(baseKeySum, base.x, baseV, key.x, keyV);
    }
    // A difference with u = 0, the point of order 2, would make every
    // differential addition with it yield Z = 0: that key is refused rather
    // than given a wrong result. (u(B + Y) = 0 would need Y = (0, 0) - B,
    // whose v is odd, so the even-v key with that u is (0, 0) + B.)
    return !isZero(key.x);
}

}  // namespace

bool legacyCurveOperation(const uint8_t e[32], const uint8_t s[32], const uint8_t publicKey[32],
                          uint8_t out[32]) {
    Projective base, key, baseKeySum;
    if (!prepare(publicKey, base, key, baseKeySum)) {
        for (int i = 0; i < 32; ++i) out[i] = 0;
        return false;
    }

    Projective stateA[4], stateB[4];
    Projective* q = stateA;
    Projective* next = stateB;
    fromInt(q[0].x, 1);  // the neutral element (1 : 0)
    fromInt(q[0].z, 0);
    q[1] = base;
    q[2] = key;
    q[3] = baseKeySum;

    for (int byte = 31; byte >= 0; --byte) {
        for (int bit = 7; bit >= 0; --bit) {
            const int i = (e[byte] >> bit) & 1;
            const int j = (s[byte] >> bit) & 1;
            doubling(next[i + 2 * j], q[i + 2 * j]);
            differentialAdd(next[(1 - i) + 2 * j], q[1 + 2 * j], q[2 * j], base);
            differentialAdd(next[i + 2 * (1 - j)], q[i + 2], q[i], key);
            differentialAdd(next[(1 - i) + 2 * (1 - j)], q[3], q[0], baseKeySum);
            std::swap(q, next);
        }
    }

    // The neutral element has Z = 0, whose "inverse" 0 gives u = 0.
    Fe zInverse, u;
    invert(zInverse, q[0].z);
    mul(u, q[0].x, zInverse);
    toBytes(out, u);
    return true;
}

bool legacyPublicKeyUsable(const uint8_t publicKey[32]) {
    Projective base, key, baseKeySum;
    return prepare(publicKey, base, key, baseKeySum);
}
