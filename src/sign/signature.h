// Signature verification of an installed package against the running digest
// of its reader.
#pragma once

#include <cstdint>

class Package;
class PackageReader;

// 1: the legacy signature form is accepted; 2: only Ed25519.
int trustLevel(const Package& package);

// The reader stands on the signature part. True when the signature is valid
// (Ed25519 first; the legacy form only at trust level 1).
bool checkSignature(const Package& package, PackageReader& reader, int trustLevel);
