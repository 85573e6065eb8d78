// The two-scalar curve operation u(e·B + s·Y): RFC 7748 vectors and affine
// point arithmetic on BIGNUM as the reference.
#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <array>
#include <string>

#include "bignum.h"
#include "sign/legacy.h"

namespace {

using Bytes = std::array<uint8_t, 32>;

Bytes hexBytes(const std::string& hex) {  // bytes in the order written
    Bytes b{};
    for (size_t i = 0; i < 32; ++i) b[i] = uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return b;
}

Bytes clamp(Bytes k) {
    k[0] &= 0xF8;
    k[31] = uint8_t((k[31] & 0x7F) | 0x40);
    return k;
}

Bytes operation(const Bytes& e, const Bytes& s, const Bytes& y) {
    Bytes out;
    legacyCurveOperation(e.data(), s.data(), y.data(), out.data());
    return out;
}

const Bytes ZERO{};
const Bytes NINE{9};

Bytes randomPointOnCurve(const ReferenceCurve& curve, ReferenceCurve::Point& point) {
    for (;;) {
        Bytes u;
        RAND_bytes(u.data(), 32);
        u[31] &= 0x7F;
        if (curve.lift(u.data(), point)) return u;
    }
}

}  // namespace

// RFC 7748 section 6.1 key generation and shared secret, and section 5.2's
// iterated vector after one iteration: X25519(k, u) is u(k·U), so with s = 0
// it is the operation's e·B, and with e = 0 its s·Y.
TEST(LegacyCurve, Rfc7748Vectors) {
    const Bytes alice =
        clamp(hexBytes("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
    const Bytes bob =
        clamp(hexBytes("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
    const Bytes alicePublic =
        hexBytes("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    const Bytes bobPublic =
        hexBytes("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const Bytes shared =
        hexBytes("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");

    EXPECT_EQ(operation(alice, ZERO, NINE), alicePublic);
    EXPECT_EQ(operation(bob, ZERO, alicePublic), bobPublic);  // Y plays no part
    EXPECT_EQ(operation(ZERO, alice, bobPublic), shared);
    EXPECT_EQ(operation(ZERO, bob, alicePublic), shared);
    EXPECT_EQ(operation(clamp(NINE), ZERO, NINE),
              hexBytes("422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"));
}

// e·B + s·Y for random e, s (whole 256-bit numbers, unclamped) and random
// points Y of the curve (also outside the prime-order subgroup), edge
// scalars, and Y = B.
TEST(LegacyCurve, MatchesAffineArithmetic) {
    const ReferenceCurve curve;
    ReferenceCurve::Point base;
    ASSERT_TRUE(curve.lift(NINE.data(), base));

    Bytes ones;
    ones.fill(0xFF);
    // L, the order of B: L·B is the neutral element.
    const Bytes order =
        hexBytes("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");

    struct Case {
        Bytes e, s;
    };
    std::vector<Case> cases = {
        {ZERO, ZERO}, {ones, ones}, {order, ZERO}, {ZERO, NINE}, {NINE, NINE}};
    for (int i = 0; i < 6; ++i) {
        Case c;
        RAND_bytes(c.e.data(), 32);
        RAND_bytes(c.s.data(), 32);
        cases.push_back(c);
    }

    for (size_t n = 0; n < cases.size(); ++n) {
        const Case& c = cases[n];
        // The last case takes Y = B, where u(B + Y) comes from a doubling.
        ReferenceCurve::Point y = base;
        const Bytes yBytes = n + 1 < cases.size() ? randomPointOnCurve(curve, y) : NINE;
        const auto expected =
            curve.add(curve.multiply(c.e.data(), base), curve.multiply(c.s.data(), y));
        Bytes want;
        curve.encodeU(expected, want.data());
        EXPECT_EQ(operation(c.e, c.s, yBytes), want);
    }
}

TEST(LegacyCurve, KeysOnTheTwistAreRefused) {
    const ReferenceCurve curve;
    int refused = 0;
    // u = 0 is on the curve, but a difference of order 2 cannot drive a
    // differential addition: that key is refused too.
    EXPECT_FALSE(legacyPublicKeyUsable(ZERO.data()));
    for (uint8_t u = 2; u < 40; ++u) {
        Bytes key{u};
        ReferenceCurve::Point p;
        const bool onCurve = curve.lift(key.data(), p);
        EXPECT_EQ(legacyPublicKeyUsable(key.data()), onCurve) << int(u);
        if (!onCurve) {
            ++refused;
            const uint8_t digest[32] = {}, r[16] = {}, s[32] = {};
            EXPECT_FALSE(legacySignatureCheckWith(digest, r, s, key.data()));
            Bytes out;
            out.fill(1);
            EXPECT_FALSE(legacyCurveOperation(NINE.data(), NINE.data(), key.data(), out.data()));
            EXPECT_EQ(out, ZERO);
        }
    }
    EXPECT_GT(refused, 0);
}
