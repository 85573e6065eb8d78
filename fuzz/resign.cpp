#include "resign.h"

#include <sstream>

#include "pkgfile/package_reader.h"
#include "qpk/lib/signer.h"

namespace {

constexpr size_t LONG_FORM = 132;

const qpk::SigningKeys& ed25519Only() {
    static const qpk::SigningKeys keys = [] {
        qpk::SigningKeys k = qpk::developmentKeys();
        k.haveLegacy = false;  // the legacy form would cost a signing per input
        return k;
    }();
    return keys;
}

}  // namespace

void resignMarked(std::string& file) {
    std::istringstream in(file);  // a copy: `file` may change below
    PackageReader reader(in, true, nullptr);
    reader.wanted = {PART_SIGNATURE};
    while (reader.nextPart() == PART_SIGNATURE) {
        const uint64_t at = reader.position();
        if (reader.partLength() < LONG_FORM || at + LONG_FORM > file.size()) continue;
        // As the check does: finish the digest, take the bytes undigested.
        PartStreamBuffer& parts = reader.parts();
        parts.finishDigest();
        char old[LONG_FORM];
        if (parts.readUndigested(old, LONG_FORM) != LONG_FORM) break;
        if (uint8_t(old[0]) != RESIGN_MARK) continue;
        std::string payload, error;
        if (!qpk::signDigest(ed25519Only(), parts.digestSlot(), payload, error) ||
            payload.size() != LONG_FORM)
            continue;
        payload[0] = char(RESIGN_MARK);
        file.replace(size_t(at), LONG_FORM, payload);
    }
}
