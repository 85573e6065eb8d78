// Valid signatures for mutated package files. A signature part whose first
// payload byte (one of the 20 bytes the check never reads) is RESIGN_MARK is
// signed again, with the development Ed25519 key, over the digest the
// installer's own reader keeps up to it. Mutated packages then get past the
// signature check, so that what follows it (database records, bundle
// members, replacements) meets hostile content too; unmarked parts keep the
// signature they came with and exercise the rejections.
#pragma once

#include <cstdint>
#include <string>

constexpr uint8_t RESIGN_MARK = 'R';

// Re-signs the marked signature parts of a package file (or a bundle) in
// place; anything it cannot parse is left as it is.
void resignMarked(std::string& file);
