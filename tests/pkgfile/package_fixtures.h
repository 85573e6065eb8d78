// Helpers shared by the package file tests: hand-assembled parts for damaged
// files, digests computed independently of the reader, and a source that
// counts what is asked of it.
#pragma once

#include <openssl/evp.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "qpk/lib/builder.h"
#include "support/packages.h"

namespace fixtures {

using testpkg::le16;
using testpkg::le32;
using testpkg::packageFile;
using testpkg::part;

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
    return testpkg::packageWithoutKeys(recipe);
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

// Sets (or, given nothing, unsets) an environment variable for a scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace fixtures
