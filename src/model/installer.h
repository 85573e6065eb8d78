// The context of one run, owned by the run and handed down: the root that
// every path is named in, the system architecture, the router's flagged
// state, every known package in load order, and the console.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fs/rootfs.h"
#include "model/console.h"
#include "model/package.h"
#include "model/record_index.h"

class Installer {
  public:
    explicit Installer(std::FILE* out = stdout, std::FILE* err = stderr) : console(out, err) {}
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;

    rootfs::Root root;
    std::string arch;
    // Non-zero when the router is in flagged state.
    uint8_t flagged = 0;
    Console console;
    // True while the schedule has nothing to do (see engine/settled.h). The
    // schedule sets it; append and take clear it, and so must whatever else
    // changes the state of a record.
    bool settled = false;
    // The run only plans (the package tool's "plan"): the passes run as
    // ever, but nothing is written outside the manifest, which is then
    // cancelled; the space estimate counts what the run would have written.
    bool planning = false;

    // Every known package, in load order, then what the engine appends.
    // Nothing sorts it; records join at the end (append) and leave (take).
    const std::vector<std::unique_ptr<InstalledPackage>>& packages() const { return packages_; }
    // The list by the names its records hold: built at the first call, then
    // kept by append and take. A record's names (its name, dependencies,
    // provisions, conflicts and bundle) do not change while it is listed.
    const RecordIndex& index() const;

    // Messages, through the console. info and error end the progress line.
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void setProgress(const std::string& line) { console.setProgress(line); }

    // List helpers: append at the end; take out one record keeping the order.
    InstalledPackage* append(std::unique_ptr<InstalledPackage> p);
    std::unique_ptr<InstalledPackage> take(const InstalledPackage* p);
    void remove(const InstalledPackage* p) { take(p); }

  private:
    std::vector<std::unique_ptr<InstalledPackage>> packages_;
    // Not built for a run that looks nothing up (--show).
    mutable std::optional<RecordIndex> index_;
};

// The first record named `name`, or null.
InstalledPackage* findPackage(const Installer& installer, const std::string& name);
