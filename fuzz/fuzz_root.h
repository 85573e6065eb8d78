// A scratch root for the fuzz targets: created once per process, emptied
// before each input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

// Empties the scratch root, creates the given directories (paths inside the
// root) and points the file layer at it.
void freshFuzzRoot(std::initializer_list<const char*> dirs);
// Writes a file inside the scratch root (parents created).
void writeFuzzFile(const std::string& inside, const uint8_t* data, size_t size);
// Resets the installer context and sends its output to /dev/null.
void quietInstaller();
