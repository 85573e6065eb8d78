// The limb arithmetic of GF(2^255 - 19) against OpenSSL's BIGNUM.
#include "sign/field25519.h"

#include <gtest/gtest.h>

#include <array>

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
