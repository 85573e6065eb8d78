// Package files for tests: recipes, the development keys' signature, and the
// little-endian pieces of hand-assembled files. Header-only, for the test
// programs that link the package builder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/version.h"
#include "pkgfile/package_reader.h"
#include "qpk/lib/builder.h"
#include "qpk/lib/signer.h"

namespace testpkg {

inline std::string le16(uint16_t v) {
    return {char(v & 0xFF), char(v >> 8)};
}
inline std::string le32(uint32_t v) {
    return le16(uint16_t(v)) + le16(uint16_t(v >> 16));
}
// A part: type, length (the payload's unless `declared`), payload.
inline std::string part(uint16_t type, const std::string& payload,
                        std::optional<uint32_t> declared = std::nullopt) {
    return le16(type) + le32(declared.value_or(uint32_t(payload.size()))) + payload;
}
// An 8-byte file header (magic, size of what follows) in front of `parts`.
inline std::string packageFile(const std::string& parts, uint32_t magic = PACKAGE_MAGIC) {
    return le32(magic) + le32(uint32_t(parts.size())) + parts;
}

// A package `name` of `version` built at `buildTime` holding `files`.
inline qpk::PackageRecipe recipe(const std::string& name, Version version, uint32_t buildTime = 0,
                                 std::vector<qpk::FileEntry> files = {}) {
    qpk::PackageRecipe r;
    r.name = name;
    r.version = version;
    r.buildTime = buildTime;
    r.files = std::move(files);
    return r;
}

// Built and signed with the development keys.
inline std::string signedPackage(const qpk::PackageRecipe& recipe) {
    return qpk::buildPackage(recipe, qpk::developmentKeys());
}
// Built without signing keys.
inline std::string packageWithoutKeys(const qpk::PackageRecipe& recipe) {
    return qpk::buildPackage(recipe, qpk::SigningKeys{});
}

}  // namespace testpkg
