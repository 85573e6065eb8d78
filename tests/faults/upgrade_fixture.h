// An upgrade to interrupt: a root with a bundle (two members, one disabled by
// default, one dropped by the next version) and a stand-alone package
// installed, the next versions placed in "/flash/rw/pckg/", and ways to run
// the normal pass over it and to compare whole trees.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace faulttest {

// The package files of one version of the set: "system.qpk" (the bundle,
// keeping its image), "tools.qpk" and "branding.qpk" (which stages the
// marker "/flash/UPGRADED"). `filesPerMember` adds generated files to the
// "routing" member.
struct PackageSet {
    std::string bundle;
    std::string tools;
    std::string branding;
};
PackageSet firstVersions();
PackageSet nextVersions(int filesPerMember = 0, size_t fileSize = 0);

// Host-side tree copies and comparisons, for roots outside the file layer.
void copyTree(const std::string& from, const std::string& to);
void removeTree(const std::string& dir);
std::string makeTempDir(const char* label);

// Every path below `dir` (relative, with a leading "/") with its kind, its
// permission bits and its content or link text. Paths for which `skip`
// returns true are left out.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::string& dir, bool (*skip)(const std::string& rel) = nullptr);
// The first few differences, for a failure message; empty when equal.
std::string difference(const Snapshot& expected, const Snapshot& actual);
// The post-install log is written outside the manifest on every run.
bool skipPostLog(const std::string& rel);

// Whether the last component of a path looks like a temporary file of the
// manifest ("tmp" and six characters).
bool isTemporaryName(const std::string& path);
// Paths below `dir` with such names, one a line.
std::string temporaries(const std::string& dir);

struct PassResult {
    int status = -1;
    std::string out;  // what the installer printed
    std::string err;  // standard error (the apply step's perror lines)
};
// The normal pass in this process, as the program runs it on `rootDir`:
// load, scheduled requests, upgrade, space check, apply, post-install log.
PassResult runNormalPassIn(const std::string& rootDir, uint32_t allowance);
// The same with "--safe", followed by "--commit" of the saved changes.
PassResult runSafeThenCommitIn(const std::string& rootDir, uint32_t allowance);
// "--commit" alone.
void runCommitIn(const std::string& rootDir);

// The standard-input install of `image` in this process, as the program
// runs it with "-".
PassResult runStdinInstallIn(const std::string& rootDir, const std::string& image,
                             uint32_t allowance);

// A fresh root with `first` installed and `next` placed for the upgrade.
void prepareUpgradeRoot(const std::string& rootDir, const PackageSet& first,
                        const PackageSet& next);

}  // namespace faulttest
