// Writing package files: the library behind the "qpk" tool, also used by the
// tests to make every package they install.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/package.h"
#include "qpk/lib/signer.h"

namespace qpk {

struct FileEntry {
    std::string name;         // as stored: "bin/x" or "/bin/x"
    uint16_t mode = 0100644;  // st_mode encoding: type and permission bits
    std::string contents;
    uint8_t cpuClass = 0;
};

struct RawPart {
    uint16_t type = 0;
    std::string payload;
    // Declared length; the payload's size when unset (a larger value makes a
    // part that claims more than the file holds).
    std::optional<uint32_t> declaredLength;
};

struct PackageRecipe {
    std::string name;
    Version version = 0;
    uint32_t buildTime = 0;
    uint32_t flags = 0;
    bool withFlagsWord = true;  // 36-byte header record; false gives 32 bytes
    std::optional<std::string> text24;
    std::optional<std::string> architecture;  // no part 16 when unset
    std::optional<std::string> text2;
    std::optional<std::string> note;
    std::vector<PackageRef> depends;
    std::vector<PackageRef> provides;
    std::vector<PackageRef> conflicts;
    std::optional<std::string> keepImagePayload;  // part 21
    std::vector<FileEntry> files;
    bool withFilesPart = true;
    int zlibLevel = 6;
    bool sha256 = false;      // a part 25 before the header switches the digest
    bool unrecorded = false;  // UNRECORDED_PACKAGE_MAGIC
    // Test hooks for damaged packages.
    std::optional<std::string> rawFilesStream;     // inflated bytes of part 4, as given
    uint32_t filesStreamCut = 0;                   // bytes cut from the end of part 4
    std::optional<std::string> signatureOverride;  // payload of part 9, as given
    bool withSignature = true;
    std::vector<RawPart> partsAfterSignature;
};

// The whole package file. The signature part is made with `keys` over the
// running digest (see signer.h); an empty key set gives a zero signature.
// Empty (with a message on standard error) when signing fails.
std::string buildPackage(const PackageRecipe& recipe, const SigningKeys& keys);

struct BundleRecipe {
    std::string name;
    Version version = 0;
    uint32_t buildTime = 0;
    uint32_t flags = 0;
    std::optional<std::string> keepImagePayload;  // part 21
    std::vector<PackageRef> defaultDisabled;      // part 20
    std::optional<std::string> architecture;      // part 16 after the members
    std::vector<RawPart> partsAfterMembers;
};

// A bundle: its header and parts, then each member's parts (the member
// files' own file headers are left out).
std::string buildBundle(const BundleRecipe& recipe, const std::vector<std::string>& memberFiles);

// The inflated form of a files part (file records back to back).
std::string fileRecords(const std::vector<FileEntry>& files);
// zlib-compress at the given level.
std::string deflateBytes(const std::string& data, int level);

// Reads a directory tree into file entries (regular files, mode bits kept),
// in sorted path order. False with a message on error.
bool readTree(const std::string& dir, std::vector<FileEntry>& files, std::string& error);

bool writeFile(const std::string& path, const std::string& bytes, std::string& error);

}  // namespace qpk
