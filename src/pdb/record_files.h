// Readers of the single files of a record directory and of the schedule
// file. Every read is bounded: names and lines longer than any the installer
// writes are cut or passed over, never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fs/rootfs.h"
#include "model/path_set.h"
#include "model/version.h"

// Longest name kept from a word of a database file; package names are at
// most 16 bytes.
constexpr size_t MAX_NAME_LENGTH = 255;
// Longest "files" line taken; a longer one cannot be an installed path.
constexpr size_t MAX_PATH_LENGTH = 4096;

// "version": two unsigned numbers. False when either cannot be read (also
// when the file is missing); the outputs are then left unchanged.
bool readVersionFile(rootfs::Root& root, const std::string& path, Version& version,
                     uint32_t& buildTime);
// The first word of the file, cut to `maxLength`. False when the file cannot
// be opened or holds no word.
bool readFirstWord(rootfs::Root& root, const std::string& path, std::string& word,
                   size_t maxLength);
// "files": each non-empty line, with "/" put before it unless it begins with
// one. False when the file cannot be opened.
bool readFileList(rootfs::Root& root, const std::string& path, PathSet& files);
// The first line of a state file. False when the file cannot be opened; an
// empty file gives an empty line. `exact` is false when the line was longer
// than `maxLength` and has been cut.
bool readFirstLine(rootfs::Root& root, const std::string& path, std::string& line, size_t maxLength,
                   bool& exact);
// True when the file can be opened for reading.
bool canOpen(rootfs::Root& root, const std::string& path);
