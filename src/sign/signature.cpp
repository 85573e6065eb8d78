// The signature check of a package: Ed25519 over its digest, else the legacy
// form where the trust level allows it.
#include "sign/signature.h"

#include "fs/rootfs.h"
#include "model/package.h"
#include "model/version.h"
#include "sign/crypto.h"
#include "sign/legacy.h"
#include "sign/signature_layout.h"
#include "sign/trust_key_set.h"

namespace {

using namespace signature_layout;

// Releases that still shipped legacy-signed packages.
bool legacyEraVersion(Version v) {
    return v <= makeVersion(6, 46, VERSION_KIND_FINAL, 8) ||
           (v >= makeVersion(6, 47, 0, 0) && v <= makeVersion(6, 48, VERSION_KIND_FINAL, 0)) ||
           (v >= makeVersion(7, 0, 0, 0) && v <= makeVersion(7, 1, VERSION_KIND_BETA, 3));
}

}  // namespace

int trustLevel(rootfs::Root& root, const Package& package) {
    // The marker counts in any form, a dangling symbolic link included: when
    // in doubt the stricter level holds.
    struct stat st;
    if (root.lstat("/ram/SECURE", &st) == 0) return 2;
    if (package.name == "branding") return 1;
    return legacyEraVersion(package.version) ? 1 : 2;
}

SignatureForm acceptedForm(const uint8_t* digest, const uint8_t* signature, size_t length,
                           int trustLevel, const TrustKeySet& keys) {
    if (length == LONG_FORM) {
        const asn1::blob key{keys.ed25519Public, keys.ed25519Public + 32};
        const asn1::blob message{digest, digest + 32};
        const asn1::blob ed25519{signature + ED25519_SIGNATURE, signature + LONG_FORM};
        if (eddsa::verify(key, message, ed25519) != 0) return SignatureForm::Ed25519;
    } else if (length != LEGACY_FORM) {
        return SignatureForm::None;
    }
    if (trustLevel == 1 &&
        legacySignatureCheck(digest, signature + LEGACY_R, signature + LEGACY_S, keys))
        return SignatureForm::Legacy;
    return SignatureForm::None;
}

bool verifySignature(const uint8_t* digest, const uint8_t* signature, size_t length,
                     int trustLevel) {
    return acceptedForm(digest, signature, length, trustLevel, builtInTrustKeys()) !=
           SignatureForm::None;
}
