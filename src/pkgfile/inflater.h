// The raw inflater the installer uses, chosen when the build is configured:
// ISA-L's where the library is found, zlib's otherwise.
#pragma once

#if INSTALLER_WITH_ISAL
#include "pkgfile/isal_inflater.h"
using Inflater = IsalInflater;
#else
#include "pkgfile/zlib_inflater.h"
using Inflater = ZlibInflater;
#endif
