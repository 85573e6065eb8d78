// Digest classes and Ed25519 verification over libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>

struct evp_md_ctx_st;

class SHA1 {
  public:
    static constexpr size_t SIZE = 20;
    SHA1();
    ~SHA1();
    SHA1(const SHA1&) = delete;
    SHA1& operator=(const SHA1&) = delete;
    void update(const void* data, size_t n);
    // Writes the digest and starts a new message.
    void finish(uint8_t out[SIZE]);

  private:
    evp_md_ctx_st* ctx_;
};

class SHA256 {
  public:
    static constexpr size_t SIZE = 32;
    SHA256();
    ~SHA256();
    SHA256(const SHA256&) = delete;
    SHA256& operator=(const SHA256&) = delete;
    void update(const void* data, size_t n);
    void finish(uint8_t out[SIZE]);

  private:
    evp_md_ctx_st* ctx_;
};

namespace asn1 {
struct blob {
    const uint8_t* begin;
    const uint8_t* end;
    size_t size() const { return size_t(end - begin); }
};
}  // namespace asn1

namespace eddsa {
// Ed25519 (RFC 8032): non-zero when `signature` is valid for `message`.
int verify(asn1::blob publicKey, asn1::blob message, asn1::blob signature);
}  // namespace eddsa
