// The fixed places on the router that the installer reads and writes, each
// named here once, and the order in which applying a change moves files
// into them.
#pragma once

#include <string>

// The database: one directory per package, and a second place for images.
constexpr const char* DATABASE_ROOT = "/flash/var/pdb/";
constexpr const char* SECOND_IMAGE_DIR = "/rw/pckg/.images/";
// Schedule files: SCHEDULE_ROOT + key + "/schedule".
constexpr const char* SCHEDULE_ROOT = "/ram/pdb/";
// The boot image, and the image of a standard-input install while it is
// written (with the doubled slash the program has always used) and as the
// manifest names it.
constexpr const char* BOOT_IMAGE = "/flash/bootimage";
constexpr const char* STDIN_IMAGE_FILE = "/flash/var/pdb//image";
constexpr const char* STDIN_IMAGE = "/flash/var/pdb/image";
// Markers for the rest of the router.
constexpr const char* PACKAGES_CHANGED = "/flash/PCKGS_CHANGED";
constexpr const char* UPGRADED_MARKER = "/flash/UPGRADED";
constexpr const char* CONVERT_MARKER = "/rw/CONVERT";
// Where package files are placed, in the order they are looked in, and the
// marker that makes the first be passed over.
constexpr const char* DOWNLOAD_DIR = "/rw/pckg/.download/";
constexpr const char* IGNORE_MARKER = "/rw/pckg/.download/IGNORE";
constexpr const char* UPLOAD_DIR = "/flash/rw/pckg/";
constexpr const char* STORE_DIR = "/flash/var/pckg/";
constexpr const char* DOWNGRADE_FILE = "/ram/DOWNGRADE";
// A manifest saved by "--safe" for a later "--commit".
constexpr const char* SAVED_MANIFEST = "/ram/MANIFEST";

// When a move happens within an apply (rank 0 first). A record of meta files
// counts as installed once its "version" is in place (1), a record read from
// its package file (a bundle and its members) once its "image" is, or the
// boot image that the image links to (2). Those moves go after all others,
// the images last, and only when every earlier move succeeded: after an
// interrupted or failed apply the database still describes the old version,
// the package file is still where it was found, and the next run installs
// it again.
int applyRank(const std::string& target);
