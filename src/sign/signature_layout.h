// Where the signatures sit in a package's signature part, for the check and
// for the signer alike.
#pragma once

#include <cstddef>

namespace signature_layout {

// The legacy form: the legacy signature's r (16 bytes) at 20 and s (32 bytes)
// at 36, ending at 68.
constexpr size_t LEGACY_FORM = 68;
// The long form: the legacy form followed by a 64-byte Ed25519 signature.
constexpr size_t LONG_FORM = 132;
constexpr size_t LEGACY_R = 20;
constexpr size_t LEGACY_S = 36;
constexpr size_t ED25519_SIGNATURE = 68;

}  // namespace signature_layout
