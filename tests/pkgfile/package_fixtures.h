// Helpers shared by the package file tests: hand-assembled parts for damaged
// files, digests computed independently of the reader, and a source that
// counts what is asked of it.
#pragma once

#include <openssl/evp.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "pkgfile/package_reader.h"
#include "qpk/lib/builder.h"

namespace fixtures {

// Bytes at the reader's boundaries, below what the package words describe.
inline std::string le16(uint16_t v) {
    return {char(v & 0xFF), char(v >> 8)};
}
inline std::string le32(uint32_t v) {
    return le16(uint16_t(v)) + le16(uint16_t(v >> 16));
}
inline std::string part(uint16_t type, const std::string& payload,
                        std::optional<uint32_t> declared = std::nullopt) {
    return le16(type) + le32(declared.value_or(uint32_t(payload.size()))) + payload;
}
inline std::string packageFile(const std::string& parts, uint32_t magic = PACKAGE_MAGIC) {
    return le32(magic) + le32(uint32_t(parts.size())) + parts;
}

inline std::string headerRecord(const std::string& name) {
    std::string r = name;
    r.resize(16, '\0');
    return r + le32(1) + le32(0) + std::string(8, '\0') + le32(0);
}

inline qpk::PackageRecipe simpleRecipe(const std::string& name) {
    qpk::PackageRecipe recipe;
    recipe.name = name;
    recipe.version = 0x07016603;
    recipe.architecture = "powerpc";
    recipe.files.push_back({"bin/" + name, 0100755, "contents of " + name, 0});
    return recipe;
}
inline std::string build(const qpk::PackageRecipe& recipe) {
    return qpk::buildPackage(recipe, qpk::SigningKeys{});
}

// SHA-1 or SHA-256 of `bytes`, zero-padded to the 32-byte digest slot.
inline std::string digest(const std::string& bytes, bool sha256) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), md, &length, sha256 ? EVP_sha256() : EVP_sha1(),
               nullptr);
    std::string slot(reinterpret_cast<char*>(md), length);
    slot.resize(32, '\0');
    return slot;
}
inline std::string slotText(const uint8_t* slot) {
    return std::string(reinterpret_cast<const char*>(slot), 32);
}

class CountingBuf : public std::stringbuf {
  public:
    explicit CountingBuf(const std::string& bytes) : std::stringbuf(bytes, std::ios::in) {}
    int bulkReads = 0, seeks = 0;

  protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        ++bulkReads;
        return std::stringbuf::xsgetn(s, n);
    }
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override {
        ++seeks;
        return std::stringbuf::seekoff(off, dir, which);
    }
};

}  // namespace fixtures
