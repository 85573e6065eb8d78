// The limb arithmetic of GF(2^255 - 19) against OpenSSL's BIGNUM.
#include "sign/field25519.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <array>
#include <cstring>

#include "bignum.h"

using namespace field25519;

namespace {

using Bytes = std::array<uint8_t, 32>;

Bytes randomBytes() {
    Bytes b;
    RAND_bytes(b.data(), 32);
    return b;
}

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

// Sums, differences and products of the shapes the curve code uses (results
// of products, and sums or differences of two of them) must stay exact.
TEST(Field25519, ArithmeticMatchesBigNum) {
    const PrimeField field;
    for (int round = 0; round < 200; ++round) {
        const Bytes a = randomBytes(), b = randomBytes(), c = randomBytes(), d = randomBytes();
        const BigNum A = big(a), B = big(b), C = big(c), D = big(d);
        Fe fa = decode(a), fb = decode(b), fc = decode(c), fd = decode(d);

        Fe ab, cd, s, t, h;
        mul(ab, fa, fb);
        mul(cd, fc, fd);
        add(s, ab, cd);
        sub(t, ab, cd);
        mul(h, s, t);  // (ab + cd)(ab - cd)
        const BigNum AB = field.mul(A, B), CD = field.mul(C, D);
        ASSERT_EQ(encode(h), encode(field.mul(field.add(AB, CD), field.sub(AB, CD))));

        Fe sq, neg_;
        square(sq, t);
        neg(neg_, sq);
        ASSERT_EQ(encode(neg_),
                  encode(field.sub(BigNum(0), field.mul(field.sub(AB, CD), field.sub(AB, CD)))));

        Fe small;
        sub(t, fa, fb);
        mulSmall(small, t, 121665);
        ASSERT_EQ(encode(small), encode(field.mul(field.sub(A, B), BigNum(121665))));

        Fe inv, one;
        invert(inv, fa);
        mul(one, inv, fa);
        ASSERT_EQ(encode(inv), encode(field.inverse(A)));
        if (!BN_is_zero(field.reduce(A).get())) {
            ASSERT_EQ(encode(one), encode(BigNum(1)));
        }
    }
}

TEST(Field25519, SquareRootFindsRootsOfSquaresOnly) {
    const PrimeField field;
    int squares = 0, nonSquares = 0;
    for (int round = 0; round < 100; ++round) {
        const Bytes x = randomBytes();
        BigNum expected;
        const bool isSquare = field.sqrt(big(x), expected);
        Fe root, check;
        const bool found = squareRoot(root, decode(x));
        ASSERT_EQ(found, isSquare);
        if (found) {
            square(check, root);
            ASSERT_TRUE(equal(check, decode(x)));
            ++squares;
        } else {
            ++nonSquares;
        }
    }
    // Half of all values are squares; about half of the squares need the
    // second branch of the root (the product with sqrt(-1)).
    EXPECT_GT(squares, 20);
    EXPECT_GT(nonSquares, 20);

    Fe zero, root;
    fromInt(zero, 0);
    ASSERT_TRUE(squareRoot(root, zero));
    EXPECT_TRUE(isZero(root));
}
