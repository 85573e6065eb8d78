#include "pkgfile/signature_part.h"

#include "pkgfile/package_reader.h"
#include "sign/signature.h"
#include "sign/signature_layout.h"

using namespace signature_layout;

bool checkSignature(const Package& package, PackageReader& reader, int trustLevel) {
    (void)package;  // the trust level already holds what the package decides
    if (reader.currentType() != PART_SIGNATURE) return false;
    PartStreamBuffer& parts = reader.parts();
    if (!parts.hashing()) return false;
    parts.finishDigest();

    const uint32_t length = reader.partLength();
    size_t n;
    if (length >= LONG_FORM) {
        n = LONG_FORM;
    } else if (length >= LEGACY_FORM) {
        n = LEGACY_FORM;
    } else {
        return false;
    }
    uint8_t signature[LONG_FORM];
    if (parts.readUndigested(reinterpret_cast<char*>(signature), n) != n) return false;
    return verifySignature(parts.digestSlot(), signature, n, trustLevel);
}
