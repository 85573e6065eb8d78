// The keys a signature is checked against: the ones compiled into the
// installer, or those of a trust key file read at run time (the package
// tool checks a release's key set before an installer trusts it).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct TrustKeySet {
    uint8_t ed25519Public[32] = {};
    uint8_t legacyPublic[32] = {};
    uint32_t legacyHashIv[8] = {};
    uint32_t legacyHashK[64] = {};
};

const TrustKeySet& builtInTrustKeys();

// The trust key file format: "#" comments and blank lines, and one line
// each of "ed25519-public", "legacy-public" (64 hex digits), "legacy-hash-iv"
// (8 words of 8 hex digits) and "legacy-hash-k" (64 words). False with
// "LINE: message" (or a message for the whole file) in `error`.
bool parseTrustKeySet(std::string_view text, TrustKeySet& out, std::string& error);
