// Signature verification of a package against its digest.
#pragma once

#include <cstddef>
#include <cstdint>

class Package;
struct TrustKeySet;
namespace rootfs {
class Root;
}

// 1: the legacy signature form is accepted; 2: only Ed25519.
int trustLevel(rootfs::Root& root, const Package& package);

// `signature` holds the first `length` bytes of the signature part: the long
// form (Ed25519 after the legacy form) or the legacy form alone. True when
// the signature over the 32-byte `digest` is valid (Ed25519 first; the
// legacy form only at trust level 1).
bool verifySignature(const uint8_t* digest, const uint8_t* signature, size_t length,
                     int trustLevel);

// Which form of a signature was accepted, if any.
enum class SignatureForm { None, Ed25519, Legacy };
// verifySignature against a given key set, telling which form it accepted.
SignatureForm acceptedForm(const uint8_t* digest, const uint8_t* signature, size_t length,
                           int trustLevel, const TrustKeySet& keys);
