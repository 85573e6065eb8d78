// The installed-package database under "/flash/var/pdb/": one directory per
// package, written and removed only through the manifest.
#pragma once

#include <string>
#include <vector>

#include "model/installer.h"
#include "pdb/layout.h"

class FileManifest;
class RecordContents;
class DirectoryNames;

// Where loading finds what a record directory and the schedule hold, and
// whether the records' file lists are wanted (a listing never uses them).
struct RecordSources {
    const RecordContents& contents;
    const DirectoryNames& schedules;
    bool withFileLists;
};

class PackageDatabase {
  public:
    // "/flash/var/pdb/" + name + "/".
    static std::string recordDir(const Package& package);
    static bool writeRecord(Installer& installer, InstalledPackage& package,
                            FileManifest& manifest);
    static void removeRecord(InstalledPackage& package, FileManifest& manifest);
    static bool readRefFile(rootfs::Root& root, const std::string& path,
                            std::vector<PackageRef>& out, bool withWeight);

    // The state files "enabled"/"disabled": staged with their one line
    // ("user" or "auto"), or staged for removal. False (errno set) when the
    // line could not be written.
    static bool stageStateFile(FileManifest& manifest, const std::string& path, const char* text);

    // Loading at start-up.
    static void open(Installer& installer, bool quiet, const std::string& arch,
                     bool withFileLists = true);
    static void readRecordState(rootfs::Root& root, InstalledPackage& record,
                                const RecordSources& sources);
};

// The installed file that a "files" entry names: an entry beginning with
// "/flash/" names itself, any other "/e" names "/flash/e". Empty and "."
// components are dropped; empty when the entry holds ".." or a NUL, or names
// nothing below "/flash".
std::string installedFilePath(const std::string& entry);
// True when `name` can name a record directory: one path component, not
// empty, "." or "..".
bool isSafeRecordName(const std::string& name);
// The schedule key: the name without characters other than ASCII letters,
// digits and "-".
std::string scheduleKey(const std::string& name);
