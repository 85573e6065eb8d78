// The process-wide installer context: the system architecture, every known
// package in load order, and the console output state.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "model/package.h"

class Installer {
  public:
    static Installer& instance();

    std::string arch;
    // Every known package, in load order, then what the engine appends.
    // Owning; nothing sorts it, additions go to the end.
    std::vector<std::unique_ptr<InstalledPackage>> packages;
    std::string progressLine;
    std::vector<std::string> messages;
    uint8_t quiet = 0;
    // Where console output goes; standard output unless a test redirects it.
    std::FILE* out = stdout;

    // Messages (implemented with the console output).
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void emit(const char* prefix, const char* format, va_list args);
    void setProgress(const std::string& line);

    // List helpers: append at the end; take out one record keeping the order.
    InstalledPackage* append(std::unique_ptr<InstalledPackage> p);
    std::unique_ptr<InstalledPackage> take(const InstalledPackage* p);
    void remove(const InstalledPackage* p) { take(p); }

    // Back to the freshly created state (tests run many scenarios per process).
    void reset();

  private:
    Installer() = default;
};

// Index of the first record named `name`, or -1.
int findByName(const Installer& installer, const std::string& name);
// The first record named `name`, or null.
InstalledPackage* findPackage(const Installer& installer, const std::string& name);
