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

const RecordIndex& Installer::index() const {
    if (!index_) {
        index_.emplace();
        for (const auto& p : packages_) index_->add(*p);
    }
    return *index_;
}

InstalledPackage* Installer::append(std::unique_ptr<InstalledPackage> p) {
    packages_.push_back(std::move(p));
    InstalledPackage* added = packages_.back().get();
    if (index_) index_->add(*added);
    settled = false;
    return added;
}

std::unique_ptr<InstalledPackage> Installer::take(const InstalledPackage* p) {
    // From the back: the schedule takes its uninstalled records out back to
    // front, each then found at once.
    auto it =
        std::find_if(packages_.rbegin(), packages_.rend(),
                     [p](const std::unique_ptr<InstalledPackage>& q) { return q.get() == p; });
    if (it == packages_.rend()) return nullptr;
    std::unique_ptr<InstalledPackage> taken = std::move(*it);
    packages_.erase(std::next(it).base());
    if (index_) index_->remove(*taken);
    settled = false;
    return taken;
}

InstalledPackage* findPackage(const Installer& installer, const std::string& name) {
    const RecordIndex::Records& found = installer.index().named(name);
    return found.empty() ? nullptr : found.front();
}
