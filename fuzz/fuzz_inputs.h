// Input layouts shared by the fuzz targets and the seed maker: a sequence of
// file records [selector][length lo][length hi][bytes], where the selector
// (modulo the table size) picks the file inside the scratch root.
#pragma once

#include <cstddef>

// The database target: records of a few packages, state, schedule, images.
inline constexpr const char* kDatabaseFiles[] = {
    "/flash/var/pdb/a/version",   "/flash/var/pdb/a/deps",    "/flash/var/pdb/a/provides",
    "/flash/var/pdb/a/conflicts", "/flash/var/pdb/a/bundle",  "/flash/var/pdb/a/files",
    "/flash/var/pdb/a/disabled",  "/flash/var/pdb/a/enabled", "/flash/var/pdb/b/image",
    "/rw/pckg/.images/b",         "/ram/pdb/a/schedule",      "/ram/pdb/b/schedule",
    "/flash/var/pdb/c/files",     "/flash/var/pdb/c/version", "/flash/var/pdb/.hidden/version",
    "/flash/var/pdb/b/disabled",  "/flash/.staging-AbC",
};
inline constexpr size_t kDatabaseFileCount = sizeof kDatabaseFiles / sizeof kDatabaseFiles[0];

// The package-stream target's normal-pass form begins with this tag.
inline constexpr char kTreeMagic[4] = {'T', 'R', 'E', 'E'};

// The normal pass: package files in the three places, the installed records
// of the names the seeds use, schedule files and markers.
inline constexpr const char* kTreeFiles[] = {
    "/flash/rw/pckg/a.qpk",           // 0
    "/flash/rw/pckg/b.qpk",           // 1
    "/flash/rw/pckg/c.wpk",           // 2
    "/rw/pckg/.download/d.qpk",       // 3
    "/flash/var/pckg/e.qpk",          // 4
    "/flash/var/pdb/tool/version",    // 5
    "/flash/var/pdb/tool/deps",       // 6
    "/flash/var/pdb/tool/provides",   // 7
    "/flash/var/pdb/tool/conflicts",  // 8
    "/flash/var/pdb/tool/files",      // 9
    "/flash/var/pdb/tool/disabled",   // 10
    "/flash/var/pdb/system/image",    // 11
    "/flash/var/pdb/member/version",  // 12
    "/flash/var/pdb/member/bundle",   // 13
    "/flash/var/pdb/member/files",    // 14
    "/ram/pdb/tool/schedule",         // 15
    "/ram/pdb/member/schedule",       // 16
    "/ram/DOWNGRADE",                 // 17
    "/rw/pckg/.download/IGNORE",      // 18
    "/ram/SECURE",                    // 19
    "/flash/bin/tool",                // 20
    "/rw/pckg/.images/system",        // 21
};
inline constexpr size_t kTreeFileCount = sizeof kTreeFiles / sizeof kTreeFiles[0];
