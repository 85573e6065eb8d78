// Whether a package file (or every member of a bundle) would pass the
// installer's signature check: the reader, the trust level and the check are
// the installer's own; only the keys may come from elsewhere.
#pragma once

#include <string>
#include <vector>

#include "json_output.h"
#include "sign/signature.h"

struct TrustKeySet;
namespace rootfs {
class Root;
}

namespace qpk {

struct SignedPackageVerdict {
    std::string name;
    std::string version;  // as the installer prints it
    int trustLevel = 2;
    SignatureForm form = SignatureForm::None;
    std::string reason;  // why it is rejected; empty when accepted
};

struct PackageFileVerdict {
    bool accepted = false;
    std::string reason;  // the first rejection; empty when accepted
    bool bundle = false;
    std::vector<SignedPackageVerdict> packages;
    // The weakest form accepted: Legacy when any package needed it.
    SignatureForm form = SignatureForm::None;
};

// `data` is the whole file; `host` answers the trust level's questions (the
// marker that forbids the legacy form) as it does for the installer.
PackageFileVerdict verifyPackageData(const std::string& data, rootfs::Root& host,
                                     const TrustKeySet& keys);

// One file's entry of "verify --json".
Json verdictJson(const std::string& path, const PackageFileVerdict& verdict);

}  // namespace qpk
