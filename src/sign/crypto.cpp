// SHA-1, SHA-256 and Ed25519 verification over libcrypto's EVP interface.
#include "sign/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

namespace {

// Set up before the library's first use. The installer reads no OpenSSL
// configuration (its algorithms are fixed, and a host's file must not change
// them) and prints no library error texts; leaving both out keeps several
// hundred KiB of the library's pages and heap untouched.
void startLibrary() {
    static const bool started =
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                            nullptr) == 1;
    (void)started;
}

// The digest implementations are fetched once per process; every digest
// object reuses its context from message to message.
const EVP_MD* sha1Method() {
    startLibrary();
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return md;
}

const EVP_MD* sha256Method() {
    startLibrary();
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

EVP_MD_CTX* newContext(const EVP_MD* md) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx != nullptr && (md == nullptr || EVP_DigestInit_ex(ctx, md, nullptr) != 1)) {
        EVP_MD_CTX_free(ctx);
        ctx = nullptr;
    }
    return ctx;
}

void update(EVP_MD_CTX* ctx, const void* data, size_t n) {
    if (ctx != nullptr && n > 0) EVP_DigestUpdate(ctx, data, n);
}

// Writes the digest and starts the next message on the same context. A
// context that could not be set up yields a zero digest, which no signature
// matches.
void finish(EVP_MD_CTX* ctx, const EVP_MD* md, uint8_t* out, size_t size) {
    unsigned int len = 0;
    if (ctx == nullptr || EVP_DigestFinal_ex(ctx, out, &len) != 1 || len != size) {
        std::memset(out, 0, size);
    }
    if (ctx != nullptr) EVP_DigestInit_ex(ctx, md, nullptr);
}

}  // namespace

SHA1::SHA1() : ctx_(newContext(sha1Method())) {}
SHA1::~SHA1() {
    EVP_MD_CTX_free(ctx_);
}
void SHA1::update(const void* data, size_t n) {
    ::update(ctx_, data, n);
}
void SHA1::finish(uint8_t out[SIZE]) {
    ::finish(ctx_, sha1Method(), out, SIZE);
}

SHA256::SHA256() : ctx_(newContext(sha256Method())) {}
SHA256::~SHA256() {
    EVP_MD_CTX_free(ctx_);
}
void SHA256::update(const void* data, size_t n) {
    ::update(ctx_, data, n);
}
void SHA256::finish(uint8_t out[SIZE]) {
    ::finish(ctx_, sha256Method(), out, SIZE);
}

namespace eddsa {

int verify(asn1::blob publicKey, asn1::blob message, asn1::blob signature) {
    if (publicKey.size() != 32 || signature.size() != 64) return 0;
    startLibrary();
    EVP_PKEY* key =
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.begin, publicKey.size());
    if (key == nullptr) return 0;
    int valid = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx != nullptr && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1) {
        valid = EVP_DigestVerify(ctx, signature.begin, signature.size(), message.begin,
                                 message.size()) == 1;
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return valid;
}

}  // namespace eddsa
