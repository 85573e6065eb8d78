// Private keys and signing for the package tool.
#pragma once

#include <cstdint>
#include <string>

namespace qpk {

struct SigningKeys {
    bool haveEd25519 = false;
    uint8_t ed25519Seed[32] = {};
    bool haveLegacy = false;
    uint8_t legacyScalar[32] = {};  // little-endian
};

// Key file lines: "ed25519-secret <64 hex>", "legacy-secret <64 hex>";
// "#" comments and blank lines ignored. False with a message naming the line.
bool loadKeyFile(const std::string& path, SigningKeys& keys, std::string& error);
// The development keys of the source tree (keys/dev.secret).
const SigningKeys& developmentKeys();

// The signature part's payload for a digest slot (20 bytes of SHA-1 or 32 of
// SHA-256, zero-padded to 32): 132 bytes when an Ed25519 key is given (the
// first 68 hold the legacy form when a legacy key is given too, else zeros),
// 68 bytes for a legacy key alone, 132 zero bytes for no key. Every
// signature is checked with the installer's verifier before it is returned;
// false when that check fails.
bool signDigest(const SigningKeys& keys, const uint8_t digest[32], std::string& payload,
                std::string& error);

// Public halves, for "keygen" and self-checks.
void ed25519PublicKey(const uint8_t seed[32], uint8_t out[32]);
void legacyPublicKey(const uint8_t scalar[32], uint8_t out[32]);

}  // namespace qpk
