// Legacy signing. The verifier accepts when the first 16 bytes of
// legacyHash(u(e·B + s·Y)) equal r, where e depends on the digest and r. With
// the private scalar x the public point Y is x·B or -x·B (Y takes the even v,
// x·B may not), so for R = k·B and r taken from legacyHash(u(R)) a response
// s with e + s·(±x) = ±k (mod L) makes u(e·B + s·Y) = u(R). The signs are
// not known without the point's v, so the candidates are tried against the
// verifier itself.
//
// k is derived, not drawn: HMAC-SHA512 keyed with x over the digest slot and
// an attempt counter, reduced modulo L. The same key and digest then give the
// same signature (reproducible packages), and different digests get
// unrelated k's.
#include "qpk/lib/legacy_signer.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "qpk/lib/signer.h"
#include "sign/legacy.h"

namespace qpk {

namespace {

// The order of the prime subgroup that B = u 9 generates: 2^252 +
// 27742317777372353535851937790883648493.
constexpr const char* GROUP_ORDER_HEX =
    "1000000000000000000000000000000014DEF9DEA2F79CD65812631A5CF5D3ED";

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn fromLittleEndian(const uint8_t bytes[32]) {
    return Bn(BN_lebin2bn(bytes, 32, nullptr));
}

bool toLittleEndian(const BIGNUM* n, uint8_t out[32]) {
    return BN_bn2lebinpad(n, out, 32) == 32;
}

// The nonce for `attempt`: HMAC-SHA512(x, label || digest slot || attempt)
// modulo L (the 512-bit value makes the reduction's bias negligible).
bool deriveNonce(const uint8_t scalar[32], const uint8_t digest[32], uint8_t attempt,
                 const BIGNUM* order, BN_CTX* ctx, BIGNUM* k) {
    static const char LABEL[] = "qpk legacy nonce";
    uint8_t message[sizeof LABEL + 32 + 1];
    std::memcpy(message, LABEL, sizeof LABEL);
    std::memcpy(message + sizeof LABEL, digest, 32);
    message[sizeof message - 1] = attempt;
    uint8_t mac[64];
    size_t length = 0;
    const bool ok = EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA512", nullptr, scalar, 32, message,
                              sizeof message, mac, sizeof mac, &length) != nullptr &&
                    length == sizeof mac;
    Bn wide(ok ? BN_bin2bn(mac, int(sizeof mac), nullptr) : nullptr);
    OPENSSL_cleanse(mac, sizeof mac);
    return wide && BN_nnmod(k, wide.get(), order, ctx);
}

// e as the verifier derives it from the digest and r.
void challenge(const uint8_t digest[32], const uint8_t r[16], uint8_t e[32]) {
    legacyHash(digest, 20, e);
    for (int i = 0; i < 16; ++i) e[8 + i] ^= r[i];
    e[0] &= 0xF8;
    e[31] = uint8_t((e[31] & 0x7F) | 0x40);
}

}  // namespace

bool legacySign(const uint8_t scalar[32], const uint8_t digest[32], uint8_t r[16], uint8_t s[32],
                std::string& error) {
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    BIGNUM* orderRaw = nullptr;
    if (!ctx || BN_hex2bn(&orderRaw, GROUP_ORDER_HEX) == 0) {
        error = "out of memory";
        return false;
    }
    Bn order(orderRaw);
    Bn x = fromLittleEndian(scalar);
    Bn xInverse(BN_new());
    if (!x || !xInverse || !BN_nnmod(x.get(), x.get(), order.get(), ctx.get())) {
        error = "out of memory";
        return false;
    }
    if (BN_is_zero(x.get()) || !BN_mod_inverse(xInverse.get(), x.get(), order.get(), ctx.get())) {
        error = "legacy key is zero modulo the group order";
        return false;
    }
    uint8_t publicKey[32];
    legacyPublicKey(scalar, publicKey);

    // A new k per attempt; the retry covers a zero k and a k whose point
    // hashes to an r that no candidate completes, which the verifier would
    // reveal.
    for (uint8_t attempt = 0; attempt < 4; ++attempt) {
        Bn k(BN_new()), e, candidate(BN_new()), t(BN_new());
        if (!k || !candidate || !t ||
            !deriveNonce(scalar, digest, attempt, order.get(), ctx.get(), k.get())) {
            error = "cannot derive the signing nonce";
            return false;
        }
        if (BN_is_zero(k.get())) continue;
        uint8_t kBytes[32], point[32], zero[32] = {}, base[32] = {9}, hash[32];
        if (!toLittleEndian(k.get(), kBytes)) continue;
        legacyCurveOperation(kBytes, zero, base, point);
        legacyHash(point, sizeof point, hash);
        for (int i = 0; i < 16; ++i) r[i] = hash[i];

        uint8_t eBytes[32];
        challenge(digest, r, eBytes);
        e = fromLittleEndian(eBytes);
        if (!e) break;

        // (k - e)/x, (e - k)/x, (k + e)/x, -(k + e)/x modulo L.
        for (int form = 0; form < 4; ++form) {
            bool ok = (form < 2) ? BN_mod_sub(t.get(), k.get(), e.get(), order.get(), ctx.get())
                                 : BN_mod_add(t.get(), k.get(), e.get(), order.get(), ctx.get());
            if (ok && (form & 1))
                ok = BN_mod_sub(t.get(), order.get(), t.get(), order.get(), ctx.get());
            ok = ok && BN_mod_mul(candidate.get(), t.get(), xInverse.get(), order.get(), ctx.get());
            if (ok && toLittleEndian(candidate.get(), s) &&
                legacySignatureCheckWith(digest, r, s, publicKey)) {
                return true;
            }
        }
    }
    error = "legacy signature does not verify";
    return false;
}

}  // namespace qpk
