#include "pkgfile/signature_part.h"

#include "pkgfile/package_reader.h"
#include "sign/signature.h"
#include "sign/signature_layout.h"
#include "sign/trust_key_set.h"

using namespace signature_layout;

bool checkSignature(const Package& package, PackageReader& reader, int trustLevel) {
    (void)package;  // the trust level already holds what the package decides
    return checkSignatureForm(reader, trustLevel, builtInTrustKeys()) != SignatureForm::None;
}

SignatureForm checkSignatureForm(PackageReader& reader, int trustLevel, const TrustKeySet& keys) {
    if (reader.currentType() != PART_SIGNATURE) return SignatureForm::None;
    PartStreamBuffer& parts = reader.parts();
    if (!parts.hashing()) return SignatureForm::None;
    parts.finishDigest();

    const uint32_t length = reader.partLength();
    size_t n;
    if (length >= LONG_FORM) {
        n = LONG_FORM;
    } else if (length >= LEGACY_FORM) {
        n = LEGACY_FORM;
    } else {
        return SignatureForm::None;
    }
    uint8_t signature[LONG_FORM];
    if (parts.readUndigested(reinterpret_cast<char*>(signature), n) != n)
        return SignatureForm::None;
    return acceptedForm(parts.digestSlot(), signature, n, trustLevel, keys);
}
