// Installing one package, and a package set (a single package or a bundle)
// from one stream.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>

#include "model/installer.h"

class FileManifest;
class PackageReader;

constexpr int SET_OK = 0;
constexpr int SET_BAD = 1;
constexpr int SET_REFUSED = 2;
constexpr int SET_EMPTY = 3;

using UserStates = std::map<std::string, bool>;  // name -> disabled

InstalledPackage* installOne(Installer& installer, FileManifest& manifest, PackageReader& reader,
                             uint32_t allowance, const UserStates& userStates,
                             const PackageRef* bundleRef, std::string* imageDirOut,
                             uint8_t* bootFlagOut);

int installSet(Installer& installer, FileManifest& manifest, std::istream& stream,
               uint32_t allowance, const UserStates& userStates, std::streambuf* copySink,
               std::string* imageDirOut, uint8_t* bootFlagOut);
