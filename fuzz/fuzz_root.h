// A scratch root for the fuzz targets: created once per process, emptied
// before each input, removed at exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

class FileManifest;
namespace rootfs {
class Root;
}

// Empties the scratch root, creates the given directories (paths inside the
// root) and points `root` at it.
void freshFuzzRoot(rootfs::Root& root, std::initializer_list<const char*> dirs);
// Writes a file inside the scratch root (parents created).
void writeFuzzFile(const std::string& inside, const uint8_t* data, size_t size);
// Writes the file records of the input (fuzz_inputs.h) into the scratch
// root; a length beyond the input takes what is left. `adjust`, when given,
// may change each file's bytes before they are written.
void writeFuzzRecords(const char* const files[], size_t count, const uint8_t* data, size_t size,
                      void (*adjust)(const std::string& file, std::string& bytes) = nullptr);
// Files the installer must never change: /etc/passwd, /keep and
// /flashx/keep (a name that /flash is a prefix of). checkUntouched aborts
// when one of them changed or went, or when something new appeared at the
// top of the root outside /flash, /ram, /rw and /tmp.
void plantSentinels();
void checkUntouched();
// Every path below the scratch root with its kind, mode, size and, for a
// file, its bytes or, for a link, its text: two equal snapshots mean nothing
// changed.
std::string treeSnapshot();
// True when two manifests hold the same entries as the manifest file shows
// them (a staged file is written as a move).
bool sameManifestFile(const FileManifest& a, const FileManifest& b);
// Where a fuzzed run's messages go: /dev/null (standard output when
// FUZZ_VERBOSE is set).
std::FILE* fuzzSink();
