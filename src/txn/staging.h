// Where the manifest puts the temporary files that hold new content.
#pragma once

#include <cstdint>
#include <string>

// The mkstemp pattern of a temporary file in `dir`: "<dir>/tmpXXXXXX".
std::string tempPattern(const std::string& dir);

// The directory for the temporary file of `target`: the nearest existing
// ancestor of the target when its file system has room for `sizeHint` bytes
// and 64 KiB more, else "/ram"; with no size hint "/ram", or "/tmp" when
// there is no "/ram".
std::string stagingDirectory(const std::string& target, uint64_t sizeHint);
// Tells the choice above that the temporary file `temp` was just made for
// content of `sizeHint` bytes. Within a rootfs::Batch the choice remembers
// the places it found and counts what the staged files take, and asks the
// file system again only when the remembered room gets close to the need.
void noteStaged(const std::string& temp, uint64_t sizeHint);
