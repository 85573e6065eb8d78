// The limb arithmetic of GF(2^255 - 19) against OpenSSL's BIGNUM.
#include "sign/field25519.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "bignum.h"

using namespace field25519;

namespace {

using Bytes = std::array<uint8_t, 32>;

Bytes encode(const Fe& f) {
    Bytes b;
    toBytes(b.data(), f);
    return b;
}

Bytes encode(const BigNum& n) {
    Bytes b;
    n.toLittleEndian(b.data());
    return b;
}

Fe decode(const Bytes& b) {
    Fe f;
    fromBytes(f, b.data());
    return f;
}

BigNum big(const Bytes& b) {
    return BigNum::fromLittleEndian(b.data(), 32);
}

Bytes fromHex(const char* hex) {  // big-endian text
    Bytes b;
    BigNum::fromHex(hex).toLittleEndian(b.data());
    return b;
}

}  // namespace

// Values at and around the modulus and the top bit: the canonical output and
// the treatment of bit 255.
TEST(Field25519, ConversionReducesToCanonicalValue) {
    const PrimeField field;
    const char* edges[] = {
        "0",
        "1",
        "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEC",  // p - 1
        "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED",  // p
        "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE",  // p + 1
        "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",  // 2^255 - 1
        "8000000000000000000000000000000000000000000000000000000000000000",  // 2^255
        "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",  // 2^256 - 1
        "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFDA",  // 2p + 2^255 - 19 -
                                                                             // ...
        "03FFFFFF",
        "0000000000000000000000000000000000000000000000000000000004000000",
    };
    for (const char* hex : edges) {
        const Bytes in = fromHex(hex);
        EXPECT_EQ(encode(decode(in)), encode(field.reduce(big(in)))) << hex;
    }
}

namespace {

// The value of a limb vector: limb i weighs 2^ceil(25.5 i).
BigNum valueOf(const PrimeField& field, const Fe& f) {
    BigNum sum(0);
    for (int i = 0; i < 10; ++i) {
        const int64_t limb = f.limb[i];
        BigNum term(static_cast<unsigned long>(limb < 0 ? -limb : limb));
        BN_lshift(term.get(), term.get(), (51 * i + 1) / 2);
        sum = limb < 0 ? field.sub(sum, term) : field.add(sum, term);
    }
    return sum;
}

// Limb vectors at the edge of what the curve code hands to a product: a sum
// of three reduced values (2^25 and 2^24 per limb each), with every sign
// pattern that matters for the carries.
std::vector<Fe> edgeOperands() {
    const int32_t even = 3 << 25, odd = 3 << 24;
    std::vector<Fe> out;
    for (int pattern = 0; pattern < 5; ++pattern) {
        Fe f;
        for (int i = 0; i < 10; ++i) {
            const int32_t m = (i & 1) ? odd : even;
            const bool negative = pattern == 1 || (pattern == 2 && (i & 1)) ||
                                  (pattern == 3 && i >= 5) || (pattern == 4 && i % 3 == 0);
            f.limb[i] = negative ? -m : m;
        }
        out.push_back(f);
    }
    return out;
}

}  // namespace

// Products, squares and the small-constant product of operands at the limb
// bounds must be exact: an overflow of the 64-bit column sums or a carry
// that goes wrong there shows as a wrong value (and as a signed-overflow
// report under the sanitizer), whatever the compiler makes of it.
TEST(Field25519, ProductsAtTheLimbBoundsMatchBigNum) {
    const PrimeField field;
    const std::vector<Fe> operands = edgeOperands();
    for (size_t a = 0; a < operands.size(); ++a) {
        const Fe& f = operands[a];
        const BigNum F = valueOf(field, f);
        Fe h, hm;
        square(h, f);
        mul(hm, f, f);
        EXPECT_EQ(encode(h), encode(field.mul(F, F))) << "square " << a;
        EXPECT_EQ(encode(hm), encode(h)) << "square against product " << a;
        mulSmall(h, f, 121665);
        EXPECT_EQ(encode(h), encode(field.mul(F, BigNum(121665)))) << "small " << a;
        invert(h, f);
        EXPECT_EQ(encode(h), encode(field.inverse(F))) << "inverse " << a;
        for (size_t b = 0; b < operands.size(); ++b) {
            mul(h, f, operands[b]);
            EXPECT_EQ(encode(h), encode(field.mul(F, valueOf(field, operands[b]))))
                << a << " times " << b;
        }
    }
}

// Chains in the shapes of the ladder (products, their sums and differences,
// squares of those), on random values: every step against BigNum.
TEST(Field25519, LadderShapedChainsMatchBigNum) {
    const PrimeField field;
    uint64_t state = 0x9E3779B97F4A7C15u;  // fixed, so a failure repeats
    auto next = [&state] {
        Bytes b;
        for (uint8_t& byte : b) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            byte = uint8_t(state);
        }
        return b;
    };
    for (int round = 0; round < 300; ++round) {
        const Bytes a = next(), b = next(), c = next(), d = next();
        const Fe fa = decode(a), fb = decode(b), fc = decode(c), fd = decode(d);
        const BigNum A = big(a), B = big(b), C = big(c), D = big(d);
        Fe ab, cd, s, t, h;
        mul(ab, fa, fb);
        mul(cd, fc, fd);
        add(s, ab, cd);
        sub(t, ab, cd);
        const BigNum AB = field.mul(A, B), CD = field.mul(C, D);
        const BigNum S = field.add(AB, CD), T = field.sub(AB, CD);
        mul(h, s, t);
        ASSERT_EQ(encode(h), encode(field.mul(S, T))) << round;
        square(h, s);
        ASSERT_EQ(encode(h), encode(field.mul(S, S))) << round;
        square(h, t);
        ASSERT_EQ(encode(h), encode(field.mul(T, T))) << round;
        Fe three;
        add(three, fa, fb);
        add(three, three, fc);  // the chord sum adds three values
        mul(h, three, t);
        ASSERT_EQ(encode(h), encode(field.mul(field.add(field.add(A, B), C), T))) << round;
    }
}
