// GF(2^255 - 19) against OpenSSL's BIGNUM, and the two-scalar curve
// operation u(e·B + s·Y) against RFC 7748 and known answers.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "sign/field25519.h"
#include "sign/legacy.h"

using namespace field25519;

namespace {

using Bytes = std::array<uint8_t, 32>;

// Integers on BIGNUM; every value lives as long as the reference.
struct Reference {
    BN_CTX* ctx = BN_CTX_new();
    std::vector<BIGNUM*> values;
    BIGNUM* p = number("7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED");
    ~Reference() {
        for (BIGNUM* n : values) BN_free(n);
        BN_CTX_free(ctx);
    }
    BIGNUM* number(const char* hex = "0") {
        values.push_back(nullptr);
        BN_hex2bn(&values.back(), hex);
        return values.back();
    }
    // Limb i weighs 2^ceil(25.5 i); limbs may be negative.
    BIGNUM* value(const Fe& f) {
        BIGNUM *sum = number(), *term = number();
        for (int i = 0; i < 10; ++i) {
            BN_set_word(term, static_cast<BN_ULONG>(std::abs(int64_t(f.limb[i]))));
            BN_lshift(term, term, (51 * i + 1) / 2);
            (f.limb[i] < 0 ? BN_sub : BN_add)(sum, sum, term);
        }
        return sum;
    }
    // a·b mod p, 32 bytes little-endian.
    Bytes product(const BIGNUM* a, const BIGNUM* b) {
        BIGNUM* r = number();
        BN_mod_mul(r, a, b, p, ctx);
        Bytes out;
        BN_bn2lebinpad(r, out.data(), 32);
        return out;
    }
};

Bytes encode(const Fe& f) {
    Bytes b;
    toBytes(b.data(), f);
    return b;
}

Bytes hexBytes(const std::string& hex) {  // bytes in the order written, zeros after
    Bytes b{};
    for (size_t i = 0; 2 * i < hex.size(); ++i)
        b[i] = uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return b;
}

Bytes operation(const Bytes& e, const Bytes& s, const Bytes& y) {
    Bytes out;
    legacyCurveOperation(e.data(), s.data(), y.data(), out.data());
    return out;
}

}  // namespace

// Values at and around p and bit 255 come out canonical. Operands at the
// limb bounds the curve code hands to a product (a sum of three reduced
// values, with each sign pattern that matters for the carries): an overflow
// of the 64-bit column sums or a wrong carry shows as a wrong value, and as a
// signed-overflow report under the sanitizer.
TEST(Field25519, ConversionsAndProductsAreExact) {
    Reference ref;
    for (const char* hex : {
             "0",
             "03FFFFFF",
             "04000000",
             "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEC",  // p - 1
             "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED",  // p
             "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE",  // p + 1
             "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",  // 2^255 - 1
             "8000000000000000000000000000000000000000000000000000000000000000",  // 2^255
             "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFDA",  // 2p
             "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
         }) {
        Bytes in;
        BN_bn2lebinpad(ref.number(hex), in.data(), 32);
        Fe f;
        fromBytes(f, in.data());
        EXPECT_EQ(encode(f), ref.product(ref.number(hex), ref.number("1"))) << hex;
    }
    std::vector<Fe> operands;
    for (int pattern = 0; pattern < 5; ++pattern) {
        Fe f;
        for (int i = 0; i < 10; ++i) {
            const bool negative = pattern == 1 || (pattern == 2 && (i & 1)) ||
                                  (pattern == 3 && i >= 5) || (pattern == 4 && i % 3 == 0);
            f.limb[i] = (negative ? -3 : 3) << ((i & 1) ? 24 : 25);
        }
        operands.push_back(f);
    }
    for (const Fe& f : operands) {
        BIGNUM* value = ref.value(f);
        Fe h;
        square(h, f);
        EXPECT_EQ(encode(h), ref.product(value, value));
        mulSmall(h, f, 121665);
        EXPECT_EQ(encode(h), ref.product(value, ref.number("1DB41")));
        invert(h, f);
        mul(h, h, f);
        EXPECT_EQ(encode(h), hexBytes("01"));
        for (const Fe& g : operands) {
            mul(h, f, g);
            EXPECT_EQ(encode(h), ref.product(value, ref.value(g)));
        }
    }
}

// RFC 7748 section 6.1 key generation and shared secret, and section 5.2's
// iterated vector after one iteration: X25519(k, u) is u(k·U), so with s = 0
// it is the operation's e·B, and with e = 0 its s·Y.
TEST(LegacyCurve, Rfc7748Vectors) {
    auto clamp = [](Bytes k) {
        k[0] &= 0xF8;
        k[31] = uint8_t((k[31] & 0x7F) | 0x40);
        return k;
    };
    const Bytes zero{}, nine{9};
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
    EXPECT_EQ(operation(alice, zero, nine), alicePublic);
    EXPECT_EQ(operation(bob, zero, alicePublic), bobPublic);  // Y plays no part
    EXPECT_EQ(operation(zero, alice, bobPublic), shared);
    EXPECT_EQ(operation(zero, bob, alicePublic), shared);
    EXPECT_EQ(operation(clamp(nine), zero, nine),
              hexBytes("422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"));
}

// Both scalars at work, which the vectors above never do: whole 256-bit
// scalars (unclamped), a key outside the prime-order subgroup, Y = B (u(B + Y)
// from a doubling) and L·B, the neutral element. The answers come from affine
// point arithmetic on plain integers.
TEST(LegacyCurve, TwoScalarKnownAnswers) {
    const char* key = "38b4e652e44da7f2370d9e260e27136550a4a3a6d07f5c0c332f8b1212841f69";
    const char* ones = "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
    struct Case {
        const char *e, *s, *y, *u;
    } cases[] = {
        {"2b902f8911e81818f8c99d5d5d9831957504d90e945de2e8f54ee781cc75f636",
         "d85099095aa300165a67036f9b540d6b8f0be21124179c3dd9f73817ce6e118d", key,
         "9d8f5805943e8442d1af07f7ccfe525fbf0fce02f4767f1f94819b8164f59253"},
        {ones, ones, key, "f59047240a7918268f65984bc5c640fb1bf69a99b44f0210d94d31578a04b674"},
        {"264aad6cb6dd210faf94acd3cf92c190237cb11f5d108cf25930263938b370a1",
         "b5769fa0f1483f95a90d9df2f130d60fcf04bd93f50ae69514da8c659ce2b10c", "09",
         "64812d4d84c4196fe5779bbadccc09d208eee3dccd22c2bba4f720e492ce7b3d"},
        {"edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010", "", "09", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(operation(hexBytes(c.e), hexBytes(c.s), hexBytes(c.y)), hexBytes(c.u)) << c.e;
}

TEST(LegacyCurve, KeysOnTheTwistAreRefused) {
    // u below 40 whose u³ + A·u² + u is not a square; u = 0 is on the curve,
    // but a difference of order 2 cannot drive a differential addition.
    const std::set<int> refused = {0, 2, 3, 5, 12, 14, 20, 21, 22, 24, 25, 26, 27, 28, 29, 31, 35};
    for (uint8_t u = 0; u < 40; ++u) {
        const Bytes key{u}, nine{9};
        const bool usable = !refused.count(u);
        EXPECT_EQ(legacyPublicKeyUsable(key.data()), usable) << int(u);
        if (usable) continue;
        const uint8_t digest[32] = {}, r[16] = {}, s[32] = {};
        EXPECT_FALSE(legacySignatureCheckWith(digest, r, s, key.data()));
        Bytes out;
        out.fill(1);
        EXPECT_FALSE(legacyCurveOperation(nine.data(), nine.data(), key.data(), out.data()));
        EXPECT_EQ(out, Bytes{});
    }
}
