// "--cleanup": remove the packages too old for the running system.
#pragma once

#include "model/installer.h"

class FileManifest;

bool cleanupPackages(Installer& installer, FileManifest& manifest);
