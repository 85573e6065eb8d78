// Independent reference arithmetic for the signature tests: integers modulo
// p = 2^255 - 19 and affine points of the Montgomery curve
// v² = u³ + 486662·u² + u, on OpenSSL's BIGNUM.
#pragma once

#include <openssl/bn.h>

#include <cstdint>
#include <string>

class BigNum {
  public:
    BigNum() : n_(BN_new()) {}
    explicit BigNum(unsigned long value) : BigNum() { BN_set_word(n_, value); }
    BigNum(const BigNum& other) : n_(BN_dup(other.n_)) {}
    BigNum& operator=(const BigNum& other) {
        if (this != &other) BN_copy(n_, other.n_);
        return *this;
    }
    ~BigNum() { BN_free(n_); }

    static BigNum fromLittleEndian(const uint8_t* bytes, size_t n);
    static BigNum fromHex(const char* hex);
    void toLittleEndian(uint8_t out[32]) const;

    BIGNUM* get() const { return n_; }

  private:
    BIGNUM* n_;
};

// Arithmetic modulo p.
class PrimeField {
  public:
    PrimeField();
    ~PrimeField();
    PrimeField(const PrimeField&) = delete;
    PrimeField& operator=(const PrimeField&) = delete;

    const BigNum& prime() const { return p_; }
    BigNum reduce(const BigNum& a) const;
    BigNum add(const BigNum& a, const BigNum& b) const;
    BigNum sub(const BigNum& a, const BigNum& b) const;
    BigNum mul(const BigNum& a, const BigNum& b) const;
    BigNum inverse(const BigNum& a) const;  // 0 for 0
    // A square root, or false.
    bool sqrt(const BigNum& a, BigNum& root) const;
    bool equal(const BigNum& a, const BigNum& b) const;

  private:
    BigNum p_;
    BN_CTX* ctx_;
};

// Affine points with a flag for the neutral element.
class ReferenceCurve {
  public:
    struct Point {
        bool infinity = true;
        BigNum u, v;
    };

    // The point with this u and the even v; false on the twist.
    bool lift(const uint8_t u[32], Point& out) const;
    Point add(const Point& a, const Point& b) const;
    // scalar · P, the scalar a whole 256-bit little-endian number.
    Point multiply(const uint8_t scalar[32], const Point& p) const;
    // u as 32 bytes little-endian, 0 for the neutral element.
    void encodeU(const Point& p, uint8_t out[32]) const;

    const PrimeField& field() const { return f_; }

  private:
    PrimeField f_;
};
