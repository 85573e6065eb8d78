// Making legacy signatures: the signing half of the installer's legacy check.
#pragma once

#include <cstdint>
#include <string>

namespace qpk {

// r and s for the digest slot with the private scalar x (little-endian),
// checked against the installer's verifier with x's public key. False with
// a message when x is unusable or no candidate verifies.
bool legacySign(const uint8_t scalar[32], const uint8_t digest[32], uint8_t r[16], uint8_t s[32],
                std::string& error);

}  // namespace qpk
