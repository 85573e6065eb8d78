#include "model/installer.h"

#include <algorithm>

void Installer::info(const char* format, ...) {
    setProgress(std::string());
    va_list args;
    va_start(args, format);
    console.emit(nullptr, format, args);
    va_end(args);
}

void Installer::warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    console.emit("WARNING: ", format, args);
    va_end(args);
}

void Installer::error(const char* format, ...) {
    setProgress(std::string());
    va_list args;
    va_start(args, format);
    console.emit("ERROR: ", format, args);
    va_end(args);
}

InstalledPackage* Installer::append(std::unique_ptr<InstalledPackage> p) {
    packages.push_back(std::move(p));
    return packages.back().get();
}

std::unique_ptr<InstalledPackage> Installer::take(const InstalledPackage* p) {
    // From the back: the schedule takes its uninstalled records out back to
    // front, each then found at once.
    auto it =
        std::find_if(packages.rbegin(), packages.rend(),
                     [p](const std::unique_ptr<InstalledPackage>& q) { return q.get() == p; });
    if (it == packages.rend()) return nullptr;
    std::unique_ptr<InstalledPackage> taken = std::move(*it);
    packages.erase(std::next(it).base());
    return taken;
}

int findByName(const Installer& installer, const std::string& name) {
    for (size_t i = 0; i < installer.packages.size(); ++i)
        if (installer.packages[i]->name == name) return int(i);
    return -1;
}

InstalledPackage* findPackage(const Installer& installer, const std::string& name) {
    int i = findByName(installer, name);
    return i < 0 ? nullptr : installer.packages[size_t(i)].get();
}
