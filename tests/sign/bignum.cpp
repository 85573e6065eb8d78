#include "bignum.h"

#include <openssl/err.h>

BigNum BigNum::fromLittleEndian(const uint8_t* bytes, size_t n) {
    BigNum b;
    BN_lebin2bn(bytes, int(n), b.n_);
    return b;
}

BigNum BigNum::fromHex(const char* hex) {
    BigNum b;
    BN_hex2bn(&b.n_, hex);
    return b;
}

void BigNum::toLittleEndian(uint8_t out[32]) const {
    BN_bn2lebinpad(n_, out, 32);
}

PrimeField::PrimeField()
    : p_(BigNum::fromHex("7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED")),
      ctx_(BN_CTX_new()) {}

PrimeField::~PrimeField() {
    BN_CTX_free(ctx_);
}

BigNum PrimeField::reduce(const BigNum& a) const {
    BigNum r;
    BN_nnmod(r.get(), a.get(), p_.get(), ctx_);
    return r;
}

BigNum PrimeField::add(const BigNum& a, const BigNum& b) const {
    BigNum r;
    BN_mod_add(r.get(), a.get(), b.get(), p_.get(), ctx_);
    return r;
}

BigNum PrimeField::sub(const BigNum& a, const BigNum& b) const {
    BigNum r;
    BN_mod_sub(r.get(), a.get(), b.get(), p_.get(), ctx_);
    return r;
}

BigNum PrimeField::mul(const BigNum& a, const BigNum& b) const {
    BigNum r;
    BN_mod_mul(r.get(), a.get(), b.get(), p_.get(), ctx_);
    return r;
}

BigNum PrimeField::inverse(const BigNum& a) const {
    BigNum r;
    if (BN_is_zero(reduce(a).get())) return r;
    BN_mod_inverse(r.get(), a.get(), p_.get(), ctx_);
    return r;
}

bool PrimeField::sqrt(const BigNum& a, BigNum& root) const {
    ERR_set_mark();
    const bool ok = BN_mod_sqrt(root.get(), reduce(a).get(), p_.get(), ctx_) != nullptr;
    ERR_pop_to_mark();
    return ok;
}

bool PrimeField::equal(const BigNum& a, const BigNum& b) const {
    return BN_cmp(reduce(a).get(), reduce(b).get()) == 0;
}

namespace {
const BigNum CURVE_A(486662);
}

bool ReferenceCurve::lift(const uint8_t u[32], Point& out) const {
    // Bit 255 counts as 2^255 like every other bit.
    const BigNum x = f_.reduce(BigNum::fromLittleEndian(u, 32));
    const BigNum rhs = f_.mul(x, f_.add(f_.mul(x, f_.add(x, CURVE_A)), BigNum(1)));
    BigNum v;
    if (!f_.sqrt(rhs, v) || !f_.equal(f_.mul(v, v), rhs)) return false;
    if (BN_is_odd(v.get())) v = f_.sub(BigNum(0), v);
    out.infinity = false;
    out.u = x;
    out.v = v;
    return true;
}

ReferenceCurve::Point ReferenceCurve::add(const Point& a, const Point& b) const {
    if (a.infinity) return b;
    if (b.infinity) return a;
    BigNum lambda;
    if (f_.equal(a.u, b.u)) {
        if (f_.equal(f_.add(a.v, b.v), BigNum(0))) return Point();  // a = -b
        // Tangent: (3u² + 2Au + 1) / 2v
        const BigNum u2 = f_.mul(a.u, a.u);
        BigNum top = f_.add(f_.add(f_.mul(BigNum(3), u2), f_.mul(f_.mul(BigNum(2), CURVE_A), a.u)),
                            BigNum(1));
        lambda = f_.mul(top, f_.inverse(f_.mul(BigNum(2), a.v)));
    } else {
        lambda = f_.mul(f_.sub(b.v, a.v), f_.inverse(f_.sub(b.u, a.u)));
    }
    Point r;
    r.infinity = false;
    r.u = f_.sub(f_.sub(f_.sub(f_.mul(lambda, lambda), CURVE_A), a.u), b.u);
    r.v = f_.sub(f_.mul(lambda, f_.sub(a.u, r.u)), a.v);
    return r;
}

ReferenceCurve::Point ReferenceCurve::multiply(const uint8_t scalar[32], const Point& p) const {
    Point r;
    for (int bit = 255; bit >= 0; --bit) {
        r = add(r, r);
        if ((scalar[bit / 8] >> (bit % 8)) & 1) r = add(r, p);
    }
    return r;
}

void ReferenceCurve::encodeU(const Point& p, uint8_t out[32]) const {
    if (p.infinity) {
        for (int i = 0; i < 32; ++i) out[i] = 0;
        return;
    }
    f_.reduce(p.u).toLittleEndian(out);
}
