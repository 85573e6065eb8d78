// The signature part of a package file, checked against the digest that the
// reader kept of everything before it.
#pragma once

#include "sign/signature.h"

class Package;
class PackageReader;
struct TrustKeySet;

// The reader stands on the signature part. True when the signature is valid
// (Ed25519 first; the legacy form only at trust level 1).
bool checkSignature(const Package& package, PackageReader& reader, int trustLevel);
// The same against `keys`, telling which form was accepted.
SignatureForm checkSignatureForm(PackageReader& reader, int trustLevel, const TrustKeySet& keys);
