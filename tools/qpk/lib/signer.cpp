// Private key files, the development keys, and the signature part payload.
#include "qpk/lib/signer.h"

#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <iostream>

#include "qpk/lib/legacy_signer.h"
#include "sign/crypto.h"
#include "sign/legacy.h"
#include "sign/signature_layout.h"

namespace qpk {

namespace {

using namespace signature_layout;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseHex32(const std::string& text, uint8_t out[32]) {
    if (text.size() != 64) return false;
    for (size_t i = 0; i < 32; ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = uint8_t(high * 16 + low);
    }
    return true;
}

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    const size_t begin = s.find_first_not_of(blanks);
    if (begin == std::string::npos) return std::string();
    return s.substr(begin, s.find_last_not_of(blanks) - begin + 1);
}

bool ed25519Sign(const uint8_t seed[32], const uint8_t digest[32], uint8_t signature[64]) {
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32);
    if (key == nullptr) return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t length = 64;
    const bool ok = ctx != nullptr &&
                    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                    EVP_DigestSign(ctx, signature, &length, digest, 32) == 1 && length == 64;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

}  // namespace

bool loadKeyFile(const std::string& path, SigningKeys& keys, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open key file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = trim(line);
        if (text.empty() || text[0] == '#') continue;
        const size_t blank = text.find_first_of(" \t");
        const std::string word = text.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : trim(text.substr(blank));
        uint8_t bytes[32];
        const bool known = word == "ed25519-secret" || word == "legacy-secret";
        if (!known || !parseHex32(value, bytes)) {
            error = path + ":" + std::to_string(number) + ": malformed key line: " + text;
            return false;
        }
        if (word == "ed25519-secret") {
            keys.haveEd25519 = true;
            std::memcpy(keys.ed25519Seed, bytes, 32);
        } else {
            keys.haveLegacy = true;
            std::memcpy(keys.legacyScalar, bytes, 32);
        }
    }
    if (in.bad()) {
        error = "cannot read key file " + path;
        return false;
    }
    return true;
}

const SigningKeys& developmentKeys() {
    static const SigningKeys keys = [] {
        SigningKeys loaded;
        std::string error;
        if (!loadKeyFile(std::string(QPK_SOURCE_DIR) + "/keys/dev.secret", loaded, error)) {
            std::cerr << "qpk: development keys: " << error << "\n";
            loaded = SigningKeys();
        }
        return loaded;
    }();
    return keys;
}

bool signDigest(const SigningKeys& keys, const uint8_t digest[32], std::string& payload,
                std::string& error) {
    payload.assign(keys.haveEd25519 || !keys.haveLegacy ? LONG_FORM : LEGACY_FORM, '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(payload.data());

    if (keys.haveLegacy &&
        !legacySign(keys.legacyScalar, digest, bytes + LEGACY_R, bytes + LEGACY_S, error)) {
        return false;
    }
    if (keys.haveEd25519) {
        uint8_t publicKey[32];
        ed25519PublicKey(keys.ed25519Seed, publicKey);
        uint8_t* signature = bytes + ED25519_SIGNATURE;
        if (!ed25519Sign(keys.ed25519Seed, digest, signature)) {
            error = "Ed25519 signing failed";
            return false;
        }
        const asn1::blob key{publicKey, publicKey + 32};
        const asn1::blob message{digest, digest + 32};
        const asn1::blob sig{signature, signature + 64};
        if (eddsa::verify(key, message, sig) == 0) {
            error = "Ed25519 signature does not verify";
            return false;
        }
    }
    return true;
}

void ed25519PublicKey(const uint8_t seed[32], uint8_t out[32]) {
    std::memset(out, 0, 32);
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32);
    if (key == nullptr) return;
    size_t length = 32;
    if (EVP_PKEY_get_raw_public_key(key, out, &length) != 1 || length != 32) {
        std::memset(out, 0, 32);
    }
    EVP_PKEY_free(key);
}

void legacyPublicKey(const uint8_t scalar[32], uint8_t out[32]) {
    const uint8_t zero[32] = {};
    const uint8_t base[32] = {9};
    legacyCurveOperation(scalar, zero, base, out);
}

}  // namespace qpk
