// The context of one run, owned by the run and handed down: the root that
// every path is named in, the system architecture, the router's flagged
// state, every known package in load order, and the console.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fs/rootfs.h"
#include "model/console.h"
#include "model/package.h"

class Installer {
  public:
    explicit Installer(std::FILE* out = stdout, std::FILE* err = stderr) : console(out, err) {}
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;

    rootfs::Root root;
    std::string arch;
    // Non-zero when the router is in flagged state.
    uint8_t flagged = 0;
    // Every known package, in load order, then what the engine appends.
    // Owning; nothing sorts it, additions go to the end.
    std::vector<std::unique_ptr<InstalledPackage>> packages;
    Console console;

    // Messages, through the console. info and error end the progress line.
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void setProgress(const std::string& line) { console.setProgress(line); }

    // List helpers: append at the end; take out one record keeping the order.
    InstalledPackage* append(std::unique_ptr<InstalledPackage> p);
    std::unique_ptr<InstalledPackage> take(const InstalledPackage* p);
    void remove(const InstalledPackage* p) { take(p); }
};

// Index of the first record named `name`, or -1.
int findByName(const Installer& installer, const std::string& name);
// The first record named `name`, or null.
InstalledPackage* findPackage(const Installer& installer, const std::string& name);
