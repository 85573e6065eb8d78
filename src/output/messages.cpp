#include "output/messages.h"

#include <cerrno>
#include <cstring>

namespace {

std::string progressCaption(const InstalledPackage& package) {
    std::string caption = "installing ";
    if (package.disabled && package.bundleRef.name.empty()) caption += " (disabled) ";
    caption += displayName(package);
    return caption;
}

// A caption too long for a bar leaves a bar of width 0 (" []").
uint64_t barWidth(const std::string& caption) {
    return caption.size() < 76 ? 76 - caption.size() : 0;
}

// An empty total or a position past it draws a full bar.
uint64_t filledCells(uint64_t width, uint64_t position, uint64_t total) {
    return (total == 0 || position >= total) ? width : position * width / total;
}

std::string progressLine(const std::string& caption, uint64_t filled) {
    uint64_t width = barWidth(caption);
    std::string line = caption + " [";
    line.append(size_t(filled), '#');
    line.append(size_t(width - filled), ' ');
    line += "]";
    return line;
}

}  // namespace

std::string installProgressLine(const InstalledPackage& package, uint64_t position,
                                uint64_t total) {
    std::string caption = progressCaption(package);
    return progressLine(caption, filledCells(barWidth(caption), position, total));
}

void showInstallProgress(Installer& installer, const InstalledPackage& package, uint64_t position,
                         uint64_t total) {
    if (installer.console.quiet) return;
    ProgressBarState& memo = installer.console.bar;
    // The caption depends on these fields alone.
    bool sameCaption = !memo.caption.empty() && memo.name == package.name &&
                       memo.version == package.version && memo.disabled == package.disabled &&
                       memo.refName == package.bundleRef.name &&
                       memo.refMin == package.bundleRef.minVersion;
    if (!sameCaption) {
        memo.name = package.name;
        memo.version = package.version;
        memo.disabled = package.disabled;
        memo.refName = package.bundleRef.name;
        memo.refMin = package.bundleRef.minVersion;
        memo.caption = progressCaption(package);
    }
    uint64_t filled = filledCells(barWidth(memo.caption), position, total);
    if (sameCaption && filled == memo.filled && installer.console.progressLine == memo.line) return;
    memo.filled = filled;
    memo.line = progressLine(memo.caption, filled);
    installer.setProgress(memo.line);
}

void reportCreateFailure(Installer& installer, const InstalledPackage& package,
                         const std::string& path) {
    int err = errno;
    std::string name = displayName(package);
    if (err == ENOSPC)
        installer.error("installation of %s failed: disk is too small", name.c_str());
    else if (err == EIO)
        installer.error("installation of %s failed: disk error", name.c_str());
    else
        installer.error("installation of %s failed: could not create %s: %s", name.c_str(),
                        path.c_str(), std::strerror(err));
}

void reportBrokenPackage(Installer& installer, const InstalledPackage& package) {
    installer.error("installation of %s failed: broken package", displayName(package).c_str());
}
